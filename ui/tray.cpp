#include "tray.h"

#include "windowmenu.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

Tray::Tray(const WindowMenu& menuBar, QObject* parent)
    : QObject(parent), tweetTrackAction(new QAction(tr("Tweet track"), this)),
      preferencesAction(new QAction(tr("Preferences"), this)),
      quitAction(new QAction(tr("Quit"), this)), m_menu(new QMenu()),
      m_icon(new QSystemTrayIcon(this))
{
    m_menu->addAction(tweetTrackAction);
    m_menu->addAction(menuBar.startStopAction);
    m_menu->addAction(menuBar.exportSetAction);
    m_menu->addAction(menuBar.copyTrackListAction);
    m_menu->addAction(preferencesAction);
    m_menu->addAction(menuBar.openEventLogAction);
    m_menu->addAction(menuBar.openTrackListFolderAction);
    m_menu->addSeparator();
    m_menu->addAction(quitAction);
    m_icon->setContextMenu(m_menu.get());
    showStarted(false);
}

Tray::~Tray() = default;

void Tray::showStarted(bool started)
{
    m_started = started;
    m_icon->setIcon(QIcon(started ? QStringLiteral(":/Icon/FENK_Logo_18_green.png")
                                  : QStringLiteral(":/Icon/FENK_Logo_18_red.png")));
    updateToolTip();
}

void Tray::showLastTrack(const QString& line)
{
    m_lastTrack = line;
    updateToolTip();
}

void Tray::updateToolTip()
{
    QString tip = m_started ? tr("FENK: playing a set") : tr("FENK: stopped");
    if (!m_lastTrack.isEmpty())
        tip += QLatin1Char('\n') + tr("Last track: %1").arg(m_lastTrack);
    m_icon->setToolTip(tip);
}
