#pragma once

#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The tray icon and its menu. The icon says whether a set runs; the window
// connects the menu's entries.
class Tray : public QObject
{
    Q_OBJECT
public:
    explicit Tray(QObject* parent);
    ~Tray() override;

    QSystemTrayIcon* icon() const { return m_icon; }
    QMenu* menu() const { return m_menu.get(); }

    void showStarted(bool started);

    QAction* const tweetTrackAction;
    QAction* const preferencesAction;
    QAction* const openEventLogAction;
    QAction* const openTrackListFolderAction;
    QAction* const quitAction;

private:
    // A menu takes only a widget as its parent; the tray owns it.
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_icon;
};
