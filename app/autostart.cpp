#include "autostart.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// One Exec argument as the desktop entry format wants it: plain when it holds
// only harmless characters, else in double quotes with ", `, $ and \ escaped.
// The value itself then escapes every backslash once more, and a literal % is
// doubled. Control characters cannot be carried at all.
QString execArgument(const QString& argument)
{
    for (const QChar c : argument) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
    }
    QString quoted = argument;
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-,:@=");
    bool needsQuotes = quoted.isEmpty();
    for (const QChar c : quoted) {
        if (!plain.contains(c) && c != QLatin1Char('%') && c.unicode() < 0x80)
            needsQuotes = true;
    }
    if (!needsQuotes)
        return quoted;
    QString inner;
    for (const QChar c : quoted) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            inner += QLatin1Char('\\');
        inner += c;
    }
    inner.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

} // namespace

QString Autostart::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

Autostart::Autostart(QString program)
    : m_program(program.isEmpty() ? QCoreApplication::applicationFilePath() : std::move(program))
{}

QString Autostart::entryPath() const
{
    return folder() + QLatin1Char('/') + desktopFileName();
}

bool Autostart::isEnabled() const
{
    return QFileInfo::exists(entryPath());
}

QByteArray Autostart::entry() const
{
    const QString program = execArgument(m_program);
    if (program.isEmpty())
        return QByteArray();
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=FENK\n"
                                        "Comment=Start FENK in the tray when I log in\n"
                                        "Icon=fm.fenk.FENK\n"
                                        "Exec=%1 --hidden\n"
                                        "Terminal=false\n"
                                        "StartupNotify=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(program);
    return text.toUtf8();
}

bool Autostart::setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        if (QFile::remove(path) || !QFileInfo::exists(path))
            return true;
        qWarning() << "Cannot remove the autostart entry" << path;
        return false;
    }
    const QByteArray text = entry();
    if (text.isEmpty()) {
        qWarning() << "Cannot start" << m_program << "from an autostart entry";
        return false;
    }
    QSaveFile file(path);
    if (!QDir().mkpath(folder()) || !file.open(QIODevice::WriteOnly) ||
        file.write(text) != text.size() || !file.commit()) {
        qWarning() << "Cannot write the autostart entry" << path << file.errorString();
        return false;
    }
    return true;
}
