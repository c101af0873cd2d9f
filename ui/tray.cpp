#include "tray.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

Tray::Tray(QObject* parent)
    : QObject(parent), tweetTrackAction(new QAction(tr("Tweet track"), this)),
      preferencesAction(new QAction(tr("Preferences"), this)),
      openEventLogAction(new QAction(tr("Open event log"), this)),
      openTrackListFolderAction(new QAction(tr("Open tracklist folder"), this)),
      quitAction(new QAction(tr("Quit"), this)), m_menu(new QMenu()),
      m_icon(new QSystemTrayIcon(this))
{
    m_menu->addAction(tweetTrackAction);
    m_menu->addAction(preferencesAction);
    m_menu->addAction(openEventLogAction);
    m_menu->addAction(openTrackListFolderAction);
    m_menu->addSeparator();
    m_menu->addAction(quitAction);
    m_icon->setContextMenu(m_menu.get());
    m_icon->setToolTip(QStringLiteral("FENK"));
    showStarted(false);
}

Tray::~Tray() = default;

void Tray::showStarted(bool started)
{
    m_icon->setIcon(QIcon(started ? QStringLiteral(":/Icon/FENK_Logo_18_green.png")
                                  : QStringLiteral(":/Icon/FENK_Logo_18_red.png")));
}
