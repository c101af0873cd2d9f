// The main window: tray and preferences handling, and the track pipeline's
// wiring against the real listeners' hubs and a local HTTPS web service.
#include "fakewebservice.h"
#include "fenktestconfig.h"
#include "freeport.h"
#include "logcapture.h"
#include "maindlg.h"
#include "offlinetwitter.h"
#include "peers.h"
#include "prefsdlg.h"
#include "seratofileparser.h"
#include "testhome.h"

#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

QImage image(const QIcon& icon)
{
    return icon.pixmap(18, 18).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The information box the window has open, if any.
QMessageBox* openBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    return nullptr;
}

// The sqlite3 tool: a writer of its own, as Serato is.
bool sqlite(const QString& db, const QByteArray& sql)
{
    QProcess p;
    p.start("sqlite3", {"-bail", db});
    p.write(sql);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0 && p.readAllStandardError().isEmpty();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;
    QTemporaryDir m_certs;
    FakeWebService m_service;

    // For each request to path the fake has seen, the values of keys.
    QStringList requests(const QString& path, const QStringList& keys)
    {
        QStringList result;
        for (const QJsonObject& r : m_service.events()) {
            QStringList values;
            for (const QString& key : keys)
                values << r["params"].toObject()[key].toString();
            if (r["path"] == path)
                result << values.join(' ');
        }
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        QVERIFY(FakeWebService::makeCertificates(m_certs.path()));
        QVERIFY(m_service.start(m_certs.path()));
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
        OfflineTwitter::apply();
        MainDlg::setDesktopHooks({nullptr, [] { return true; }});
        QVERIFY(m_service.configure({{"hang", false}, {"city", "Berlin"}, {"version", "1.9"}}));
    }

    // Start and stop in their order with the listener code in the session reports,
    // a tracklist per start, the watcher only when switched on; a second start or
    // stop from a hotkey changes nothing; a plain later start shows the window.
    // With the watcher on, a row Serato adds to its database is shown and reported.
    void startAndStop_data()
    {
        QTest::addColumn<bool>("serato");
        QTest::addColumn<bool>("ableton");
        QTest::addColumn<QString>("code");
        QTest::newRow("traktor and serato") << true << false << "3";
        QTest::newRow("traktor and ableton") << false << true << "5";
    }

    void startAndStop()
    {
        QFETCH(bool, serato);
        QFETCH(bool, ableton);
        QFETCH(QString, code);
        const QString db = QDir::homePath() + "/master.sqlite";
        QFile schema(FENK_TEST_DATA_DIR "/serato4/master.sql");
        QVERIFY(!serato || (schema.open(QIODevice::ReadOnly) && sqlite(db, schema.readAll())));
        QSettings().setValue("serato/DatabasePath", db);
        QSettings().setValue("serato/Delay", 0);
        QSettings().setValue("serato/ListenerActive", serato);
        QSettings().setValue("ableton/MasterClip", ableton);
        MainDlg window;
        window.runInstanceCommand("msg");
        QVERIFY(window.isVisible());
        const PrefsDlg& p = *window.preferences();
        const int sessions = requests("/session.php", {}).size();
        const auto expect = [&](bool on) {
            QCOMPARE(window.isStarted(), on);
            QCOMPARE(window.form().startStopBtn->text(), on ? "Stop" : "Start");
            const QString icon = on ? "green" : "red";
            QCOMPARE(image(window.systemTrayIcon()->icon()),
                     image(QIcon(":/Icon/FENK_Logo_18_" + icon + ".png")));
            QCOMPARE(p.copyTrackFileBtn->isEnabled() && p.clearTrackFileBtn->isEnabled(), on);
            QCOMPARE(window.seratoWatcher()->sourceStatus(),
                     on && serato ? "reading database " + db : "stopped");
            QCOMPARE(window.currentTrackListFile().isEmpty(), !on);
        };
        LogCapture log;
        for (int run = 0; run < 2 && !QTest::currentTestFailed(); ++run) {
            window.runInstanceCommand("start");
            window.runInstanceCommand("start");
            expect(true);
            const QString file = window.currentTrackListFile();
            QCOMPARE(window.form().trackListStatusLbl->text(), file);
            if (serato && run == 0) {
                QVERIFY(sqlite(db, "INSERT INTO history_entry (session_id, deck, artist, name) "
                                   "VALUES (2, '3', 'R\u00f6yk', 'Table Tune');"));
                QTRY_VERIFY(log.text().contains("Shown: Deck #3 - R\u00f6yk - Table Tune"));
                QTRY_VERIFY(requests("/track.php", {"ta", "tt"}).contains("R\u00f6yk Table Tune"));
            }
            QTest::mouseClick(window.form().startStopBtn, Qt::LeftButton);
            window.runInstanceCommand("stop");
            expect(false);
            QVERIFY(QFile::exists(window.trackListFolder() + '/' + file)); // one per run
        }
        const auto seen = [&] { // parallel connections deliver them in any order
            QStringList s = requests("/session.php", {"ts", "sp", "tv"}).mid(sessions);
            return s.sort(), s;
        };
        const QString tail = ' ' + code + " 1.9";
        QTRY_COMPARE(seen(), (QStringList{"0" + tail, "0" + tail, "1" + tail, "1" + tail}));
    }

    // A tracklist that cannot be written is shown and logged, not only traced.
    void unwritableTrackListIsShown()
    {
        MainDlg window;
        QDir folder(window.trackListFolder());
        QFile blocker(folder.path());
        QVERIFY(folder.removeRecursively() && blocker.open(QIODevice::WriteOnly));
        LogCapture log;
        window.startStopServers();
        QVERIFY(window.form().trackListStatusLbl->text().contains("NOT WRITTEN"));
        QVERIFY(log.text().contains("not written"));
        QVERIFY(blocker.remove());
    }

    // Send takes 1 to 140 characters, and only with Twitter on; sending empties the box.
    void manualMessageCounter()
    {
        MainDlg window;
        Ui::MainDlg& ui = window.form();
        // length, Twitter on, sendable
        for (const auto& [length, twitter, sendable] : {std::tuple{141, true, false},
                                                        {0, true, false},
                                                        {9, false, false},
                                                        {140, true, true}}) {
            window.preferences()->activeTwitChBox->setChecked(twitter);
            ui.msgTxtEdit->setPlainText(QString(length, QChar(0x266B)));
            QCOMPARE(ui.characterLcdNum->intValue(), 140 - length);
            QCOMPARE(ui.sendMsgBtn->isEnabled(), sendable);
        }
        QTest::mouseClick(ui.sendMsgBtn, Qt::LeftButton);
        QVERIFY(ui.msgTxtEdit->toPlainText().isEmpty());
        QCOMPARE(ui.characterLcdNum->intValue(), 140);
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
            << "checkUpdBtn" << hang << none << "The update check failed: ";
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

    // Only what really listens is claimed; ports stay within 1-65535. Closing the
    // dialog writes the store at once; an edit in a dialog never closed is kept at exit.
    void preferences()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        QSettings().setValue("ableton/Port", squatter.serverPort());
        QSettings().setValue("ableton/MasterClip", true);
        auto window = std::make_unique<MainDlg>();
        PrefsDlg& p = *window->preferences();
        const QString text = QString("Listening for OGG on port %1\nNot listening for OSC on port "
                                     "%2: bind: Address already in use\n")
                                 .arg(window->settings().icecastPort())
                                 .arg(squatter.serverPort());
        QTRY_COMPARE(p.infoLbl->text(), text);
        QTRY_VERIFY(window->form().abletonStatusLbl->text().startsWith("not listening"));
        window->prefsDlgShow();
        QVERIFY(QTest::qWaitForWindowExposed(&p));
        p.stopMessage->setText("Tschüss aus");
        QTest::keyClick(&p, Qt::Key_Escape);
        QTRY_VERIFY(!p.isVisible());
        QCOMPARE(QSettings().value("StopMessage").toString(), "Tschüss aus");
        p.abeltonPortSpBox->setValue(0);
        p.icecastPortSpBox->setValue(70000);
        QCOMPARE(QPoint(p.abeltonPortSpBox->value(), p.icecastPortSpBox->value()),
                 QPoint(1, 65535));
        QCOMPARE(p.infoLbl->text(), text);
        p.playingMessage->setText("now on the decks:");
        window.reset();
        QCOMPARE(QSettings().value("PlayingMessage").toString(), "now on the decks:");
    }
};

FENK_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
