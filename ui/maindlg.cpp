#include "maindlg.h"

#include "autostart.h"
#include "documentfolder.h"
#include "eventlog.h"
#include "eventlogfile.h"
#include "oggthread.h"
#include "oscthread.h"
#include "prefsdlg.h"
#include "seratofileparser.h"
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
    restoreWindowGeometry();

    prefsDlg = new PrefsDlg(nullptr);
    loadSettingsToPrefs();

    migrateLegacyFolder();

    // Created once: a changed session folder takes effect at the next program start.
    seratoParser = new SeratoFileParser(QDir(prefsDlg->seratoSessionDirectory->text()));

    createOggThread(appSettings.icecastPort());
    oscThread = new OscThread(appSettings.abletonPort(), this);
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
    oggStopped = true;
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
    p.startUpUpdChBox->setChecked(appSettings.checkForUpdateAtStart());
    p.locationChBox->setChecked(appSettings.locationServices());
    p.icecastPortSpBox->setValue(appSettings.icecastPort());
    p.checkBoxSeratoActivate->setChecked(appSettings.seratoListenerActive());
    p.spinBoxSeratoDelay->setValue(appSettings.seratoDelay());
    p.seratoSessionDirectory->setText(appSettings.sessionDir());
    p.checkBoxMasterClip->setChecked(appSettings.masterClip());
    p.abeltonPortSpBox->setValue(appSettings.abletonPort());
    p.activeTwitChBox->setChecked(appSettings.activeTwitter());
    p.checkBoxEnableArtistHashtag->setChecked(appSettings.hashtagArtist());
    p.checkBoxEnableTrackHashtag->setChecked(appSettings.hashtagTrack());
    p.startMessage->setText(appSettings.startMessage());
    p.startHashtag->setText(appSettings.startHashtag());
    p.stopMessage->setText(appSettings.stopMessage());
    p.stopHashtag->setText(appSettings.stopHashtag());
    p.playingMessage->setText(appSettings.playingMessage());
    p.prefsTabWgt->setCurrentIndex(appSettings.prefTabIndex());
    p.startAtLoginChBox->setChecked(Autostart().isEnabled());

    p.checkBoxTracktorProActivate->setChecked(true);
    p.checkBoxTracktorProActivate->setEnabled(false);
    p.infoLbl->setText(QStringLiteral("Not listening for OGG\nNot listening for OSC"));
    p.copyTrackFileBtn->setEnabled(false);
    p.clearTrackFileBtn->setEnabled(false);
}

void MainDlg::saveSettings()
{
    const PrefsDlg& p = *prefsDlg;
    appSettings.setCheckForUpdateAtStart(p.startUpUpdChBox->isChecked());
    appSettings.setLocationServices(p.locationChBox->isChecked());
    appSettings.setTraktorListenerActive(p.checkBoxTracktorProActivate->isChecked());
    appSettings.setSeratoListenerActive(p.checkBoxSeratoActivate->isChecked());
    appSettings.setSeratoDelay(p.spinBoxSeratoDelay->value());
    appSettings.setSessionDir(p.seratoSessionDirectory->text());
    appSettings.setMasterClip(p.checkBoxMasterClip->isChecked());
    appSettings.setActiveTwitter(p.activeTwitChBox->isChecked());
    appSettings.setHashtagArtist(p.checkBoxEnableArtistHashtag->isChecked());
    appSettings.setHashtagTrack(p.checkBoxEnableTrackHashtag->isChecked());
    appSettings.setStartMessage(p.startMessage->text());
    appSettings.setStartHashtag(p.startHashtag->text());
    appSettings.setStopMessage(p.stopMessage->text());
    appSettings.setStopHashtag(p.stopHashtag->text());
    appSettings.setPlayingMessage(p.playingMessage->text());
    appSettings.setPrefTabIndex(p.prefsTabWgt->currentIndex());
    oggServerRestart();
    oscServerRestart();
}

// The hub's reports reach the window queued; a failed listen is remembered for
// the status text. The thread is the failure's receiver, so a failure still
// queued when the thread is replaced is discarded with it.
void MainDlg::createOggThread(int port)
{
    oggThread = new OggThread(port, this);
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
    if (oggStopped)
        return;

    oggThread->stop();
    delete oggThread;
    oggListenError.clear();
    createOggThread(port);
    ui.plainTextEditTrackInfo->clear();
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
    if (oscThread->isRunning() || oscThread->listenFailed()) {
        oscThread->restart(port);
        prefsDlg->infoLbl->setText(
            oggStatusLine() +
            QStringLiteral("Listening for OSC on port %1").arg(appSettings.abletonPort()));
        ui.plainTextEditTrackInfo->clear();
    }
}

void MainDlg::showSongMetaDataOnScreen(QString artist, QString track)
{
    showTrackLine(artist + QStringLiteral(" - ") + track);
}

void MainDlg::showTrackLine(const QString& line)
{
    if (trackHistory.size() >= 4)
        trackHistory.removeLast();
    trackHistory.prepend(line);
    ui.plainTextEditTrackInfo->setPlainText(trackHistory.join(QStringLiteral("\r\n")));
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
