#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class WindowMenu;

// The tray icon and its menu. The icon says whether a set runs, by its shape
// (a play triangle, a stop square) as well as by its colour, and its tooltip
// names the state and the last track; the window connects the menu's entries.
// Start/Stop, Export set…, Copy tracklist and the two Open entries are the
// menu bar's own actions, so their text and state are kept in one place.
class Tray : public QObject
{
    Q_OBJECT
public:
    Tray(const WindowMenu& menuBar, QObject* parent);
    ~Tray() override;

    QSystemTrayIcon* icon() const { return m_icon; }
    QMenu* menu() const { return m_menu.get(); }

    void showStarted(bool started);
    // The last track shown, for the tooltip; empty before the first.
    void showLastTrack(const QString& line);

    // The tray's own entries: the menu bar has no "Tweet track", and its
    // Preferences… and Quit carry shortcuts.
    QAction* const tweetTrackAction;
    QAction* const preferencesAction;
    QAction* const quitAction;

private:
    void updateToolTip();

    // A menu takes only a widget as its parent; the tray owns it.
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_icon;
    QString m_lastTrack;
    bool m_started = false;
};
