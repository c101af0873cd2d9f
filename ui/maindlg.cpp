#include "maindlg.h"

#include "advancedsettings.h"
#include "autostart.h"
#include "documentfolder.h"
#include "eventlog.h"
#include "eventlogfile.h"
#include "instancecommand.h"
#include "messagecomposer.h"
#include "oggthread.h"
#include "oscthread.h"
#include "prefsdlg.h"
#include "prefsfields.h"
#include "seratofileparser.h"
#include "trackview.h"
#include "twitclient.h"
#include "versionnumber.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QStandardPaths>
#include <QThreadPool>
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
    if (desktopHooks().openUrl) {
        if (!desktopHooks().openUrl(url))
            qWarning() << "Cannot open" << url.toString();
        return;
    }
    // Starting a browser or file manager can take a while; the window must not wait.
    QThreadPool::globalInstance()->start([url] {
        if (!QDesktopServices::openUrl(url))
            qWarning() << "Cannot open" << url.toString();
    });
}

// The hubs' report signals are overloads: a track, a tempo, a clip.
const auto trackReport = QOverload<QString, QString>::of(&Messanger::sendStat);
const auto tempoReport = QOverload<QString>::of(&Messanger::sendStat);
const auto clipReport = QOverload<QStringList>::of(&Messanger::sendStat);
const auto cloudSlot = &MainDlg::sendSongMetaDataToCloud;
const auto showSlot = QOverload<QString, QString>::of(&MainDlg::showSongMetaDataOnScreen);

void logEvent(int severity, const QString& text)
{
    event_log::write(text.toStdString(), severity, 1);
}
} // namespace

void MainDlg::setDesktopHooks(DesktopHooks hooks)
{
    desktopHooks() = std::move(hooks);
}

MainDlg::MainDlg(QWidget* parent)
    : QWidget(parent), startText(tr("Start")), stopText(tr("Stop")),
      networkManager(new QNetworkAccessManager(this)), appSettings(this)
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

    webService = new WebServiceClient(networkManager, advanced.serviceHost(), this);
    if (!advanced.extraCaCertificates().isEmpty())
        webService->setExtraCaCertificates(advanced.extraCaCertificates());

    listenAddress = advanced.listenAddress().toStdString();
    createOggThread(appSettings.icecastPort());
    osc_server_options oscOptions;
    oscOptions.listen_address = listenAddress;
    oscThread = new OscThread(appSettings.abletonPort(), this, oscOptions);
    connect(oscThread, &OscThread::listening, this, [this](int port) {
        oscListeningPort = port;
        oscListenError.clear();
        updateListenerStatusText();
        refreshStatusArea();
    });
    connect(oscThread, &OscThread::listenFailed, this, [this](const QString& error) {
        oscListeningPort = 0;
        oscListenError = error.isEmpty() ? tr("unknown error") : error;
        updateListenerStatusText();
        refreshStatusArea();
    });
    // May ask for the PIN before the window is shown.
    twitClient = new TwitClient();
    serversRunning = false;
    createTrayIcon();

    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainDlg::tweetTrack);
    connect(ui.msgTxtEdit, &QTextEdit::textChanged, this, &MainDlg::refreshRemainedCharackter);
    connect(ui.startStopBtn, &QPushButton::clicked, this, &MainDlg::startStopServers);
    connect(prefsDlg->requestNewTokBtn, &QAbstractButton::clicked, twitClient,
            &TwitClient::requestToken);
    connect(ui.refreshBtn, &QPushButton::clicked, this, &MainDlg::refreshLocation);
    connect(prefsDlg->checkLocatBtn, &QPushButton::clicked, this, &MainDlg::refreshLocation);
    connect(twitClient, &TwitClient::setUserNameID, this, &MainDlg::setUserNameUID);
    connect(prefsDlg->clearTrackFileBtn, &QPushButton::clicked, this, &MainDlg::clearTrackList);
    connect(prefsDlg->copyTrackFileBtn, &QPushButton::clicked, this,
            &MainDlg::copyToDesktopTrackList);
    connect(prefsDlg->checkUpdBtn, &QPushButton::clicked, this, &MainDlg::checkForUpdate);
    connect(prefsDlg, &PrefsDlg::closeDlg, this, &MainDlg::saveSettings);
    connect(prefsDlg->startAtLoginChBox, &QAbstractButton::clicked, this,
            &MainDlg::setStartAtLogin);
    connect(seratoParser, &SeratoFileParser::SeratoDataReady, this, &MainDlg::OnSeratoDataReady);
    connect(seratoParser, &SeratoFileParser::sourceStatusChanged, this,
            &MainDlg::refreshStatusArea);
    connect(twitClient, &TwitClient::accountStateChanged, this, &MainDlg::setTwitterState);

    connect(webService, &WebServiceClient::locationFound, this, &MainDlg::readyReadReplyLocation);
    connect(webService, &WebServiceClient::locationFailed, this, &MainDlg::locationLookupFailed);
    connect(webService, &WebServiceClient::versionFound, this, &MainDlg::readyReadReplyUpdate);
    connect(webService, &WebServiceClient::versionFailed, this, &MainDlg::updateCheckFailed);
    connect(webService, &WebServiceClient::reportFailed, this,
            [](const QString& what, const QString& error) {
                logEvent(event_log::warning,
                         QStringLiteral("Web service %1 failed: %2").arg(what, error));
            });
    connect(prefsDlg, &PrefsDlg::listenerSettingsChanged, this, &MainDlg::updateListenerStatusText);
    connect(ui.openTrackListFolderBtn, &QPushButton::clicked, this, &MainDlg::openTrackListFolder);
    activateTwitter();

    manualLocationCheck = false;
    fillLocationField = false;
    manualUpdateCheck = false;

    oggThread->start(QThread::IdlePriority);
    oscThread->start(QThread::IdlePriority);
    updateListenerStatusText();

    if (appSettings.checkForUpdateAtStart())
        checkForUpdate();
    if (appSettings.locationServices())
        fillLocationField = true;
    refreshLocation();

    // Until the account's check has answered, the name it had last time.
    const QString account = twitClient->accountState();
    setTwitterState(!account.isEmpty() ? account
                    : appSettings.userName().isEmpty()
                        ? tr("not authorized")
                        : QStringLiteral("@") + appSettings.userName());
    refreshStatusArea();

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

void MainDlg::runInstanceCommand(const QString& command)
{
    if (command == instance_command::start) {
        if (!serversRunning)
            startStopServers();
    } else if (command == instance_command::stop) {
        if (serversRunning)
            startStopServers();
    } else if (command == instance_command::quit) {
        quitAction->trigger();
    } else {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        raise();
        tweetTrack();
    }
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
    activateTwitter();
    refreshStatusArea();
    // A crash or a kill later in the run must not lose what the DJ confirmed.
    appSettings.writeNow();
}

// The hub's reports reach the window queued; a failed listen is remembered for
// the status text. The thread is the failure's receiver, so a failure still
// queued when the thread is replaced is discarded with it.
void MainDlg::createOggThread(int port)
{
    ogg_server_options options;
    options.listen_address = listenAddress;
    oggThread = new OggThread(port, this, options);
    oggListeningPort = 0;
    connect(&oggThread->hub, trackReport, this, showSlot);
    connect(oggThread, &OggThread::listenFailed, oggThread, [this](const QString& error) {
        oggListenError = error.isEmpty() ? tr("unknown error") : error;
        updateListenerStatusText();
        refreshStatusArea();
    });
    connect(oggThread, &OggThread::listening, oggThread, [this](int listeningPort) {
        oggListeningPort = listeningPort;
        updateListenerStatusText();
        refreshStatusArea();
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
    if (serversRunning)
        connect(&oggThread->hub, trackReport, this, cloudSlot, Qt::UniqueConnection);
    activateTwitter();
    updateTrackListConnection();
    trackView->clearView();
    oggThread->start(QThread::IdlePriority);
    updateListenerStatusText();
    refreshStatusArea();
}

void MainDlg::oscServerRestart()
{
    const int port = prefsDlg->abeltonPortSpBox->value();
    if (port == appSettings.abletonPort())
        return;
    appSettings.setAbletonPort(port);
    // A thread that failed to listen is started again: the new port may be free.
    if (!listenersStopped) {
        oscListeningPort = 0;
        oscListenError.clear();
        oscThread->restart(port);
        prefsDlg->infoLbl->setText(
            oggStatusLine() +
            QStringLiteral("Listening for OSC on port %1").arg(appSettings.abletonPort()));
        trackView->clearView();
    }
}

void MainDlg::showSongMetaDataOnScreen(QString artist, QString track)
{
    const QString line = artist + QStringLiteral(" - ") + track;
    // events.log keeps what the window showed, for a DJ's question afterwards.
    logEvent(event_log::info, QStringLiteral("Shown: ") + line);
    showTrackLine(line);
}

void MainDlg::showSongMetaDataOnScreen(int deck, QString artist, QString track)
{
    const QString line = QStringLiteral("Deck #") + QString::number(deck) + QStringLiteral(" - ") +
                         artist + QStringLiteral(" - ") + track;
    logEvent(event_log::info, QStringLiteral("Shown: ") + line);
    showTrackLine(line);
}

void MainDlg::showTrackLine(const QString& line)
{
    trackView->add(line);
}

QString MainDlg::oggStatusLine() const
{
    // The port really open, once known: an out-of-range stored port ends up elsewhere.
    const QString port =
        QString::number(oggListeningPort > 0 ? oggListeningPort : appSettings.icecastPort());
    if (oggListenError.isEmpty())
        return QStringLiteral("Listening for OGG on port %1\n").arg(port);
    return QStringLiteral("Not listening for OGG on port %1: %2\n").arg(port, oggListenError);
}

// Says what really listens: a failed OSC listen is not shown as listening.
void MainDlg::updateListenerStatusText()
{
    QString text;
    if (appSettings.traktorListenerActive())
        text += oggStatusLine();
    if (prefsDlg->checkBoxMasterClip->isChecked()) {
        const QString port =
            QString::number(oscListeningPort > 0 ? oscListeningPort : appSettings.abletonPort());
        text +=
            !oscListenError.isEmpty()
                ? QStringLiteral("Not listening for OSC on port %1: %2\n").arg(port, oscListenError)
                : QStringLiteral("Listening for OSC on port %1\n").arg(port);
    }
    prefsDlg->infoLbl->setText(text);
}

// ---------------------------------------------------------------------------
// Start and stop

void MainDlg::startStopServers()
{
    if (ui.startStopBtn->text() == startText)
        start();
    else
        stop();
}

void MainDlg::start()
{
    connect(&oggThread->hub, trackReport, this, cloudSlot, Qt::UniqueConnection);
    connect(oscThread->hub, tempoReport, this, &MainDlg::sendAbletonTempo, Qt::UniqueConnection);
    connect(oscThread->hub, clipReport, this, &MainDlg::sendAbletonMetaData, Qt::UniqueConnection);
    setTrayIconStarted();
    trackView->clear();
    postStartStopMessage(true);
    if (appSettings.seratoListenerActive()) {
        // A database chosen in Preferences counts from this set on.
        seratoParser->setDatabasePath(appSettings.seratoDatabasePath());
        seratoParser->startWatching(appSettings.seratoDelay() * 1000);
    }
    sendUserInfo(true);
    createTrackListFile();
    serversRunning = true;
    activateTwitter();
    updateTrackListConnection();
    prefsDlg->copyTrackFileBtn->setEnabled(true);
    prefsDlg->clearTrackFileBtn->setEnabled(true);
    ui.startStopBtn->setText(stopText);
    lastTempo.clear();
    lastClip.clear();
    logEvent(event_log::info, QStringLiteral("Started; tracklist %1").arg(lastTrackListPath));
    refreshStatusArea();
}

void MainDlg::stop()
{
    disconnect(&oggThread->hub, trackReport, this, cloudSlot);
    disconnect(oscThread->hub, tempoReport, this, &MainDlg::sendAbletonTempo);
    disconnect(oscThread->hub, clipReport, this, &MainDlg::sendAbletonMetaData);
    setTrayIconStopped();
    postStartStopMessage(false);
    seratoParser->stopWatching();
    sendUserInfo(false);
    serversRunning = false;
    updateTrackListConnection();
    activateTwitter();
    if (trackListFile)
        trackListFile->close();
    trackListFileName.clear();
    prefsDlg->copyTrackFileBtn->setEnabled(false);
    prefsDlg->clearTrackFileBtn->setEnabled(false);
    ui.startStopBtn->setText(startText);
    logEvent(event_log::info, QStringLiteral("Stopped"));
    refreshStatusArea();
}

void MainDlg::updateTrackListConnection()
{
    if (serversRunning)
        connect(&oggThread->hub, trackReport, this, &MainDlg::addToTrackList, Qt::UniqueConnection);
    else
        disconnect(&oggThread->hub, trackReport, this, &MainDlg::addToTrackList);
}

// ---------------------------------------------------------------------------
// Tracks and messages

void MainDlg::OnSeratoDataReady(int deckNumber, QString artist, QString track)
{
    showSongMetaDataOnScreen(deckNumber, artist, track);
    sendSongMetaDataToCloud(artist, track);
}

void MainDlg::sendSongMetaDataToCloud(QString artist, QString track)
{
    if (prefsDlg->activeTwitChBox->isChecked())
        postNowPlaying(MessageComposer::nowPlaying(appSettings.playingMessage(), artist, track,
                                                   appSettings.hashtagArtist(),
                                                   appSettings.hashtagTrack()));
    webService->sendTrack(identity(), artist, track);
}

void MainDlg::postNowPlaying(const QString& text)
{
    // Only a now-playing post may give way to a newer one while posting is paused.
    twitClient->updateStatus(text, TwitClient::PostKind::NowPlaying);
}

void MainDlg::postStartStopMessage(bool start)
{
    const QString location = ui.locationEdit->text();
    if (location.isEmpty() || !prefsDlg->activeTwitChBox->isChecked())
        return;
    const PrefsDlg& p = *prefsDlg;
    twitClient->updateStatus(
        start ? MessageComposer::startStop(p.startHashtag->text(), p.startMessage->text(), location)
              : MessageComposer::startStop(p.stopHashtag->text(), p.stopMessage->text(), location));
}

void MainDlg::sendAbletonTempo(QString tempo)
{
    lastTempo = tempo;
    refreshStatusArea();
}

void MainDlg::sendAbletonMetaData(QStringList clip)
{
    lastClip = clip.join(QStringLiteral(" / "));
    refreshStatusArea();
}

QString MainDlg::toHashtag(const QString& text) const
{
    return MessageComposer::toHashtag(text);
}

QString MainDlg::artistHashtags(const QString& artist) const
{
    return MessageComposer::artistHashtags(artist, appSettings.hashtagArtist());
}

QString MainDlg::trackHashtag(const QString& track) const
{
    return MessageComposer::trackHashtag(track, appSettings.hashtagTrack());
}

QMap<int, QString> MainDlg::findArtistSeparators(const QStringList& separators,
                                                 const QString& artist) const
{
    return MessageComposer::findArtistSeparators(separators, artist);
}

void MainDlg::refreshRemainedCharackter()
{
    const QString text = ui.msgTxtEdit->toPlainText();
    const int left = maxMessageLength - text.size();
    ui.characterLcdNum->display(left);
    ui.sendMsgBtn->setEnabled(left >= 0 && !text.isEmpty() &&
                              prefsDlg->activeTwitChBox->isChecked());
}

void MainDlg::sendMessageToTwitter()
{
    const QString text = ui.msgTxtEdit->toPlainText();
    if (text.isEmpty())
        return;
    twitClient->updateStatus(text);
    ui.msgTxtEdit->clear();
}

void MainDlg::activateTwitter()
{
    if (prefsDlg->activeTwitChBox->isChecked()) {
        connect(ui.sendMsgBtn, &QPushButton::clicked, this, &MainDlg::sendMessageToTwitter,
                Qt::UniqueConnection);
        // By name: the slot's post kind is a default argument, which a typed
        // connection cannot leave out.
        connect(prefsDlg, SIGNAL(sendTestMsg(QString)), twitClient, SLOT(updateStatus(QString)),
                Qt::UniqueConnection);
    } else {
        disconnect(ui.sendMsgBtn, &QPushButton::clicked, this, &MainDlg::sendMessageToTwitter);
        disconnect(prefsDlg, SIGNAL(sendTestMsg(QString)), twitClient, SLOT(updateStatus(QString)));
    }
}

void MainDlg::setFollowingString()
{
    appSettings.setPlayingMessage(prefsDlg->playingMessage->text());
}

// ---------------------------------------------------------------------------
// Tracklist file

TrackListLocation MainDlg::location() const
{
    return {locationCity, locationCountry, locationCountryCode};
}

void MainDlg::createTrackListFile()
{
    trackListFile = std::make_unique<TrackListFile>(trackListFolder(), advanced.webSiteHost());
    const bool written = trackListFile->create(QDateTime::currentDateTime(), location());
    trackListFileName = trackListFile->fileName();
    lastTrackListPath = trackListFile->filePath();
    trackListError.clear();
    if (!written)
        trackListFailed("oyoyoy");
}

void MainDlg::addToTrackList(QString artist, QString track)
{
    if (!trackListFile || trackListFileName.isEmpty())
        return;
    if (!trackListFile->append(artist, track, QDateTime::currentDateTime(), location()))
        trackListFailed("oyoyoy");
    else if (!trackListError.isEmpty()) {
        trackListError.clear();
        refreshStatusArea();
    }
}

void MainDlg::clearTrackList()
{
    if (trackListFile && !trackListFileName.isEmpty() && !trackListFile->clear(location()))
        trackListFailed("oyoyoy2");
}

void MainDlg::copyToDesktopTrackList()
{
    if (!trackListFile || trackListFileName.isEmpty())
        return;
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (trackListFile->copyTo(desktop))
        return;
    // The DJ pressed the button and waits for the file: say why it is not there.
    const QString error = trackListFile->errorString();
    logEvent(event_log::error,
             QStringLiteral("Copying the tracklist to %1 failed: %2").arg(desktop, error));
    showInformation(tr("The tracklist could not be copied to %1: %2").arg(desktop, error),
                    QMessageBox::Close);
}

void MainDlg::trackListFailed(const char* diagnostic)
{
    qDebug() << diagnostic;
    trackListError = trackListFile->errorString();
    logEvent(event_log::error, QStringLiteral("Tracklist %1 not written: %2")
                                   .arg(trackListFile->filePath(), trackListError));
    refreshStatusArea();
}

// ---------------------------------------------------------------------------
// Web service

WebServiceClient::Identity MainDlg::identity() const
{
    return {appSettings.uid(), appSettings.userName(), ui.locationEdit->text()};
}

void MainDlg::sendUserInfo(bool start)
{
    webService->sendSession(identity(), start, QCoreApplication::applicationVersion(),
                            WebServiceClient::listenerCode(appSettings.seratoListenerActive(),
                                                           appSettings.traktorListenerActive(),
                                                           appSettings.masterClip()));
}

void MainDlg::refreshLocation()
{
    if (sender() == prefsDlg->checkLocatBtn)
        manualLocationCheck = true;
    else if (sender() == ui.refreshBtn)
        fillLocationField = true;
    ui.refreshBtn->setEnabled(false);
    ui.locationEdit->setEnabled(false);
    prefsDlg->checkLocatBtn->setEnabled(false);
    webService->lookupLocation();
}

void MainDlg::readyReadReplyLocation(QString city, QString country, QString countryCode)
{
    locationCity = city;
    locationCountry = country;
    locationCountryCode = countryCode;
    logEvent(event_log::info,
             QStringLiteral("Location: %1, %2 (%3)").arg(city, country, countryCode));
    if (manualLocationCheck)
        showInformation(tr("Based on the IP address we think you are in ") + city +
                            QStringLiteral(" ") + country,
                        QMessageBox::Close);
    else if (fillLocationField)
        ui.locationEdit->setText(city.isEmpty() || country.isEmpty()
                                     ? city + country
                                     : city + QStringLiteral(" ") + country);
    finishLocationLookup();
}

void MainDlg::locationLookupFailed(const QString& error)
{
    logEvent(event_log::warning, QStringLiteral("Location lookup failed: ") + error);
    if (manualLocationCheck)
        showInformation(tr("The location lookup failed: ") + error, QMessageBox::Close);
    finishLocationLookup();
}

void MainDlg::finishLocationLookup()
{
    ui.refreshBtn->setEnabled(true);
    ui.locationEdit->setEnabled(true);
    prefsDlg->checkLocatBtn->setEnabled(true);
    manualLocationCheck = false;
    fillLocationField = false;
}

void MainDlg::checkForUpdate()
{
    if (sender() == prefsDlg->checkUpdBtn)
        manualUpdateCheck = true;
    prefsDlg->checkUpdBtn->setEnabled(false);
    webService->checkVersion();
}

void MainDlg::readyReadReplyUpdate(QString version)
{
    const bool newer = VersionNumber::fromText(version).isNewerThan(
        VersionNumber::fromText(QCoreApplication::applicationVersion()));
    if (newer)
        showInformation(tr("New version is available.\nDo you want download it?"),
                        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    else if (manualUpdateCheck)
        showInformation(tr("No new version available."), QMessageBox::Ok);
    manualUpdateCheck = false;
    prefsDlg->checkUpdBtn->setEnabled(true);
}

void MainDlg::updateCheckFailed(const QString& error)
{
    logEvent(event_log::warning, QStringLiteral("Update check failed: ") + error);
    if (manualUpdateCheck)
        showInformation(tr("The update check failed: ") + error, QMessageBox::Ok);
    manualUpdateCheck = false;
    prefsDlg->checkUpdBtn->setEnabled(true);
}

// Boxes open without a nested event loop: the listeners' reports keep flowing
// while a box waits for the DJ.
void MainDlg::showInformation(const QString& text, int buttons, int defaultButton)
{
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("FENK"), text,
                                QMessageBox::StandardButtons(buttons));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (defaultButton != 0)
        box->setDefaultButton(QMessageBox::StandardButton(defaultButton));
    if (buttons & QMessageBox::Cancel) {
        connect(box, &QMessageBox::finished, this, [this](int result) {
            if (result == QMessageBox::Ok)
                openOnDesktop(QUrl(QStringLiteral("https://%1/").arg(advanced.webSiteHost())));
        });
    }
    box->open();
}

// ---------------------------------------------------------------------------
// Status area

void MainDlg::setTwitterState(QString text)
{
    setStatus(ui.twitterStatusLbl, QStringLiteral("Twitter"), text);
}

void MainDlg::setStatus(QLabel* label, const QString& source, const QString& text)
{
    if (label->text() == text)
        return;
    label->setText(text);
    label->setToolTip(text);
    logEvent(event_log::info, QStringLiteral("Status %1: %2").arg(source, text));
}

void MainDlg::refreshStatusArea()
{
    const int icecastPort = appSettings.icecastPort();
    QString traktor;
    if (!oggListenError.isEmpty())
        traktor = tr("not listening on port %1: %2").arg(icecastPort).arg(oggListenError);
    else if (oggListeningPort > 0)
        traktor = tr("listening on port %1").arg(oggListeningPort);
    else
        traktor = tr("starting on port %1").arg(icecastPort);
    setStatus(ui.traktorStatusLbl, QStringLiteral("Traktor"), traktor);

    setStatus(ui.seratoStatusLbl, QStringLiteral("Serato"),
              appSettings.seratoListenerActive() ? seratoParser->sourceStatus()
                                                 : tr("switched off in Preferences"));

    QString ableton =
        oscListeningPort > 0 ? tr("listening on port %1").arg(oscListeningPort)
        : !oscListenError.isEmpty()
            ? tr("not listening on port %1: %2").arg(appSettings.abletonPort()).arg(oscListenError)
            : tr("starting on port %1").arg(appSettings.abletonPort());
    if (serversRunning && !lastTempo.isEmpty()) {
        bool number = false;
        const double bpm = lastTempo.toDouble(&number);
        ableton += tr(", tempo %1 BPM").arg(number ? QString::number(bpm, 'g', 6) : lastTempo);
    }
    if (serversRunning && !lastClip.isEmpty())
        ableton += tr(", clip %1").arg(lastClip);
    setStatus(ui.abletonStatusLbl, QStringLiteral("Ableton"), ableton);

    QString trackList;
    if (lastTrackListPath.isEmpty())
        trackList = tr("none yet (Start makes one)");
    else if (!trackListError.isEmpty())
        trackList =
            tr("%1 NOT WRITTEN: %2").arg(QFileInfo(lastTrackListPath).fileName(), trackListError);
    else if (serversRunning)
        trackList = QFileInfo(lastTrackListPath).fileName();
    else
        trackList = tr("%1 (closed)").arg(QFileInfo(lastTrackListPath).fileName());
    setStatus(ui.trackListStatusLbl, QStringLiteral("Tracklist"), trackList);
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
