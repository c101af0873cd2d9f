#include "autostart.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// One Exec argument as the desktop entry format wants it: in double quotes with
// ", `, $ and \ escaped, then every backslash escaped once more for the value
// itself and a literal % doubled. Control characters cannot be carried at all.
QString execArgument(const QString& argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
        if (QStringLiteral("\"`$\\").contains(c))
            quoted += QStringLiteral("\\\\");
        quoted += c == QLatin1Char('\\')  ? QStringLiteral("\\\\")
                  : c == QLatin1Char('%') ? QStringLiteral("%%")
                                          : QString(c);
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
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
