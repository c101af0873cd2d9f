// The main window: tray and preferences handling, and the track pipeline's
// wiring against the real listeners' hubs and a local HTTPS web service.
#include "desktop.h"
#include "fakenetworks.h"
#include "fakewebservice.h"
#include "fenktestconfig.h"
#include "files.h"
#include "freeport.h"
#include "logcapture.h"
#include "maindlg.h"
#include "networkstab.h"
#include "offlinetwitter.h"
#include "peers.h"
#include "prefsdlg.h"
#include "seratofileparser.h"
#include "setfiles.h"
#include "setfilescontrols.h"
#include "statusview.h"
#include "testhome.h"
#include "tracklistfile.h"
#include "tracklistoutput.h"
#include "windowmenu.h"

#include <QAction>
#include <QClipboard>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;
    QTemporaryDir m_certs;
    FakeWebService m_service;
    FakeNetworks m_networks;

    static QMessageBox* openBox()
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                return box;
        return nullptr;
    }
    static QAction* trayEntry(MainDlg& window, const QString& text)
    {
        for (QAction* action : window.systemTrayMenu()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        QVERIFY(m_service.makeCertificates(m_certs.path()));
        QVERIFY(m_service.start(m_certs.path()));
        QVERIFY(m_networks.start(m_certs.path(), "server", {"--lifetime", "600"}));
    }

    // A desktop with a tray, where closing the window only hides it.
    void init()
    {
        QSettings store;
        store.clear();
        store.setValue("advanced/ServiceHost", m_service.host());
        store.setValue("advanced/ExtraCaCertificates", m_certs.path() + "/ca.pem");
        store.setValue("icecast/Port", freePort());
        store.setValue("ableton/Port", freePort());
        store.setValue("serato/SessionDir", QDir::homePath());
        store.setValue("overlay/Port", freePort());
        OfflineTwitter::apply();
        desktop::setHooks({nullptr, [] { return true; }});
        QVERIFY(m_service.configure({{"hang", false}, {"city", "Berlin"}, {"version", "1.9"}}));
    }

    // Start and stop in order: session reports with the listener code, a tracklist per
    // start, a row Serato adds to its database shown and reported; a second start or
    // stop from a hotkey changes nothing; a plain later start shows the window.
    void startAndStop()
    {
        const QString db = QDir::homePath() + "/master.sqlite";
        const QString schema = ".read " FENK_TEST_DATA_DIR "/serato4/master.sql";
        QCOMPARE(QProcess::execute("sqlite3", {"-bail", db, schema}), 0); // a writer, as Serato
        QSettings().setValue("serato/DatabasePath", db);
        QSettings().setValue("serato/Delay", 0);
        MainDlg window;
        window.runInstanceCommand("msg");
        QVERIFY(window.isVisible());
        const int sessions = m_service.requests("/session.php", {}).size();
        const auto expect = [&](bool on) {
            QCOMPARE(window.isStarted(), on);
            QCOMPARE(window.form().startStopBtn->text(), on ? "Stop" : "Start");
            const QString icon = QString(":/Icon/FENK_Logo_18_%1.png").arg(on ? "green" : "red");
            QCOMPARE(window.systemTrayIcon()->icon().pixmap(18).toImage(),
                     QIcon(icon).pixmap(18).toImage());
            const PrefsDlg& p = *window.preferences();
            QCOMPARE(p.copyTrackFileBtn->isEnabled() && p.clearTrackFileBtn->isEnabled(), on);
            QCOMPARE(window.seratoWatcher()->sourceStatus(),
                     on ? "reading database " + db : "stopped");
            QCOMPARE(window.currentTrackListFile().isEmpty(), !on);
        };
        LogCapture log;
        for (int run = 0; run < 2 && !QTest::currentTestFailed(); ++run) {
            window.runInstanceCommand("start");
            window.runInstanceCommand("start");
            expect(true);
            const QString file = window.currentTrackListFile();
            QCOMPARE(window.statusModel().text("tracklist"), "writing \u2014 " + file);
            const QString deck = QString::number(run + 3), tune = "R\u00f6yk - Tune " + deck;
            const QString sql = "INSERT INTO history_entry (session_id, deck, artist, name) "
                                "VALUES (2, '%1', 'R\u00f6yk', 'Tune %1');";
            QCOMPARE(QProcess::execute("sqlite3", {"-bail", db, sql.arg(deck)}), 0);
            QTRY_VERIFY(log.text().contains("Shown: Deck #" + deck + " - " + tune));
            QTRY_VERIFY(m_service.requests("/track.php", {"ta", "tt"}).contains(tune));
            QTest::mouseClick(window.form().startStopBtn, Qt::LeftButton);
            window.runInstanceCommand("stop");
            expect(false);
            QVERIFY(QFile::exists(window.trackListFolder() + '/' + file)); // one per run
        }
        const QString tail = " - 3 - 1.9"; // Traktor and Serato
        QTRY_COMPARE(m_service.requests("/session.php", {"ts", "sp", "tv"}, sessions),
                     (QStringList{"0" + tail, "0" + tail, "1" + tail, "1" + tail}));
    }

    // The location field and boxes, and the update check; a service that never
    // answers gives the buttons back, shows why and is logged.
    void lookups_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QJsonObject>("service");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("box"); // its start
        const QJsonObject plain, hang{{"hang", true}}, noCity{{"city", QJsonValue::Null}};
        const QString none, here = "Based on the IP address we think you are in Berlin Germany";
        QTest::newRow("refresh") << "refreshBtn" << plain << "Berlin Germany" << none;
        QTest::newRow("no city") << "refreshBtn" << noCity << "Germany" << none;
        QTest::newRow("check") << "checkLocatBtn" << plain << none << here;
        QTest::newRow("location hangs") << "refreshBtn" << hang << none << none;
        QTest::newRow("same") << "checkUpdBtn" << plain << none << "No new version available.";
        QTest::newRow("newer") << "checkUpdBtn" << QJsonObject{{"version", "1.10"}} << none
                               << "New version is available.\nDo you want download it?";
        QTest::newRow("update hangs")
            << "checkUpdBtn" << hang << none << "The update check failed:";
    }

    void lookups()
    {
        QFETCH(QString, button);
        QFETCH(QJsonObject, service);
        QFETCH(QString, field);
        QFETCH(QString, box);
        MainDlg window;
        QTRY_VERIFY(window.form().refreshBtn->isEnabled());
        QTRY_VERIFY(window.preferences()->checkUpdBtn->isEnabled());
        QVERIFY(!openBox() && m_service.configure(service));
        window.webServiceClient()->setTimeout(300);
        LogCapture log;
        auto* pressed = window.findChild<QPushButton*>(button);
        pressed = pressed ? pressed : window.preferences()->findChild<QPushButton*>(button);
        pressed->click();
        QVERIFY(!pressed->isEnabled());
        QTRY_VERIFY(pressed->isEnabled());
        QCOMPARE(window.form().locationEdit->text(), field);
        const std::unique_ptr<QMessageBox> shown(openBox());
        QCOMPARE(shown ? shown->text().left(box.size()) : QString(), box);
        QCOMPARE(log.text().contains("failed"), service.contains("hang"));
    }

    // The status text claims only what really listens; a tracklist that cannot be
    // written is shown and logged; Send takes 1 to 140 characters, only with Twitter
    // on. Closing the preferences writes the store, and so does the exit.
    void windowAndPreferences()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        QSettings().setValue("ableton/Port", squatter.serverPort());
        QSettings().setValue("ableton/MasterClip", true);
        QSettings().setValue("serato/ListenerActive", false);
        auto window = std::make_unique<MainDlg>();
        PrefsDlg& p = *window->preferences();
        Ui::MainDlg& ui = window->form();
        QTRY_COMPARE(p.infoLbl->text(),
                     QString("Listening for OGG on port %1\nNot listening for OSC on port %2: "
                             "bind: Address already in use\n")
                         .arg(window->settings().icecastPort())
                         .arg(squatter.serverPort()));
        QTRY_VERIFY(window->statusModel().text("ableton").startsWith("not listening"));
        QDir folder(window->trackListFolder());
        QFile blocker(folder.path());
        QVERIFY(folder.removeRecursively() && blocker.open(QIODevice::WriteOnly));
        LogCapture log;
        window->startStopServers();
        QTRY_VERIFY(window->statusModel().text("tracklist").contains("NOT WRITTEN"));
        QVERIFY(blocker.remove());
        QVERIFY(log.text().contains("not written"));
        QCOMPARE(window->seratoWatcher()->sourceStatus(), "stopped"); // switched off
        const int rows[] = {141, 1, 0, 0, 1, 0, 9, 0, 0, 140, 1, 1};  // length, Twitter, sendable
        for (int i = 0; i < 12; i += 3) {
            p.activeTwitChBox->setChecked(rows[i + 1]);
            ui.msgTxtEdit->setPlainText(QString(rows[i], QChar(0x266B)));
            QCOMPARE(ui.characterLcdNum->intValue(), 140 - rows[i]);
            QCOMPARE(ui.sendMsgBtn->isEnabled(), bool(rows[i + 2]));
        }
        QTest::mouseClick(ui.sendMsgBtn, Qt::LeftButton);
        QVERIFY(ui.msgTxtEdit->toPlainText().isEmpty());
        QCOMPARE(ui.characterLcdNum->intValue(), 140);
        window->prefsDlgShow();
        p.stopMessage->setText("Tschüss aus");
        QTest::keyClick(&p, Qt::Key_Escape);
        QTRY_VERIFY(!p.isVisible());
        QCOMPARE(QSettings().value("StopMessage").toString(), "Tschüss aus");
        p.playingMessage->setText("now on the decks:");
        window.reset();
        QCOMPARE(QSettings().value("PlayingMessage").toString(), "now on the decks:");
    }

    // Tracks that a full disk held back at Stop are written at the next chance.
    void heldBackTracks()
    {
        MainDlg window;
        TrackListOutput& list = *window.trackListOutput();
        window.startStopServers();
        QVERIFY(list.waitForWrites(5000));
        const QString file = list.filePath();
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit full{rlim_t(QFileInfo(file).size() + 50), old.rlim_max};
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &full), 0);
        for (const QString title : {"1", "2", "3"})
            window.setController().report(
                Track::broadcast("A", title, "/m", QDateTime::currentDateTime()));
        window.startStopServers();
        QVERIFY(list.waitForWrites(5000));
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
        QVERIFY(window.statusModel().text("tracklist").startsWith("NOT WRITTEN"));
        window.startStopServers();
        QVERIFY(list.waitForWrites(5000));
        QVector<TrackListFile::Entry> read;
        QVERIFY(TrackListFile::readEntries(readFile(file), &read) && read.size() == 3);
        QCOMPARE(window.statusModel().text("tracklist").left(7), "writing");
    }

    // A first evening: Twitter off asks for no PIN until it is switched on or
    // requested; Test says what became of its post; a set from the menu bar and
    // the tray; Clear asks and keeps the removed file; a narrow window still
    // shows each status line's verdict.
    void aFirstEvening()
    {
        QSettings().setValue("ActiveTwitter", false);
        DesktopHooks& pin = m_twitter.desktop;
        const int asked = pin.shown;
        MainDlg window;
        PrefsDlg& p = *window.preferences();
        QCOMPARE(window.statusModel().text("twitter"), "off \u2014 switched off in Preferences");
        p.activeTwitChBox->click();
        QCOMPARE(pin.shown, asked + 1);
        QCOMPARE(window.statusModel().text("twitter").left(14), "not authorized");
        p.requestNewTokBtn->click();
        QCOMPARE(pin.shown, asked + 2);
        p.testAuthBtn->click();
        QTRY_VERIFY(p.testResultLbl->text().startsWith("The test post failed: "));
        window.show();
        LogCapture log;
        window.windowMenu()->startStopAction->trigger();
        QCOMPARE(window.windowMenu()->startStopAction->text() + trayEntry(window, "Stop")->text(),
                 "StopStop");
        QCOMPARE(window.statusModel().text("posts"),
                 "skipped \u2014 no start message: the location is empty");
        for (int i = 1; i <= 5; ++i)
            window.setController().report(Track::broadcast("A" + QString::number(i), "T", "/m",
                                                           QDateTime::currentDateTime()));
        QTRY_COMPARE(window.form().plainTextEditTrackInfo->toPlainText(),
                     "A5 - T\nA4 - T\nA3 - T\nA2 - T");
        QCOMPARE(window.systemTrayIcon()->toolTip(), "FENK: playing a set\nLast track: A5 - T");
        window.hide();
        trayEntry(window, "Tweet track")->trigger();
        QVERIFY(window.isVisible());
        QCOMPARE(window.form().msgTxtEdit->toPlainText(), "is now playing \u266b : A5 - T");
        const QString file = window.trackListFolder() + '/' + window.currentTrackListFile();
        const auto entries = [](const QString& path) {
            QVector<TrackListFile::Entry> read;
            return TrackListFile::readEntries(readFile(path), &read) ? read.size() : -1;
        };
        for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            p.clearTrackFileBtn->click();
            QMessageBox* box = openBox();
            QVERIFY(box && box->defaultButton() == box->button(QMessageBox::No));
            QCOMPARE(box->text(),
                     "Clear the tracklist of the running set? 5 tracks will be removed.");
            box->button(answer)->click();
            QVERIFY(window.trackListOutput()->waitForWrites(5000));
            QCOMPARE(entries(file), answer == QMessageBox::No ? 5 : 0);
        }
        QCOMPARE(entries(file + ".bak"), 5);
        QVERIFY(log.text().contains("cleared by the DJ, 5 tracks removed"));
        window.resize(120, window.height());
        ElidingLabel* line = window.form().statusView->label("tracklist");
        QTRY_VERIFY(line->text().startsWith("writing \u2014 ") &&
                    line->text().contains(QChar(0x2026)));
        QCOMPARE(line->toolTip(), window.statusModel().text("tracklist"));
        trayEntry(window, "Stop")->trigger();
        QVERIFY(!window.isStarted() && trayEntry(window, "Start"));
        for (const bool shown : {false, true}) {
            Q_EMIT window.systemTrayIcon()->activated(QSystemTrayIcon::Trigger);
            QCOMPARE(window.isVisible(), shown);
        }
        const auto shape = [](const char* colour) {
            return QIcon(QString(":/Icon/FENK_Logo_18_%1.png").arg(colour))
                .pixmap(18)
                .toImage()
                .createAlphaMask();
        };
        QVERIFY(shape("red") != shape("green")); // not the colour alone
    }

    // A 1 MB line is shown shortened, and only once the window is shown; a burst
    // of tracks is drawn a few times only, newest four first; a port change
    // keeps the history.
    void trackView()
    {
        MainDlg window;
        const QPlainTextEdit* view = window.form().plainTextEditTrackInfo;
        QSignalSpy redraws(view, &QPlainTextEdit::textChanged);
        window.showSongMetaDataOnScreen(QString(1 << 20, 'A'), "Long");
        QCoreApplication::processEvents();
        QCOMPARE(view->toPlainText(), QString());
        window.show();
        QTRY_COMPARE(view->toPlainText(), QString(299, 'A') + QChar(0x2026));
        for (int i = 1; i <= 50; ++i)
            window.showSongMetaDataOnScreen(QString::number(i), "T");
        QTRY_COMPARE(view->toPlainText(), "50 - T\n49 - T\n48 - T\n47 - T");
        QVERIFY2(redraws.count() <= 3, qPrintable(QString::number(redraws.count())));
        // A port change empties the view only: the next track brings the others back.
        window.preferences()->icecastPortSpBox->setValue(freePort());
        window.saveSettings();
        QCOMPARE(view->toPlainText(), QString());
        window.showSongMetaDataOnScreen("51", "T");
        QTRY_COMPARE(view->toPlainText(), "51 - T\n50 - T\n49 - T\n48 - T");
    }

    // Closing Preferences moves the overlay; Export set… and Copy tracklist from the menu bar
    // and the tray, during a set and after Stop; a second set in the same second has its own.
    void setFiles()
    {
        MainDlg window;
        OverlayPrefsBox& box = *window.setFilesControls()->preferencesBox();
        QClipboard& clipboard = *QGuiApplication::clipboard();
        const auto line = [&](const char* key) { return window.statusModel().text(key); };
        const QString port = QString::number(freePort());
        QSettings().setValue("overlay/Port", port);
        window.preferences()->close();
        QTRY_COMPARE(line("overlay"), "listening \u2014 port " + port);
        box.addressBtn->click();
        QCOMPARE(clipboard.text(), "http://127.0.0.1:" + port + "/");
        QCOMPARE(box.nowPlayingLbl->fullText(),
                 QDir::toNativeSeparators(window.setFilesControls()->files().nowPlaying().path()));
        const QDateTime t0 = QDateTime::currentDateTime();
        SetController& set = window.setController();
        set.setClock([t0] { return t0; });
        QAction* const entries[] = {
            window.windowMenu()->exportSetAction, trayEntry(window, "Export set\u2026"),
            window.windowMenu()->copyTrackListAction, trayEntry(window, "Copy tracklist")};
        const QString text = "[00:05] A - One\n[01:05] B - Two\n[01:30] C - Three\n";
        for (int run = 0; run < 2 && !QTest::currentTestFailed(); ++run) {
            window.startStopServers();
            QVERIFY(!entries[run]->isEnabled() && !entries[2 + run]->isEnabled() &&
                    line("setfiles").isEmpty());
            set.report(Track::broadcast("A", "One", "/m", t0.addSecs(5)));
            set.report(Track::broadcast("C", "Three", "/m", t0.addSecs(90)));
            set.report(Track::serato(2, "B", "Two", t0.addSecs(125), 60000));
            const QString base = window.setFilesControls()->files().history().basePath(),
                          name = QFileInfo(base).fileName();
            QCOMPARE(base + ".xml", window.trackListFolder() + '/' + window.currentTrackListFile());
            entries[run]->trigger();
            QTRY_VERIFY(openBox());
            QCOMPARE(std::unique_ptr<QMessageBox>(openBox())->text(),
                     QString("The set's 3 tracks exported to %1:\n\n%2.txt\n%2.cue\n%2.csv")
                         .arg(QDir::toNativeSeparators(window.trackListFolder()), name));
            QCOMPARE(QString(readFile(base + ".txt")), text);
            window.startStopServers();
            QTRY_COMPARE(line("setfiles"), "exported \u2014 " + name + ".txt, .cue, .csv");
            QVERIFY(entries[run]->isEnabled() && entries[2 + run]->isEnabled());
            clipboard.clear();
            entries[2 + run]->trigger();
            QCOMPARE(clipboard.text(), text);
        }
    }

    // Mastodon, Bluesky and Discord beside X: a status line per active network,
    // the counter of the tightest, Send and Test to the active ones only, the
    // sign-in from the tab, a quit that waits for their queues. Without a
    // Secret Service the secrets go to the settings file.
    void networks()
    {
        QSettings store;
        m_networks.useIn(store, m_certs.path() + "/ca.pem");
        store.setValue("ActiveTwitter", false);
        QVERIFY(m_networks.configure({{"mastodon", QJsonObject{{"max_characters", 60}}}}));
        LogCapture log;
        MainDlg window;
        PrefsDlg& p = *window.preferences();
        NetworksTab& tab = *p.findChild<NetworksTab*>();
        const StatusModel& status = window.statusModel();
        QTRY_COMPARE(status.text("mastodon"), "@dj@" + m_networks.host());
        QTRY_COMPARE(status.text("bluesky") + status.text("discord"),
                     "@dj.test" + QString("webhook \u201CFENK hook\u201D"));
        Ui::MainDlg& ui = window.form();
        ui.msgTxtEdit->setPlainText("a https://fenk.fm/a/long/way \u6771\u4eac \U0001F600");
        QCOMPARE(ui.characterLcdNum->intValue(), 30); // the instance's 60, the link as 23
        tab.mastodonActiveChBox->setChecked(false);
        tab.blueskyPasswordEdit->setText("app-pass-1234");
        window.prefsDlgShow();
        p.close();
        QVERIFY(tab.blueskyPasswordEdit->text().isEmpty());
        QCOMPARE(status.keys().filter(QRegularExpression("^(mastodon|bluesky|discord)$")),
                 (QStringList{"bluesky", "discord"}));
        QCOMPARE(ui.characterLcdNum->intValue(), 267); // Bluesky's 300 graphemes
        p.activeTwitChBox->setChecked(true);
        QCOMPARE(ui.characterLcdNum->intValue(), 106); // X's 140 UTF-16 code units
        p.activeTwitChBox->setChecked(false);
        ui.sendMsgBtn->click();
        QVERIFY(ui.msgTxtEdit->toPlainText().isEmpty());
        tab.mastodonTestBtn->click();
        QCOMPARE(tab.mastodonStateLbl->text(), "off\nNothing was posted: Mastodon is not active.");
        tab.discordTestBtn->click();
        QTRY_VERIFY(tab.discordStateLbl->text().contains("\nTest posted: HTTP 200"));
        const QString sent = "a https://fenk.fm/a/long/way \u6771\u4eac \U0001F600";
        QTRY_COMPARE(m_networks.accepted("discord"), (QStringList{sent, PrefsDlg::testMessage()}));
        QTRY_COMPARE(m_networks.accepted("bluesky"), QStringList{sent});
        QCOMPARE(m_networks.accepted("mastodon"), QStringList());

        // The desktop sign-in switches the network on; the code goes in a dialog.
        store.remove("mastodon/AccessToken");
        tab.mastodonSignInBtn->click();
        QInputDialog* code = nullptr;
        QTRY_VERIFY((code = p.findChild<QInputDialog*>()) && code->isVisible());
        QVERIFY(code->labelText().contains("/oauth/authorize?"));
        code->setTextValue("CODE");
        code->accept();
        QTRY_COMPARE(status.text("mastodon"), "@dj@" + m_networks.host());
        QVERIFY(tab.mastodonActiveChBox->isChecked());
        QCOMPARE(store.value("mastodon/AccessToken").toString(), "MastoToken2");
        QCOMPARE(store.value("bluesky/AppPassword").toString(), "app-pass-1234");

        // A quit waits for the queues, within its budget.
        QVERIFY(m_networks.configure({{"mastodon", QJsonObject{{"hang", 5}}}}));
        ui.msgTxtEdit->setPlainText("last words");
        ui.sendMsgBtn->click();
        QVERIFY(!window.finishBeforeQuit(std::chrono::milliseconds(500)));
        QVERIFY(log.text().contains("with Mastodon posts still to leave\n"));
        QTRY_COMPARE(m_networks.accepted("discord"), QStringList{"last words"});
    }
};

FENK_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
