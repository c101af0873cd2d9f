#include "tray.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

Tray::Tray(QObject* parent)
    : QObject(parent), tweetTrackAction(new QAction(tr("Tweet track"), this)),
      startStopAction(new QAction(tr("Start"), this)),
      exportSetAction(new QAction(tr("Export set\u2026"), this)),
      copyTrackListAction(new QAction(tr("Copy tracklist"), this)),
      preferencesAction(new QAction(tr("Preferences"), this)),
      openEventLogAction(new QAction(tr("Open event log"), this)),
      openTrackListFolderAction(new QAction(tr("Open tracklist folder"), this)),
      quitAction(new QAction(tr("Quit"), this)), m_menu(new QMenu()),
      m_icon(new QSystemTrayIcon(this))
{
    m_menu->addAction(tweetTrackAction);
    m_menu->addAction(startStopAction);
    m_menu->addAction(exportSetAction);
    m_menu->addAction(copyTrackListAction);
    m_menu->addAction(preferencesAction);
    m_menu->addAction(openEventLogAction);
    m_menu->addAction(openTrackListFolderAction);
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
    startStopAction->setText(started ? tr("Stop") : tr("Start"));
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
