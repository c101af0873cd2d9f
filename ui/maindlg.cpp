#include "maindlg.h"

#include "desktop.h"
#include "documentfolder.h"
#include "eventlog.h"
#include "instancecommand.h"
#include "listenercontrol.h"
#include "messagecomposer.h"
#include "prefsdlg.h"
#include "prefsfields.h"
#include "servicechecks.h"
#include "tracklistoutput.h"
#include "trackview.h"
#include "tray.h"
#include "twitclient.h"
#include "windowoutputs.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

namespace {
const QString geometryKey = QStringLiteral("geometry");
const QString twitterKey = QStringLiteral("twitter");

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
    trackView = new TrackView(ui.plainTextEditTrackInfo);
    restoreWindowGeometry();

    prefsDlg = new PrefsDlg(nullptr);
    loadSettingsToPrefs();
    migrateLegacyFolder();

    // The Serato watcher is made once: a changed session folder takes effect at
    // the next program start.
    ListenerControl::Config listening;
    listening.broadcastPort = appSettings.icecastPort();
    listening.oscPort = appSettings.abletonPort();
    listening.listenAddress = advanced.listenAddress().toStdString();
    listening.seratoSessionDirectory = QDir(prefsDlg->seratoSessionDirectory->text());
    listening.oscShown = appSettings.masterClip();
    listeners = new ListenerControl(listening, &status, this);
    listeners->setSeratoEnabled(appSettings.seratoListenerActive());

    webService = new WebServiceClient(networkManager, advanced.serviceHost(), this);
    if (!advanced.extraCaCertificates().isEmpty())
        webService->setExtraCaCertificates(advanced.extraCaCertificates());
    serviceChecks = new ServiceChecks(
        webService,
        {ui.locationEdit, ui.refreshBtn, prefsDlg->checkLocatBtn, prefsDlg->checkUpdBtn},
        advanced.webSiteHost(),
        [this](const TrackListLocation& location) { trackList->setLocation(location); }, this);

    status.addLine(twitterKey, tr("Twitter"));
    // May ask for the PIN before the window is shown.
    twitClient = new TwitClient();
    createTrayIcon();

    // The set's outputs, in the order every track reaches them: the view, the
    // posts, the web service's report, the tracklist file.
    viewOutput = std::make_unique<WindowTrackOutput>(*this, *trackView);
    twitterTarget = std::make_unique<TwitterTarget>(*twitClient, *prefsDlg->activeTwitChBox);
    posting = std::make_unique<PostingOutput>([this] { return postingTexts(); });
    posting->addTarget(twitterTarget.get());
    reports = std::make_unique<WebServiceOutput>(webService, appSettings, set,
                                                 QCoreApplication::applicationVersion());
    trackList = new TrackListOutput(trackListFolder(), advanced.webSiteHost(), &status, this);
    for (SetOutput* output : std::initializer_list<SetOutput*>{viewOutput.get(), posting.get(),
                                                               reports.get(), trackList})
        set.addOutput(output);
    set.setLocation(ui.locationEdit->text());

    ui.statusView->setModel(&status);
    ui.statusView->setLineWidget(QStringLiteral("tracklist"), ui.openTrackListFolderBtn);

    connect(listeners, &ListenerControl::trackReported, &set, &SetController::report);
    connect(listeners, &ListenerControl::summaryChanged, prefsDlg->infoLbl, &QLabel::setText);
    connect(&set, &SetController::started, this, &MainDlg::setStarted);
    connect(&set, &SetController::stopped, this, &MainDlg::setStopped);
    connect(ui.locationEdit, &QLineEdit::textChanged, &set, &SetController::setLocation);
    connect(tray->icon(), &QSystemTrayIcon::activated, this, &MainDlg::tweetTrack);
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
    connect(twitClient, &TwitClient::accountStateChanged, this,
            [this](const QString& text) { status.set(twitterKey, text); });
    connect(webService, &WebServiceClient::locationFound, this, &MainDlg::readyReadReplyLocation);
    connect(webService, &WebServiceClient::versionFound, this, &MainDlg::readyReadReplyUpdate);
    connect(trackList, &TrackListOutput::copyFailed, this,
            [this](const QString& folder, const QString& error) {
                // The DJ pressed the button and waits for the file: say why it is not there.
                serviceChecks->showInformation(
                    tr("The tracklist could not be copied to %1: %2").arg(folder, error),
                    QMessageBox::Close);
            });
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

    // Until the account's check has answered, the name it had last time.
    const QString account = twitClient->accountState();
    status.set(twitterKey, !account.isEmpty() ? account
                           : appSettings.userName().isEmpty()
                               ? tr("not authorized")
                               : QStringLiteral("@") + appSettings.userName());
    tray->icon()->show();
}

MainDlg::~MainDlg()
{
    listeners->stopListening();
    saveSettings();
    storeWindowGeometry();
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

void MainDlg::createTrayIcon()
{
    tray = new Tray(this);
    connect(tray->tweetTrackAction, &QAction::triggered, this, [this] { tweetTrack(); });
    connect(tray->preferencesAction, &QAction::triggered, this, &MainDlg::prefsDlgShow);
    connect(tray->openEventLogAction, &QAction::triggered, this, &MainDlg::openEventLog);
    connect(tray->openTrackListFolderAction, &QAction::triggered, this,
            &MainDlg::openTrackListFolder);
    connect(tray->quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
}

void MainDlg::setTrayIconStarted()
{
    tray->showStarted(true);
}

void MainDlg::setTrayIconStopped()
{
    tray->showStarted(false);
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
    listeners->setSetRunning(true);
    activateTwitter();
    prefsDlg->copyTrackFileBtn->setEnabled(true);
    prefsDlg->clearTrackFileBtn->setEnabled(true);
    ui.startStopBtn->setText(stopText);
}

void MainDlg::setStopped()
{
    setTrayIconStopped();
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

void MainDlg::refreshRemainedCharackter()
{
    const QString text = ui.msgTxtEdit->toPlainText();
    const int left = MessageComposer::remainingCharacters(text);
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

void MainDlg::clearTrackList()
{
    trackList->clear();
}

void MainDlg::copyToDesktopTrackList()
{
    trackList->copyTo(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
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
