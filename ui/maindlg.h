#pragma once

#include "applicationsettings.h"
#include "ui_maindlg.h"

#include <QStringList>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>

#include <string>
#include <chrono>
#include <functional>

class OggThread;
class OscThread;
class PrefsDlg;
class SeratoFileParser;
class TrackView;
class TwitClient;
class QAction;
class QCloseEvent;
class QMenu;

// The program's main window and central object: it owns the settings, the
// preferences dialog, the tray icon, the three listeners and the Twitter account.
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
    void prefsDlgShow();
    void saveSettings();
    void oggServerRestart();
    void oscServerRestart();
    void setTrayIconStarted();
    void setTrayIconStopped();
    void showSongMetaDataOnScreen(QString artist, QString track);
    void setUserNameUID(QString name, QString uid);
    void openEventLog();
    void openTrackListFolder();
    void setStartAtLogin(bool enabled);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showTrackLine(const QString& line);
    void updateListenerStatusText();
    QString oggStatusLine() const;
    void createOggThread(int port);

    void createTrayIcon();
    void loadSettingsToPrefs();
    void copyPrefsToSettings();
    void restoreWindowGeometry();
    void storeWindowGeometry();

    Ui::MainDlg ui;
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
    // Set at destruction: the listeners are not restarted any more.
    bool listenersStopped = false;
    // The address both listeners bind, read once.
    std::string listenAddress;
    OscThread* oscThread = nullptr;
    SeratoFileParser* seratoParser = nullptr;
    TwitClient* twitClient = nullptr;
    ApplicationSettings appSettings;
    TrackView* trackView = nullptr;
};
