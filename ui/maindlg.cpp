#include "maindlg.h"

#include "advancedsettings.h"
#include "autostart.h"
#include "documentfolder.h"
#include "eventlog.h"
#include "eventlogfile.h"
#include "oggthread.h"
#include "oscthread.h"
#include "prefsdlg.h"
#include "prefsfields.h"
#include "seratofileparser.h"
#include "trackview.h"
#include "twitclient.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

namespace {
const QString geometryKey = QStringLiteral("geometry");

MainDlg::DesktopHooks& desktopHooks()
{
    static MainDlg::DesktopHooks hooks;
    return hooks;
}

bool systemTrayAvailable()
{
    return desktopHooks().systemTrayAvailable ? desktopHooks().systemTrayAvailable()
                                              : QSystemTrayIcon::isSystemTrayAvailable();
}

void openOnDesktop(const QUrl& url)
{
    const bool opened =
        desktopHooks().openUrl ? desktopHooks().openUrl(url) : QDesktopServices::openUrl(url);
    if (!opened)
        qWarning() << "Cannot open" << url.toString();
}
} // namespace

void MainDlg::setDesktopHooks(DesktopHooks hooks)
{
    desktopHooks() = std::move(hooks);
}

MainDlg::MainDlg(QWidget* parent) : QWidget(parent), appSettings(this)
{
    ui.setupUi(this);
    trackView = new TrackView(ui.plainTextEditTrackInfo);
    restoreWindowGeometry();

    prefsDlg = new PrefsDlg(nullptr);
    loadSettingsToPrefs();

    migrateLegacyFolder();

    // Created once: a changed session folder takes effect at the next program start.
    seratoParser = new SeratoFileParser(QDir(prefsDlg->seratoSessionDirectory->text()));
    seratoParser->setDatabasePath(prefsDlg->seratoDatabasePath->text());

    listenAddress = AdvancedSettings().listenAddress().toStdString();
    createOggThread(appSettings.icecastPort());
    osc_server_options oscOptions;
    oscOptions.listen_address = listenAddress;
    oscThread = new OscThread(appSettings.abletonPort(), this, oscOptions);
    // May ask for the PIN before the window is shown.
    twitClient = new TwitClient();
    createTrayIcon();

    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainDlg::tweetTrack);
    connect(prefsDlg->requestNewTokBtn, &QAbstractButton::clicked, twitClient,
            &TwitClient::requestToken);
    connect(twitClient, &TwitClient::setUserNameID, this, &MainDlg::setUserNameUID);
    connect(prefsDlg, &PrefsDlg::closeDlg, this, &MainDlg::saveSettings);
    connect(prefsDlg->startAtLoginChBox, &QAbstractButton::clicked, this,
            &MainDlg::setStartAtLogin);

    oggThread->start(QThread::IdlePriority);
    oscThread->start(QThread::IdlePriority);
    updateListenerStatusText();

    trayIcon->show();
}

MainDlg::~MainDlg()
{
    if (oggThread->isRunning())
        oggThread->stop();
    // From here on a changed port is only stored, even after a failed listen.
    listenersStopped = true;
    oscThread->stop();
    saveSettings();
    storeWindowGeometry();
    delete prefsDlg;
    prefsDlg = nullptr;
    seratoParser->stopWatching();
    delete seratoParser;
    seratoParser = nullptr;
    delete twitClient;
    twitClient = nullptr;
}

void MainDlg::setUserNameUID(QString name, QString uid)
{
    appSettings.setUserName(name);
    appSettings.setUid(uid);
}

QString MainDlg::trackListFolder()
{
    return ensureDocumentFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                                QCoreApplication::applicationName());
}

void MainDlg::migrateLegacyFolder()
{
    migrateLegacyTrackLists(trackListFolder(), QCoreApplication::applicationName());
}

void MainDlg::createTrayIcon()
{
    tweetTrackAction = new QAction(tr("Tweet track"), this);
    connect(tweetTrackAction, &QAction::triggered, this, [this] { tweetTrack(); });
    preferencesAction = new QAction(tr("Preferences"), this);
    connect(preferencesAction, &QAction::triggered, this, &MainDlg::prefsDlgShow);
    openEventLogAction = new QAction(tr("Open event log"), this);
    connect(openEventLogAction, &QAction::triggered, this, &MainDlg::openEventLog);
    openTrackListFolderAction = new QAction(tr("Open tracklist folder"), this);
    connect(openTrackListFolderAction, &QAction::triggered, this, &MainDlg::openTrackListFolder);
    quitAction = new QAction(tr("Quit"), this);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);

    trayMenu = new QMenu(this);
    trayMenu->addAction(tweetTrackAction);
    trayMenu->addAction(preferencesAction);
    trayMenu->addAction(openEventLogAction);
    trayMenu->addAction(openTrackListFolderAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setToolTip(QStringLiteral("FENK"));
    setTrayIconStopped();
}

void MainDlg::setTrayIconStarted()
{
    trayIcon->setIcon(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_green.png")));
}

void MainDlg::setTrayIconStopped()
{
    trayIcon->setIcon(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_red.png")));
}

void MainDlg::tweetTrack(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    show();
    activateWindow();
}

void MainDlg::showAtStart(bool hidden, std::chrono::milliseconds trayWait)
{
    if (!hidden)
        show();
    else if (!systemTrayAvailable())
        QTimer::singleShot(trayWait, this, [this] {
            if (!systemTrayAvailable())
                show();
        });
    event_log::write(isVisible() ? "FENK started with its window shown"
                                 : "FENK started in the tray, its window hidden",
                     event_log::info, 1);
}

// Without a tray a hidden window would leave a program nobody can reach, so
// closing it then ends FENK, once the DJ has agreed.
void MainDlg::closeEvent(QCloseEvent* event)
{
    if (systemTrayAvailable() || !isVisible()) {
        QWidget::closeEvent(event);
        return;
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("FENK"),
        tr("There is no system tray to keep FENK running in. Closing the window quits "
           "FENK.\n\nQuit FENK now?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    QCoreApplication::quit();
}

void MainDlg::openEventLog()
{
    // The log appears with its first record; until then its folder is the place to look.
    const QString folder = EventLogFile::defaultFolder();
    const QString log = QDir(folder).filePath(QStringLiteral("events.log"));
    QDir().mkpath(folder);
    openOnDesktop(QUrl::fromLocalFile(QFileInfo::exists(log) ? log : folder));
}

void MainDlg::openTrackListFolder()
{
    openOnDesktop(QUrl::fromLocalFile(trackListFolder()));
}

void MainDlg::setStartAtLogin(bool enabled)
{
    Autostart autostart;
    if (!autostart.setEnabled(enabled))
        prefsDlg->startAtLoginChBox->setChecked(autostart.isEnabled());
}

void MainDlg::prefsDlgShow()
{
    // The entry may have been removed or added outside FENK since.
    prefsDlg->startAtLoginChBox->setChecked(Autostart().isEnabled());
    prefsDlg->show();
    prefsDlg->raise();
    prefsDlg->activateWindow();
}

void MainDlg::loadSettingsToPrefs()
{
    PrefsDlg& p = *prefsDlg;
    showSettingsInPrefs(appSettings, p);
    p.startAtLoginChBox->setChecked(Autostart().isEnabled());

    p.checkBoxTracktorProActivate->setChecked(true);
    p.checkBoxTracktorProActivate->setEnabled(false);
    p.infoLbl->setText(QStringLiteral("Not listening for OGG\nNot listening for OSC"));
    p.copyTrackFileBtn->setEnabled(false);
    p.clearTrackFileBtn->setEnabled(false);
}

void MainDlg::copyPrefsToSettings()
{
    takeSettingsFromPrefs(*prefsDlg, appSettings);
}

void MainDlg::saveSettings()
{
    copyPrefsToSettings();
    oggServerRestart();
    oscServerRestart();
}

// The hub's reports reach the window queued; a failed listen is remembered for
// the status text. The thread is the failure's receiver, so a failure still
// queued when the thread is replaced is discarded with it.
void MainDlg::createOggThread(int port)
{
    ogg_server_options options;
    options.listen_address = listenAddress;
    oggThread = new OggThread(port, this, options);
    connect(&oggThread->hub, QOverload<QString, QString>::of(&Messanger::sendStat), this,
            QOverload<QString, QString>::of(&MainDlg::showSongMetaDataOnScreen));
    connect(oggThread, &OggThread::listenFailed, oggThread, [this](const QString& error) {
        oggListenError = error.isEmpty() ? tr("unknown error") : error;
        updateListenerStatusText();
    });
}

void MainDlg::oggServerRestart()
{
    const int port = prefsDlg->icecastPortSpBox->value();
    if (port == appSettings.icecastPort())
        return;
    appSettings.setIcecastPort(port);
    // A thread that failed to listen is replaced too, as the new port may be free,
    // whether or not its failure has reached the window yet.
    if (listenersStopped)
        return;

    oggThread->stop();
    delete oggThread;
    oggListenError.clear();
    createOggThread(port);
    trackView->clear();
    oggThread->start(QThread::IdlePriority);
    updateListenerStatusText();
}

void MainDlg::oscServerRestart()
{
    const int port = prefsDlg->abeltonPortSpBox->value();
    if (port == appSettings.abletonPort())
        return;
    appSettings.setAbletonPort(port);
    // A thread that failed to listen is started again: the new port may be free.
    if (!listenersStopped) {
        oscThread->restart(port);
        prefsDlg->infoLbl->setText(
            oggStatusLine() +
            QStringLiteral("Listening for OSC on port %1").arg(appSettings.abletonPort()));
        trackView->clear();
    }
}

void MainDlg::showSongMetaDataOnScreen(QString artist, QString track)
{
    showTrackLine(artist + QStringLiteral(" - ") + track);
}

void MainDlg::showTrackLine(const QString& line)
{
    trackView->add(line);
}

QString MainDlg::oggStatusLine() const
{
    const QString port = QString::number(appSettings.icecastPort());
    if (oggListenError.isEmpty())
        return QStringLiteral("Listening for OGG on port %1\n").arg(port);
    return QStringLiteral("Not listening for OGG on port %1: %2\n").arg(port, oggListenError);
}

void MainDlg::updateListenerStatusText()
{
    QString text;
    if (appSettings.traktorListenerActive())
        text += oggStatusLine();
    if (appSettings.masterClip())
        text += QStringLiteral("Listening for OSC on port %1\n").arg(appSettings.abletonPort());
    prefsDlg->infoLbl->setText(text);
}

void MainDlg::restoreWindowGeometry()
{
    const QSettings store;
    const QByteArray geometry = store.value(geometryKey).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
}

void MainDlg::storeWindowGeometry()
{
    QSettings store;
    store.setValue(geometryKey, saveGeometry());
}
