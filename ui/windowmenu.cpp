#include "windowmenu.h"

#include <QAction>
#include <QCoreApplication>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

WindowMenu::WindowMenu(QWidget* window)
    : QObject(window), startStopAction(new QAction(tr("Start"), this)),
      exportSetAction(new QAction(tr("Export set\u2026"), this)),
      copyTrackListAction(new QAction(tr("Copy tracklist"), this)),
      preferencesAction(new QAction(tr("Preferences\u2026"), this)),
      openTrackListFolderAction(new QAction(tr("Open tracklist folder"), this)),
      openEventLogAction(new QAction(tr("Open event log"), this)),
      quitAction(new QAction(tr("Quit"), this)), aboutAction(new QAction(tr("About FENK"), this)),
      m_window(window), m_bar(new QMenuBar(window))
{
    preferencesAction->setShortcut(QKeySequence(tr("Ctrl+,")));
    preferencesAction->setMenuRole(QAction::PreferencesRole);
    quitAction->setShortcut(QKeySequence(tr("Ctrl+Q")));
    quitAction->setMenuRole(QAction::QuitRole);
    aboutAction->setMenuRole(QAction::AboutRole);

    QMenu* fenk = m_bar->addMenu(tr("&FENK"));
    fenk->addAction(startStopAction);
    fenk->addAction(exportSetAction);
    fenk->addAction(copyTrackListAction);
    fenk->addSeparator();
    fenk->addAction(preferencesAction);
    fenk->addAction(openTrackListFolderAction);
    fenk->addAction(openEventLogAction);
    fenk->addSeparator();
    fenk->addAction(quitAction);
    m_bar->addMenu(tr("&Help"))->addAction(aboutAction);
    // Shortcuts of a menu's actions only fire while the menu is open, unless
    // the window holds them too.
    window->addActions({preferencesAction, quitAction});
    if (window->layout() != nullptr)
        window->layout()->setMenuBar(m_bar);
    connect(aboutAction, &QAction::triggered, this, &WindowMenu::showAbout);
}

void WindowMenu::showStarted(bool started)
{
    startStopAction->setText(started ? tr("Stop") : tr("Start"));
}

void WindowMenu::showAbout()
{
    auto* box = new QMessageBox(
        QMessageBox::Information, tr("About FENK"),
        tr("FENK %1\n\nFollows the tracks of a DJ set: shows them, keeps the tracklist, posts "
           "them and reports them to FENK's web service.")
            .arg(QCoreApplication::applicationVersion()),
        QMessageBox::Close, m_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
