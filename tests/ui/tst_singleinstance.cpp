#include "fenktestconfig.h"
#include "testhome.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QtTest>

// A program started for the test, and killed if still running when it goes.
class Child : public QProcess
{
public:
    explicit Child(const QString& program) { start(program, QStringList()); }
    ~Child() override { close(); }
    bool endsCleanly()
    {
        return waitForFinished(10000) && exitStatus() == NormalExit && !exitCode();
    }
    bool printed(const QByteArray& line, int times = 1)
    {
        return QTest::qWaitFor(
            [&] { return (out += readAllStandardOutput()).count(line + '\n') >= times; }, 10000);
    }

    QByteArray out;
};

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qputenv("QT_QPA_PLATFORM", "offscreen"); }

    // Later starts hand their message to the first instance, though a killed one
    // left its files behind, garbage reached the socket, and a copy of the
    // program elsewhere, which is another program, runs alongside.
    void laterStartsHandOver()
    {
        const QString probe = QCoreApplication::applicationDirPath() + "/singleinstanceprobe";
        QVERIFY(Child(probe).printed("primary")); // then killed: its lock and socket stay behind
        Child first(probe);
        QVERIFY(first.printed("primary"));
        const QTemporaryDir elsewhere;
        QVERIFY(QFile::copy(probe, elsewhere.path() + "/singleinstanceprobe"));
        Child other(elsewhere.path() + "/singleinstanceprobe");
        QVERIFY(other.printed("primary"));
        const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
        for (const QFileInfo& entry : runtime.entryInfoList(QDir::System)) {
            QLocalSocket socket;
            socket.connectToServer(entry.filePath());
            QVERIFY(socket.waitForConnected(2000));
            socket.write(QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'x'));
            QVERIFY(socket.waitForDisconnected(2000));
        }
        for (int n = 1; n <= 2; ++n) {
            Child next(probe);
            QVERIFY(next.endsCleanly());
            QCOMPARE(next.readAllStandardOutput(), QByteArray("handed-over\n"));
            QVERIFY(first.printed("message msg", n));
        }
        QCOMPARE(first.out.count("message"), 2);
    }

    // The real program: a second start exits at once, and SIGTERM ends it the
    // way "Quit" does, with its settings saved, even while the start-up's PIN
    // dialog (no Twitter account, the API unreachable) holds it before its main loop.
    void fenkEndsCleanlyOnTermination()
    {
        QSettings settings;
        settings.setValue("icecast/Port", 0);
        settings.setValue("ableton/Port", 0);
        settings.setValue("advanced/TwitterApiHost", "127.0.0.1:1");
        settings.sync();
        const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");
        for (const char* command : {"--stop", "--quit"}) { // with no FENK to stop: no window
            QProcess none;
            none.start(fenk, {command});
            QVERIFY(none.waitForFinished(10000) && none.exitCode() == 0);
            QVERIFY(!QDir::home().exists("Documents/FENK"));
        }
        Child first(fenk);
        // The window makes it while being built, after the signal handlers exist.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(QDir::homePath() + "/Documents/FENK").isDir(), 15000);
        QVERIFY(Child(fenk).endsCleanly());
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.endsCleanly());
        settings.sync();
        QVERIFY(settings.contains("geometry"));
        QVERIFY(QDir::home().exists(".local/share/Orvane Media GmbH/FENK/events.log"));
    }
};

FENK_TEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
