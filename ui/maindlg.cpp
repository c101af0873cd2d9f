#include "maindlg.h"

#include "desktop.h"
#include "documentfolder.h"
#include "eventlog.h"
#include "instancecommand.h"
#include "listenercontrol.h"
#include "networkcontrols.h"
#include "prefsdlg.h"
#include "prefsfields.h"
#include "quitsequence.h"
#include "servicechecks.h"
#include "setfilescontrols.h"
#include "tracklistcontrols.h"
#include "tracklistoutput.h"
#include "trackview.h"
#include "tray.h"
#include "twitclient.h"
#include "twittercontrols.h"
#include "windowmenu.h"
#include "windowoutputs.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QTimer>

namespace {
const QString postsKey = QStringLiteral("posts");

void logEvent(int severity, const QString& text)
{
    event_log::write(text.toStdString(), severity, 1);
}
} // namespace

MainDlg::MainDlg(QWidget* parent)
    : QWidget(parent), startText(tr("Start")), stopText(tr("Stop")),
      networkManager(new QNetworkAccessManager(this)), appSettings(this)
{
    ui.setupUi(this);
    menu = new WindowMenu(this);
    trackView = new TrackView(ui.plainTextEditTrackInfo);
    desktop::restoreGeometry(this);

    prefsDlg = new PrefsDlg(nullptr);
    loadSettingsToPrefs();
    migrateLegacyFolder();

    // The Serato watcher is made once: a changed session folder takes effect at
    // the next program start.
    listeners =
        new ListenerControl(ListenerControl::Config::from(appSettings, advanced,
                                                          prefsDlg->seratoSessionDirectory->text()),
                            &status, this);

    webService = new WebServiceClient(networkManager, advanced.serviceHost(), this);
    if (!advanced.extraCaCertificates().isEmpty())
        webService->setExtraCaCertificates(advanced.extraCaCertificates());
    serviceChecks = new ServiceChecks(
        webService,
        {ui.locationEdit, ui.refreshBtn, prefsDlg->checkLocatBtn, prefsDlg->checkUpdBtn},
        advanced.webSiteHost(),
        [this](const TrackListLocation& location) { trackList->setLocation(location); }, this);

    network = new NetworkControls(*prefsDlg, ui, status, appSettings, this);
    // Asks for the PIN once the stored pair is read and missing, only while posting is on.
    twitClient =
        new TwitClient(nullptr, prefsDlg->activeTwitChBox->isChecked(), network->twitterTokens());
    twitter = new TwitterControls(*twitClient, *prefsDlg, ui, status, appSettings, this);
    createTrayIcon();

    // The set's outputs, in the order every track reaches them: the view, the
    // posts, the web service's report, the tracklist file.
    viewOutput = std::make_unique<WindowTrackOutput>(*this, *trackView);
    twitterTarget = std::make_unique<TwitterTarget>(*twitClient, *prefsDlg->activeTwitChBox, set);
    posting = std::make_unique<PostingOutput>([this] { return postingTexts(); },
                                              [this](PostKind kind) { postSkipped(kind); });
    posting->addTarget(twitterTarget.get());
    reports = std::make_unique<WebServiceOutput>(webService, appSettings, set,
                                                 QCoreApplication::applicationVersion());
    trackList = new TrackListOutput(trackListFolder(), advanced.webSiteHost(), &status, this);
    for (SetOutput* output : std::initializer_list<SetOutput*>{viewOutput.get(), posting.get(),
                                                               reports.get(), trackList})
        set.addOutput(output);
    set.setLocation(ui.locationEdit->text());
    // The set's history, exports, now-playing file and overlay, after the tracklist.
    setFiles = std::make_unique<SetFilesControls>(set, status, *trackList, *menu, *prefsDlg, this);

    trackListControls = new TrackListControls(*trackList, *prefsDlg, *serviceChecks, this);
    ui.statusView->setModel(&status);
    ui.statusView->setLineWidget(QStringLiteral("tracklist"), ui.openTrackListFolderBtn);

    // What a quit waits for: the stop message, the session's end, the tracklist.
    quitSequence = new QuitSequence(set, this);
    quitSequence->addPending(tr("Twitter posts"), [this] { return !twitClient->isIdle(); });
    quitSequence->addPending(tr("web service reports"),
                             [this] { return webService->reportsInFlight() > 0; });
    quitSequence->addPending(tr("tracklist writes"), [this] { return trackList->writesPending(); });
    network->attach(*posting, *quitSequence);

    connect(listeners, &ListenerControl::trackReported, &set, &SetController::report);
    connect(listeners, &ListenerControl::summaryChanged, prefsDlg->infoLbl, &QLabel::setText);
    connect(&set, &SetController::started, this, &MainDlg::setStarted);
    connect(&set, &SetController::stopped, this, &MainDlg::setStopped);
    connect(ui.locationEdit, &QLineEdit::textChanged, &set, &SetController::setLocation);
    connect(tray->icon(), &QSystemTrayIcon::activated, this, &MainDlg::tweetTrack);
    connect(ui.startStopBtn, &QPushButton::clicked, this, &MainDlg::startStopServers);
    connect(ui.refreshBtn, &QPushButton::clicked, this, &MainDlg::refreshLocation);
    connect(prefsDlg->checkLocatBtn, &QPushButton::clicked, this, &MainDlg::refreshLocation);
    connect(twitClient, &TwitClient::setUserNameID, this, &MainDlg::setUserNameUID);
    connect(prefsDlg->clearTrackFileBtn, &QPushButton::clicked, this, &MainDlg::clearTrackList);
    connect(prefsDlg->copyTrackFileBtn, &QPushButton::clicked, this,
            &MainDlg::copyToDesktopTrackList);
    connect(prefsDlg->checkUpdBtn, &QPushButton::clicked, this, &MainDlg::checkForUpdate);
    connect(prefsDlg, &PrefsDlg::closeDlg, this, &MainDlg::saveSettings);
    connect(webService, &WebServiceClient::locationFound, this, &MainDlg::readyReadReplyLocation);
    connect(webService, &WebServiceClient::versionFound, this, &MainDlg::readyReadReplyUpdate);
    connect(prefsDlg, &PrefsDlg::listenerSettingsChanged, this, [this] {
        listeners->setOscShown(prefsDlg->checkBoxMasterClip->isChecked());
        prefsDlg->infoLbl->setText(listeners->preferencesSummary());
    });
    connect(ui.openTrackListFolderBtn, &QPushButton::clicked, this, &MainDlg::openTrackListFolder);
    activateTwitter();

    listeners->startListening();
    prefsDlg->infoLbl->setText(listeners->preferencesSummary());

    if (appSettings.checkForUpdateAtStart())
        checkForUpdate();
    serviceChecks->lookupLocation(nullptr, appSettings.locationServices());
    tray->icon()->show();
}

MainDlg::~MainDlg()
{
    listeners->stopListening();
    saveSettings();
    desktop::storeGeometry(this);
    delete prefsDlg;
    prefsDlg = nullptr;
    // Before the status model and the set they report to.
    delete listeners;
    listeners = nullptr;
    delete trackList;
    trackList = nullptr;
    delete twitClient;
    twitClient = nullptr;
}

QSystemTrayIcon* MainDlg::systemTrayIcon() const
{
    return tray->icon();
}

QMenu* MainDlg::systemTrayMenu() const
{
    return tray->menu();
}

SeratoFileParser* MainDlg::seratoWatcher() const
{
    return listeners->seratoWatcher();
}

QString MainDlg::currentTrackListFile() const
{
    return trackList->fileName();
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

// The tray menu shows the menu bar's entries for the set, the folder and the
// log; its own lead to the same slots as the menu bar's.
void MainDlg::createTrayIcon()
{
    tray = new Tray(*menu, this);
    connect(tray->tweetTrackAction, &QAction::triggered, this, [this] {
        tweetTrack();
        if (!lastTrack.artist.isEmpty() || !lastTrack.title.isEmpty())
            twitter->prepareTrackMessage(lastTrack);
    });
    connect(menu->startStopAction, &QAction::triggered, this, &MainDlg::startStopServers);
    connect(menu->openTrackListFolderAction, &QAction::triggered, this,
            &MainDlg::openTrackListFolder);
    connect(menu->openEventLogAction, &QAction::triggered, this, &MainDlg::openEventLog);
    for (QAction* prefs : {menu->preferencesAction, tray->preferencesAction})
        connect(prefs, &QAction::triggered, this, &MainDlg::prefsDlgShow);
    for (QAction* quit : {menu->quitAction, tray->quitAction})
        connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
}

void MainDlg::setTrayIconStarted()
{
    tray->showStarted(true);
}

void MainDlg::setTrayIconStopped()
{
    tray->showStarted(false);
}

// A single click shows or hides the window, a double click brings it up.
void MainDlg::tweetTrack(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger && isVisible() && !isMinimized()) {
        hide();
        return;
    }
    if (reason != QSystemTrayIcon::DoubleClick && reason != QSystemTrayIcon::Trigger)
        return;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    activateWindow();
}

bool MainDlg::finishBeforeQuit(std::chrono::milliseconds budget)
{
    return quitSequence->run(budget);
}

void MainDlg::showAtStart(bool hidden, std::chrono::milliseconds trayWait)
{
    if (!hidden)
        show();
    else if (!desktop::systemTrayAvailable())
        QTimer::singleShot(trayWait, this, [this] {
            if (!desktop::systemTrayAvailable())
                show();
        });
    logEvent(event_log::info, isVisible()
                                  ? QStringLiteral("FENK started with its window shown")
                                  : QStringLiteral("FENK started in the tray, its window hidden"));
}

// Without a tray a hidden window would leave a program nobody can reach, so
// closing it then ends FENK, once the DJ has agreed.
void MainDlg::closeEvent(QCloseEvent* event)
{
    if (desktop::systemTrayAvailable() || !isVisible()) {
        QWidget::closeEvent(event);
        return;
    }
    if (!desktop::confirmQuitWithoutTray(this)) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    QCoreApplication::quit();
}

void MainDlg::openEventLog()
{
    desktop::openEventLog();
}

void MainDlg::openTrackListFolder()
{
    desktop::open(QUrl::fromLocalFile(trackListFolder()));
}

void MainDlg::runInstanceCommand(const QString& command)
{
    if (command == instance_command::start) {
        if (!set.isStarted())
            startStopServers();
    } else if (command == instance_command::stop) {
        if (set.isStarted())
            startStopServers();
    } else if (command == instance_command::quit) {
        tray->quitAction->trigger();
    } else {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        raise();
        tweetTrack();
    }
}

void MainDlg::prefsDlgShow()
{
    prefsDlg->show();
    prefsDlg->raise();
    prefsDlg->activateWindow();
}

void MainDlg::loadSettingsToPrefs()
{
    PrefsDlg& p = *prefsDlg;
    showSettingsInPrefs(appSettings, p);
    p.checkBoxTracktorProActivate->setChecked(true);
    p.checkBoxTracktorProActivate->setEnabled(false);
    p.infoLbl->setText(QStringLiteral("Not listening for OGG\nNot listening for OSC"));
    p.copyTrackFileBtn->setEnabled(false);
    p.clearTrackFileBtn->setEnabled(false);
}

void MainDlg::saveSettings()
{
    takeSettingsFromPrefs(*prefsDlg, appSettings);
    oggServerRestart();
    oscServerRestart();
    listeners->setSeratoEnabled(appSettings.seratoListenerActive());
    activateTwitter();
    // A crash or a kill later in the run must not lose what the DJ confirmed.
    appSettings.writeNow();
}

// Both ports take one path: a changed port replaces that listener, and the
// track view starts empty as the new listener's lines come in.
void MainDlg::oggServerRestart()
{
    const int port = prefsDlg->icecastPortSpBox->value();
    if (port == appSettings.icecastPort())
        return;
    appSettings.setIcecastPort(port);
    listeners->setBroadcastPort(port);
    trackView->clearView();
}

void MainDlg::oscServerRestart()
{
    const int port = prefsDlg->abeltonPortSpBox->value();
    if (port == appSettings.abletonPort())
        return;
    appSettings.setAbletonPort(port);
    listeners->setOscPort(port);
    trackView->clearView();
}

void MainDlg::showSongMetaDataOnScreen(QString artist, QString track)
{
    showTrackLine(artist + QStringLiteral(" - ") + track);
}

void MainDlg::showSongMetaDataOnScreen(int deck, QString artist, QString track)
{
    showTrackLine(QStringLiteral("Deck #") + QString::number(deck) + QStringLiteral(" - ") +
                  artist + QStringLiteral(" - ") + track);
}

void MainDlg::showTrack(const Track& track)
{
    if (track.source == TrackSource::Serato)
        showSongMetaDataOnScreen(track.deck.toInt(), track.artist, track.title);
    else
        showSongMetaDataOnScreen(track.artist, track.title);
    lastTrack = track;
    tray->showLastTrack(track.artist + QStringLiteral(" - ") + track.title);
}

void MainDlg::showTrackLine(const QString& line)
{
    // events.log keeps what the window showed, for a DJ's question afterwards.
    logEvent(event_log::info, QStringLiteral("Shown: ") + line);
    trackView->add(line);
}

// ---------------------------------------------------------------------------
// Start and stop

void MainDlg::startStopServers()
{
    if (!set.isStarted()) {
        status.removeLine(postsKey); // what the last set skipped
        // A database chosen in Preferences counts from this set on.
        listeners->startSerato(appSettings.seratoDatabasePath(), appSettings.seratoDelay() * 1000);
        set.start();
    } else {
        set.stop();
    }
}

void MainDlg::setStarted()
{
    setTrayIconStarted();
    menu->showStarted(true);
    listeners->setSetRunning(true);
    activateTwitter();
    prefsDlg->copyTrackFileBtn->setEnabled(true);
    prefsDlg->clearTrackFileBtn->setEnabled(true);
    ui.startStopBtn->setText(stopText);
}

void MainDlg::setStopped()
{
    setTrayIconStopped();
    menu->showStarted(false);
    listeners->stopSerato();
    listeners->setSetRunning(false);
    activateTwitter();
    prefsDlg->copyTrackFileBtn->setEnabled(false);
    prefsDlg->clearTrackFileBtn->setEnabled(false);
    ui.startStopBtn->setText(startText);
}

// ---------------------------------------------------------------------------
// Messages

PostingOutput::Texts MainDlg::postingTexts() const
{
    // The now-playing text is the saved setting; the start and stop texts are
    // the fields as they stand, saved or not.
    const PrefsDlg& p = *prefsDlg;
    return {appSettings.playingMessage(), appSettings.hashtagArtist(), appSettings.hashtagTrack(),
            p.startHashtag->text(),       p.startMessage->text(),      p.stopHashtag->text(),
            p.stopMessage->text()};
}

// The DJ learns why the set's first or last post did not go out.
void MainDlg::postSkipped(PostKind kind)
{
    status.addLine(postsKey, tr("Posts"));
    status.set(postsKey, tr("skipped"),
               tr("no %1 message: the location is empty").arg(postKindName(kind)));
}

void MainDlg::refreshRemainedCharackter()
{
    network->refreshRemaining();
}

void MainDlg::sendMessageToTwitter()
{
    network->sendMessage();
}

void MainDlg::activateTwitter()
{
    twitter->activate();
}

void MainDlg::setFollowingString()
{
    appSettings.setPlayingMessage(prefsDlg->playingMessage->text());
}

// ---------------------------------------------------------------------------
// Tracklist file

void MainDlg::clearTrackList()
{
    trackListControls->clear();
}

void MainDlg::copyToDesktopTrackList()
{
    trackListControls->copyToDesktop();
}

// ---------------------------------------------------------------------------
// Web service

void MainDlg::sendUserInfo(bool start)
{
    reports->sendSession(start);
}

void MainDlg::refreshLocation()
{
    serviceChecks->lookupLocation(sender(), false);
}

void MainDlg::readyReadReplyLocation(QString city, QString country, QString countryCode)
{
    serviceChecks->locationFound(city, country, countryCode);
}

void MainDlg::checkForUpdate()
{
    serviceChecks->checkForUpdate(sender());
}

void MainDlg::readyReadReplyUpdate(QString version)
{
    serviceChecks->versionFound(version);
}
