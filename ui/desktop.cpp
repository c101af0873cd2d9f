#include "desktop.h"

#include "eventlogfile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QThreadPool>

namespace {
desktop::Hooks& hooks()
{
    static desktop::Hooks installed;
    return installed;
}
} // namespace

void desktop::setHooks(Hooks replacement)
{
    hooks() = std::move(replacement);
}

bool desktop::systemTrayAvailable()
{
    return hooks().systemTrayAvailable ? hooks().systemTrayAvailable()
                                       : QSystemTrayIcon::isSystemTrayAvailable();
}

void desktop::open(const QUrl& url)
{
    if (hooks().openUrl) {
        if (!hooks().openUrl(url))
            qWarning() << "Cannot open" << url.toString();
        return;
    }
    // Starting a browser or file manager can take a while; the window must not wait.
    QThreadPool::globalInstance()->start([url] {
        if (!QDesktopServices::openUrl(url))
            qWarning() << "Cannot open" << url.toString();
    });
}

void desktop::openEventLog()
{
    const QString folder = EventLogFile::defaultFolder();
    const QString log = QDir(folder).filePath(QStringLiteral("events.log"));
    QDir().mkpath(folder);
    open(QUrl::fromLocalFile(QFileInfo::exists(log) ? log : folder));
}

namespace {
const QString geometryKey = QStringLiteral("geometry");
}

void desktop::restoreGeometry(QWidget* window)
{
    const QByteArray geometry = QSettings().value(geometryKey).toByteArray();
    if (!geometry.isEmpty())
        window->restoreGeometry(geometry);
}

void desktop::storeGeometry(const QWidget* window)
{
    QSettings().setValue(geometryKey, window->saveGeometry());
}

bool desktop::confirmQuitWithoutTray(QWidget* window)
{
    return QMessageBox::question(window, QStringLiteral("FENK"),
                                 QCoreApplication::translate(
                                     "MainDlg", "There is no system tray to keep FENK running in. "
                                                "Closing the window quits FENK.\n\nQuit FENK now?"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}
