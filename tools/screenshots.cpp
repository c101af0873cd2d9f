// Renders the main window with its menu, the status area during a set (posting
// to X and the other networks), the tray menu and each preferences tab to PNG
// files, for the README, and the overlay page over a dark and a light scene as
// headless Chromium shows it. Run it through
// scripts/screenshots (under Xvfb) with a throw-away HOME.
#include "freeport.h"
#include "listenercontrol.h"
#include "maindlg.h"
#include "messanger.h"
#include "networkstab.h"
#include "offlinetwitter.h"
#include "oscthread.h"
#include "overlayshots.h"
#include "prefsdlg.h"
#include "setfiles.h"
#include "setfilescontrols.h"
#include "statusview.h"
#include "windowmenu.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(out);

    // No Twitter account: every PIN dialog is cancelled and the API is a closed
    // local port, so nothing is posted.
    const OfflineTwitter offline;

    // A web service that cannot be reached: the start-up checks stay silent.
    QSettings().setValue(QStringLiteral("advanced/ServiceHost"), QStringLiteral("127.0.0.1:1"));
    QSettings().setValue(QStringLiteral("CheckForUpdate"), false);
    QDir().mkpath(ApplicationSettings::defaultSessionDir());
    // The usual overlay port, unless something on this machine holds it.
    QTcpServer probe;
    const bool usual = probe.listen(QHostAddress::LocalHost, OverlaySettings::defaultPort);
    probe.close();
    QSettings().setValue(QStringLiteral("overlay/Port"),
                         usual ? int(OverlaySettings::defaultPort) : int(freePort()));

    MainDlg window;
    // The networks of a DJ who posts beyond X; their services are not asked.
    const std::pair<const char*, const char*> networks[] = {
        {"Mastodon", "@djfenk@mastodon.social"},
        {"Bluesky", "@djfenk.bsky.social"},
        {"Discord", "webhook \u201Cnow-playing\u201D"}};
    for (const auto& [name, state] : networks) {
        window.statusModel().addLine(QString::fromLatin1(name).toLower(), QLatin1String(name));
        window.statusModel().set(QString::fromLatin1(name).toLower(), QString::fromUtf8(state));
    }
    // Wide enough for the status lines.
    window.resize(640, window.minimumSizeHint().height() + 40);
    window.show();
    // What the window looks like a few tracks into a set.
    window.form().locationEdit->setText(QStringLiteral("Berlin Germany"));
    window.startStopServers();
    SetController& set = window.setController();
    const QDateTime now = QDateTime::currentDateTime();
    set.report(Track::broadcast(QStringLiteral("Hüsker Dü"), QStringLiteral("Diane"),
                                QStringLiteral("/live.ogg"), now));
    set.report(Track::broadcast(QStringLiteral("Björk"), QStringLiteral("Human Behaviour"),
                                QStringLiteral("/live.ogg"), now));
    set.report(Track::serato(2, QStringLiteral("LĪVE"), QStringLiteral("Lakini's Juice"), now, 0));
    set.report(Track::broadcast(QStringLiteral("Röyksopp & Robyn"), QStringLiteral("Do It Again"),
                                QStringLiteral("/live.ogg"), now));
    // The OSC hub, called on this thread, reports at once.
    Messanger* osc = window.listenerControl()->oscListener()->hub;
    osc->sendMsg(QStringLiteral("124.000000"));
    PrefsDlg* prefs = window.preferences();
    prefs->show();

    int written = 0;
    // The listeners need a moment to open their ports.
    QTimer::singleShot(1500, &window, [&] {
        // The offline account's posts have failed by now; show a signed-in one, and
        // what Test says when its post went out.
        window.statusModel().set(QStringLiteral("twitter"), QStringLiteral("@dj_fenk"));
        prefs->testResultLbl->setText(QStringLiteral("Posted as @dj_fenk (HTTP 200, id 1)."));
        osc->sendMsg(QStringList{QStringLiteral("1"), QStringLiteral("Drums"), QStringLiteral("0"),
                                 QStringLiteral("Intro Loop")});
        // The window with its "FENK" menu open: the menu is a window of its own,
        // so it is drawn onto the window's picture where it opened.
        QMenu* fenk = window.windowMenu()->bar()->actions().value(0)->menu();
        const QRect entry = window.windowMenu()->bar()->actionGeometry(
            window.windowMenu()->bar()->actions().value(0));
        fenk->popup(window.windowMenu()->bar()->mapToGlobal(entry.bottomLeft()));
        QCoreApplication::processEvents();
        QPixmap shot = window.grab();
        {
            QPainter painter(&shot);
            painter.drawPixmap(window.mapFromGlobal(fenk->pos()), fenk->grab());
        }
        fenk->hide();
        if (shot.save(out + QStringLiteral("/mainwindow.png")))
            ++written;
        if (window.form().statusView->parentWidget()->grab().save(out +
                                                                  QStringLiteral("/status.png")))
            ++written;
        QMenu* tray = window.systemTrayMenu();
        tray->popup(QPoint(0, 0));
        QCoreApplication::processEvents();
        if (tray->grab().save(out + QStringLiteral("/traymenu.png")))
            ++written;
        tray->hide();
        const char* const names[] = {"main", "listeners", "twitter", "messages", "networks"};
        for (int tab = 0; tab < prefs->prefsTabWgt->count() && tab < 5; ++tab) {
            prefs->prefsTabWgt->setCurrentIndex(tab);
            QCoreApplication::processEvents();
            if (auto* n = qobject_cast<NetworksTab*>(prefs->prefsTabWgt->currentWidget())) {
                n->showMastodon({true, QStringLiteral("mastodon.social")});
                n->showBluesky({true, QStringLiteral("djfenk.bsky.social")});
                n->showDiscord({true});
                n->mastodonStateLbl->setText(QString::fromUtf8(networks[0].second));
                n->blueskyStateLbl->setText(QString::fromUtf8(networks[1].second));
                n->discordStateLbl->setText(
                    QString::fromUtf8(networks[2].second) +
                    QStringLiteral("\nTest posted: HTTP 200: 1290")); // as after a press of Test
                n->secretsPlaceLbl->setText(QStringLiteral(
                    "Tokens, passwords and the webhook URL are kept in the Secret Service."));
            }
            const QString file =
                out + QStringLiteral("/preferences-%1.png").arg(QLatin1String(names[tab]));
            if (prefs->grab().save(file))
                ++written;
        }
        written += renderOverlayScenes(window.setFilesControls()->files().overlay().address(), out);
        QCoreApplication::quit();
    });
    app.exec();
    std::printf("%d screenshots written to %s\n", written, qPrintable(out));
    return written == 10 ? 0 : 1;
}
