#pragma once

#include <QObject>

class QAction;
class QMenuBar;
class QWidget;

// The window's menu bar, for desktops that show no tray icon: "FENK" with
// Start/Stop, Export set…, Copy tracklist, Preferences…, the tracklist folder,
// the event log and Quit, and "Help" with About. The tray menu shows the same
// Start/Stop, Export, Copy and Open actions. The window connects the entries;
// the shortcuts work wherever the window has the focus.
class WindowMenu : public QObject
{
    Q_OBJECT
public:
    // Puts the bar at the top of window's layout.
    explicit WindowMenu(QWidget* window);

    QMenuBar* bar() const { return m_bar; }
    // "Start" while no set runs, "Stop" during one.
    void showStarted(bool started);
    // The About box with the version, not blocking the window.
    void showAbout();

    QAction* const startStopAction;
    QAction* const exportSetAction;
    QAction* const copyTrackListAction;
    QAction* const preferencesAction;
    QAction* const openTrackListFolderAction;
    QAction* const openEventLogAction;
    QAction* const quitAction;
    QAction* const aboutAction;

private:
    QWidget* m_window;
    QMenuBar* m_bar;
};
