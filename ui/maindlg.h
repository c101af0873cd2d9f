#pragma once

#include "advancedsettings.h"
#include "applicationsettings.h"
#include "tracklistfile.h"
#include "ui_maindlg.h"
#include "webserviceclient.h"

#include <QMap>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class OggThread;
class OscThread;
class PrefsDlg;
class SeratoFileParser;
class TrackView;
class TwitClient;
class QAction;
class QCloseEvent;
class QMenu;
class QNetworkAccessManager;

// The program's main window and central object: it owns the settings, the
// preferences dialog, the tray icon, the three listeners and the Twitter account,
// and wires them into the track pipeline. The pipeline's logic lives in the
// widget-free classes under messages/, tracklist/ and webservice/; the slots
// here only adapt widgets and settings to them.
class MainDlg : public QWidget
{
    Q_OBJECT
public:
    explicit MainDlg(QWidget* parent = nullptr);
    ~MainDlg() override;

    // The tracklists' folder (documents + application name), created on demand.
    QString trackListFolder();
    void migrateLegacyFolder();

    // For the tests and the window's own wiring.
    PrefsDlg* preferences() const { return prefsDlg; }
    QSystemTrayIcon* systemTrayIcon() const { return trayIcon; }
    QMenu* systemTrayMenu() const { return trayMenu; }
    ApplicationSettings& settings() { return appSettings; }
    Ui::MainDlg& form() { return ui; }
    TwitClient* twitterClient() const { return twitClient; }
    WebServiceClient* webServiceClient() const { return webService; }
    SeratoFileParser* seratoWatcher() const { return seratoParser; }
    bool isStarted() const { return serversRunning; }
    QString currentTrackListFile() const { return trackListFileName; }

    // The now-playing texts, with the hashtag switches of the settings.
    QString toHashtag(const QString& text) const;
    QString artistHashtags(const QString& artist) const;
    QString trackHashtag(const QString& track) const;
    QMap<int, QString> findArtistSeparators(const QStringList& separators,
                                            const QString& artist) const;

    void activateTwitter();
    void updateTrackListConnection();
    void createTrackListFile();

    // What the window asks of the desktop. Tests replace it; an empty member
    // falls back to the real desktop.
    struct DesktopHooks
    {
        std::function<bool(const QUrl&)> openUrl;
        std::function<bool()> systemTrayAvailable;
    };
    static void setDesktopHooks(DesktopHooks hooks);

    // Shows the window, or with hidden leaves only the tray icon. Without a
    // system tray a hidden window is shown after trayWait all the same (a tray
    // may come up a little after an autostarted program), so FENK never runs
    // out of sight.
    void showAtStart(bool hidden,
                     std::chrono::milliseconds trayWait = std::chrono::milliseconds(10000));

public Q_SLOTS:
    void tweetTrack(QSystemTrayIcon::ActivationReason reason = QSystemTrayIcon::DoubleClick);
    // A message from a later start: "start", "stop", "quit" or "msg" (show).
    void runInstanceCommand(const QString& command);
    void prefsDlgShow();
    void saveSettings();
    void oggServerRestart();
    void oscServerRestart();
    void setTrayIconStarted();
    void setTrayIconStopped();
    void showSongMetaDataOnScreen(QString artist, QString track);
    void showSongMetaDataOnScreen(int deck, QString artist, QString track);
    void setUserNameUID(QString name, QString uid);

    void startStopServers();
    void sendSongMetaDataToCloud(QString artist, QString track);
    void addToTrackList(QString artist, QString track);
    void OnSeratoDataReady(int deckNumber, QString artist, QString track);
    void sendAbletonTempo(QString tempo);
    void sendAbletonMetaData(QStringList clip);
    void sendMessageToTwitter();
    void refreshRemainedCharackter();
    void setFollowingString();

    void clearTrackList();
    void copyToDesktopTrackList();
    void openTrackListFolder();
    void openEventLog();
    void setStartAtLogin(bool enabled);

    void sendUserInfo(bool start);
    void refreshLocation();
    void checkForUpdate();
    void readyReadReplyLocation(QString city, QString country, QString countryCode);
    void readyReadReplyUpdate(QString version);

    // The status area's Twitter line, for the account's own reports.
    void setTwitterState(QString text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Every now-playing text leaves through here.
    void postNowPlaying(const QString& text);
    void postStartStopMessage(bool start);
    WebServiceClient::Identity identity() const;
    TrackListLocation location() const;
    void trackListFailed(const char* diagnostic);
    void locationLookupFailed(const QString& error);
    void updateCheckFailed(const QString& error);
    void finishLocationLookup();
    void showInformation(const QString& text, int buttons, int defaultButton = 0);
    void start();
    void stop();
    void connectOggPipeline();

    void showTrackLine(const QString& line);
    void updateListenerStatusText();
    QString oggStatusLine() const;
    void createOggThread(int port);
    void refreshStatusArea();
    void setStatus(QLabel* label, const QString& source, const QString& text);

    void createTrayIcon();
    void loadSettingsToPrefs();
    void copyPrefsToSettings();
    void restoreWindowGeometry();
    void storeWindowGeometry();

    Ui::MainDlg ui;
    const int maxMessageLength = 140;
    QString startText;
    QString stopText;
    bool serversRunning = false;
    QString trackListFileName;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* tweetTrackAction = nullptr;
    QAction* preferencesAction = nullptr;
    QAction* openEventLogAction = nullptr;
    QAction* openTrackListFolderAction = nullptr;
    QAction* quitAction = nullptr;
    PrefsDlg* prefsDlg = nullptr;
    OggThread* oggThread = nullptr;
    // Why the Traktor listener does not listen; empty while it does.
    QString oggListenError;
    // The port the Traktor listener has opened; 0 until it reports one.
    int oggListeningPort = 0;
    // Set at destruction: the listeners are not restarted any more.
    bool listenersStopped = false;
    // The address both listeners bind, read once.
    std::string listenAddress;
    OscThread* oscThread = nullptr;
    // The port the OSC listener has opened, 0 until it reports one, and why it
    // does not listen; empty while it does.
    int oscListeningPort = 0;
    QString oscListenError;
    SeratoFileParser* seratoParser = nullptr;
    TwitClient* twitClient = nullptr;
    bool manualLocationCheck = false;
    bool fillLocationField = false;
    bool manualUpdateCheck = false;
    QNetworkAccessManager* networkManager = nullptr;
    WebServiceClient* webService = nullptr;
    QString locationCountry;
    QString locationCity;
    QString locationCountryCode;
    const AdvancedSettings advanced;
    ApplicationSettings appSettings;
    std::unique_ptr<TrackListFile> trackListFile;
    // The last run's file, kept for the status area after Stop.
    QString lastTrackListPath;
    QString trackListError;
    TrackView* trackView = nullptr;
    QString lastTempo;
    QString lastClip;
};
