#pragma once

#include "advancedsettings.h"
#include "applicationsettings.h"
#include "postingoutput.h"
#include "setcontroller.h"
#include "statusmodel.h"
#include "ui_maindlg.h"
#include "webserviceclient.h"
#include "webserviceoutput.h"

#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

class ListenerControl;
class NetworkControls;
class PrefsDlg;
class QuitSequence;
class TwitterControls;
class WindowMenu;
class SeratoFileParser;
class ServiceChecks;
class SetFilesControls;
class TrackListControls;
class TrackListOutput;
class TrackView;
class Tray;
class TwitClient;
class QAction;
class QCloseEvent;
class QMenu;
class QNetworkAccessManager;

// The program's main window: the form, the tray icon and menu, and the
// preferences dialog. The set itself (start, stop, the tracks and where they
// go) is the SetController's; the listeners are the ListenerControl's. The
// window builds them, adds the outputs in their fixed order, and its slots
// adapt widgets and settings to them.
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
    QSystemTrayIcon* systemTrayIcon() const;
    QMenu* systemTrayMenu() const;
    WindowMenu* windowMenu() const { return menu; }
    ApplicationSettings& settings() { return appSettings; }
    Ui::MainDlg& form() { return ui; }
    TwitClient* twitterClient() const { return twitClient; }
    WebServiceClient* webServiceClient() const { return webService; }
    SeratoFileParser* seratoWatcher() const;
    ListenerControl* listenerControl() const { return listeners; }
    SetController& setController() { return set; }
    StatusModel& statusModel() { return status; }
    TrackListOutput* trackListOutput() const { return trackList; }
    SetFilesControls* setFilesControls() const { return setFiles.get(); }
    bool isStarted() const { return set.isStarted(); }
    QString currentTrackListFile() const;

    void activateTwitter();

    // Shows the window, or with hidden leaves only the tray icon. Without a
    // system tray a hidden window is shown after trayWait all the same (a tray
    // may come up a little after an autostarted program), so FENK never runs
    // out of sight.
    void showAtStart(bool hidden,
                     std::chrono::milliseconds trayWait = std::chrono::milliseconds(10000));

    // Before the program ends (Quit, a logout, SIGTERM): a running set stops as
    // Stop stops it, and its last messages get at most budget to leave.
    bool finishBeforeQuit(std::chrono::milliseconds budget);

    // A track the view shows: the line, the tray's tooltip, "Tweet track".
    void showTrack(const Track& track);

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
    void sendMessageToTwitter();
    void refreshRemainedCharackter();
    void setFollowingString();

    void clearTrackList();
    void copyToDesktopTrackList();
    void openTrackListFolder();
    void openEventLog();

    void sendUserInfo(bool start);
    void refreshLocation();
    void checkForUpdate();
    void readyReadReplyLocation(QString city, QString country, QString countryCode);
    void readyReadReplyUpdate(QString version);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showTrackLine(const QString& line);
    void postSkipped(PostKind kind);
    void setStarted();
    void setStopped();
    PostingOutput::Texts postingTexts() const;
    void createTrayIcon();
    void loadSettingsToPrefs();

    Ui::MainDlg ui;
    QString startText;
    QString stopText;
    WindowMenu* menu = nullptr;
    Tray* tray = nullptr;
    TwitterControls* twitter = nullptr;
    NetworkControls* network = nullptr;
    QuitSequence* quitSequence = nullptr;
    Track lastTrack;
    PrefsDlg* prefsDlg = nullptr;
    TwitClient* twitClient = nullptr;
    ServiceChecks* serviceChecks = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    WebServiceClient* webService = nullptr;
    const AdvancedSettings advanced;
    ApplicationSettings appSettings;
    StatusModel status;
    SetController set;
    ListenerControl* listeners = nullptr;
    TrackView* trackView = nullptr;
    // The set's outputs, in the order the set hands them a track.
    std::unique_ptr<SetOutput> viewOutput;
    std::unique_ptr<PostingOutput> posting;
    std::unique_ptr<PostTarget> twitterTarget;
    std::unique_ptr<WebServiceOutput> reports;
    TrackListOutput* trackList = nullptr;
    TrackListControls* trackListControls = nullptr;
    // After the tracklist; goes before the set and the status it reports to.
    std::unique_ptr<SetFilesControls> setFiles;
};
