// The main window: tray and preferences handling, and the track pipeline's
// wiring against the real listeners' hubs and a local HTTPS web service.
#include "fakewebservice.h"
#include "freeport.h"
#include "logcapture.h"
#include "offlinetwitter.h"
#include "peers.h"
#include "testhome.h"

#include "maindlg.h"
#include "prefsdlg.h"
#include "seratofileparser.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(18, 18).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage trayImage(bool started)
{
    return iconImage(QIcon(started ? QStringLiteral(":/Icon/FENK_Logo_18_green.png")
                                   : QStringLiteral(":/Icon/FENK_Logo_18_red.png")));
}

// The information box the window has open, if any.
QMessageBox* openBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    return nullptr;
}

QString param(const QJsonObject& request, const char* key)
{
    return request.value(QStringLiteral("params")).toObject().value(QLatin1String(key)).toString();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;
    QTemporaryDir m_certs;
    FakeWebService m_service;

    // Requests to one path the fake has seen so far.
    QVector<QJsonObject> requests(const QString& path)
    {
        QVector<QJsonObject> result;
        for (const QJsonObject& r : m_service.events())
            if (r.value(QStringLiteral("path")).toString() == path)
                result.append(r);
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(FakeWebService::makeCertificates(m_certs.path()));
        QVERIFY(m_service.start(m_certs.path()));
    }

    void init()
    {
        QSettings store;
        store.clear();
        store.setValue(QStringLiteral("advanced/ServiceHost"), m_service.host());
        store.setValue(QStringLiteral("advanced/ExtraCaCertificates"),
                       m_certs.path() + QStringLiteral("/ca.pem"));
        store.setValue(QStringLiteral("icecast/Port"), freePort());
        store.setValue(QStringLiteral("ableton/Port"), freePort());
        store.setValue(QStringLiteral("serato/SessionDir"), QDir::homePath());
        OfflineTwitter::apply();
        // A desktop with a tray: closing the window only hides it.
        MainDlg::setDesktopHooks({nullptr, [] { return true; }});
        QVERIFY(m_service.configure({{QStringLiteral("hang"), false},
                                     {QStringLiteral("city"), QStringLiteral("Berlin")},
                                     {QStringLiteral("version"), QStringLiteral("1.9")}}));
    }

    void cleanup()
    {
        while (QMessageBox* box = openBox())
            box->close();
    }

    // A plain later start brings the window up; "quit" ends like the tray's Quit.
    void instanceMessagesShowAndQuit()
    {
        MainDlg window;
        window.runInstanceCommand(QStringLiteral("msg"));
        QVERIFY(window.isVisible());
        QTimer::singleShot(0, &window, [&] { window.runInstanceCommand(QStringLiteral("quit")); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // Start and stop in their order: reports with the listener code, a new
    // tracklist per start, the watcher only when switched on; a second start
    // or stop from a hotkey changes nothing.
    void startAndStop_data()
    {
        QTest::addColumn<bool>("serato");
        QTest::addColumn<bool>("ableton");
        QTest::addColumn<QString>("code");
        QTest::newRow("all") << true << true << "7";
        QTest::newRow("traktor and serato") << true << false << "3";
        QTest::newRow("traktor and ableton") << false << true << "5";
        QTest::newRow("traktor") << false << false << "1";
    }

    void startAndStop()
    {
        QFETCH(bool, serato);
        QFETCH(bool, ableton);
        QFETCH(QString, code);
        QSettings().setValue(QStringLiteral("serato/ListenerActive"), serato);
        QSettings().setValue(QStringLiteral("ableton/MasterClip"), ableton);
        MainDlg window;
        const PrefsDlg& p = *window.preferences();
        const int sessions = requests(QStringLiteral("/session.php")).size();

        const auto expect = [&](bool on) {
            QCOMPARE(window.isStarted(), on);
            QCOMPARE(window.form().startStopBtn->text(), on ? "Stop" : "Start");
            QCOMPARE(iconImage(window.systemTrayIcon()->icon()), trayImage(on));
            QCOMPARE(p.copyTrackFileBtn->isEnabled() && p.clearTrackFileBtn->isEnabled(), on);
            QCOMPARE(window.seratoWatcher()->sourceStatus() != QLatin1String("stopped"),
                     on && serato);
            QCOMPARE(window.currentTrackListFile().isEmpty(), !on);
        };
        for (int run = 0; run < 2; ++run) {
            window.runInstanceCommand(QStringLiteral("start"));
            window.runInstanceCommand(QStringLiteral("start"));
            expect(true);
            const QString file = window.currentTrackListFile();
            QCOMPARE(window.form().trackListStatusLbl->text(), file);
            QTest::mouseClick(window.form().startStopBtn, Qt::LeftButton);
            window.runInstanceCommand(QStringLiteral("stop"));
            expect(false);
            // Each run leaves its own file behind.
            QVERIFY(QFile::exists(window.trackListFolder() + QLatin1Char('/') + file));
            if (QTest::currentTestFailed())
                return;
        }
        QTRY_COMPARE(requests(QStringLiteral("/session.php")).size(), sessions + 4);
        // Parallel connections may deliver them in any order.
        QStringList seen;
        for (const QJsonObject& r : requests(QStringLiteral("/session.php")).mid(sessions))
            seen << param(r, "ts") + param(r, "sp") + param(r, "tv");
        seen.sort();
        QCOMPARE(seen, (QStringList{"0" + code + "1.9", "0" + code + "1.9", "1" + code + "1.9",
                                    "1" + code + "1.9"}));
    }

    // A tracklist that cannot be written is shown and logged, not only traced.
    void unwritableTrackListIsShown()
    {
        MainDlg window;
        QDir folder(window.trackListFolder());
        QVERIFY(folder.removeRecursively());
        QFile blocker(folder.path());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        LogCapture log;
        window.startStopServers();
        QVERIFY(window.form().trackListStatusLbl->text().contains(QStringLiteral("NOT WRITTEN")));
        QVERIFY(log.text().contains(QStringLiteral("not written")));
        QVERIFY(blocker.remove());
    }

    void manualMessageCounter_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("twitter");
        QTest::addColumn<bool>("sendable");
        QTest::newRow("full") << 140 << true << true;
        QTest::newRow("one over") << 141 << true << false;
        QTest::newRow("empty") << 0 << true << false;
        QTest::newRow("twitter off") << 10 << false << false;
    }

    void manualMessageCounter()
    {
        QFETCH(int, length);
        QFETCH(bool, twitter);
        QFETCH(bool, sendable);
        QSettings().setValue(QStringLiteral("ActiveTwitter"), twitter);
        MainDlg window;
        Ui::MainDlg& ui = window.form();
        ui.msgTxtEdit->setPlainText(QString(length, QChar(0x266B)));
        QCOMPARE(ui.characterLcdNum->intValue(), 140 - length);
        QCOMPARE(ui.sendMsgBtn->isEnabled(), sendable);
        if (sendable) {
            QTest::mouseClick(ui.sendMsgBtn, Qt::LeftButton);
            QVERIFY(ui.msgTxtEdit->toPlainText().isEmpty());
            QCOMPARE(ui.characterLcdNum->intValue(), 140);
        }
    }

    // The location field and boxes, and the update check; a service that never
    // answers gives the buttons back and is logged.
    void lookups_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QJsonObject>("service");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("box");
        const QString here = QStringLiteral("Based on the IP address we think you are in ");
        QTest::newRow("refresh") << "refreshBtn" << QJsonObject() << "Berlin Germany"
                                 << "";
        QTest::newRow("refresh, no city")
            << "refreshBtn" << QJsonObject{{"city", QJsonValue::Null}} << "Germany"
            << "";
        QTest::newRow("check location")
            << "checkLocatBtn" << QJsonObject() << "" << here + "Berlin Germany";
        QTest::newRow("location hangs") << "refreshBtn" << QJsonObject{{"hang", true}} << ""
                                        << "";
        QTest::newRow("same version") << "checkUpdBtn" << QJsonObject() << ""
                                      << "No new version available.";
        QTest::newRow("newer version") << "checkUpdBtn" << QJsonObject{{"version", "1.10"}} << ""
                                       << "New version is available.\nDo you want download it?";
        QTest::newRow("update hangs") << "checkUpdBtn" << QJsonObject{{"hang", true}} << ""
                                      << "The update check failed: ";
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
        QVERIFY(!openBox());
        QVERIFY(m_service.configure(service));
        window.webServiceClient()->setTimeout(300);
        LogCapture log;
        auto* pressed = window.findChild<QPushButton*>(button);
        if (!pressed)
            pressed = window.preferences()->findChild<QPushButton*>(button);
        pressed->click();
        QVERIFY(!pressed->isEnabled());
        QTRY_VERIFY(pressed->isEnabled());
        QCOMPARE(window.form().locationEdit->text(), field);
        // A failure box names the failure after the fixed text.
        const QString shown = openBox() ? openBox()->text() : QString();
        QCOMPARE(shown.left(box.size()), box);
        QCOMPARE(shown.isEmpty(), box.isEmpty());
        if (service.contains(QStringLiteral("hang")))
            QVERIFY(log.text().contains(QStringLiteral("failed")));
    }

    // Only what really listens is claimed; ports stay within 1-65535.
    void statusTextSaysWhatListens()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        QSettings().setValue(QStringLiteral("ableton/Port"), squatter.serverPort());
        QSettings().setValue(QStringLiteral("ableton/MasterClip"), true);
        MainDlg window;
        PrefsDlg& p = *window.preferences();
        const QString ogg =
            QStringLiteral("Listening for OGG on port %1\n").arg(window.settings().icecastPort());
        const QString failed =
            QStringLiteral("Not listening for OSC on port %1: bind: Address already in use\n")
                .arg(squatter.serverPort());
        QTRY_COMPARE(p.infoLbl->text(), ogg + failed);
        QTRY_VERIFY(window.form().abletonStatusLbl->text().startsWith("not listening"));
        p.abeltonPortSpBox->setValue(0);
        QCOMPARE(p.abeltonPortSpBox->value(), 1);
        p.icecastPortSpBox->setValue(70000);
        QCOMPARE(p.icecastPortSpBox->value(), 65535);
        QCOMPARE(p.infoLbl->text(), ogg + failed);
    }

    // Closing applies the edits and writes them at once; an edit in a dialog
    // that is never closed is still kept at exit.
    void closingThePreferencesWritesTheStore()
    {
        auto window = std::make_unique<MainDlg>();
        PrefsDlg& p = *window->preferences();
        window->prefsDlgShow();
        QVERIFY(QTest::qWaitForWindowExposed(&p));
        p.stopMessage->setText(QStringLiteral("Tschüss aus"));
        p.prefsTabWgt->setCurrentIndex(3);
        QSignalSpy closed(&p, &PrefsDlg::closeDlg);
        QTest::keyClick(&p, Qt::Key_Escape);
        QTRY_VERIFY(!p.isVisible());
        QCOMPARE(closed.size(), 1);
        QCOMPARE(QSettings().value(QStringLiteral("StopMessage")).toString(),
                 QStringLiteral("Tschüss aus"));
        QCOMPARE(QSettings().value(QStringLiteral("PrefTabIndex")).toInt(), 3);

        p.playingMessage->setText(QStringLiteral("now on the decks:"));
        window.reset();
        QCOMPARE(QSettings().value(QStringLiteral("PlayingMessage")).toString(),
                 QStringLiteral("now on the decks:"));
    }
};

FENK_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
