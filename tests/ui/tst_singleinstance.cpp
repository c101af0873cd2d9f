#include "faketwitter.h"
#include "fenktestconfig.h"
#include "testhome.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>

namespace {

using Process = std::unique_ptr<QProcess>;

Process start(const QString& program)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto process = std::make_unique<QProcess>();
    process->start(program, QStringList());
    return process;
}

// Collects the process's output in seen until it holds the line.
bool waitForLine(QProcess& process, const QByteArray& line, QByteArray& seen)
{
    return QTest::qWaitFor(
        [&] { return (seen += process.readAllStandardOutput()).contains(line + '\n'); }, 10000);
}

bool endsCleanly(QProcess& process)
{
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

void stop(QProcess& process)
{
    process.kill();
    process.waitForFinished();
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Later starts hand their message to the first instance, though a killed one
    // left its files behind, garbage reached the socket, and a copy of the
    // program elsewhere, which is another program, runs alongside.
    void laterStartsHandOver()
    {
        const QString probe = QCoreApplication::applicationDirPath() + "/singleinstanceprobe";
        QByteArray out;
        Process first = start(probe);
        QVERIFY(waitForLine(*first, "primary", out));
        stop(*first);
        first = start(probe);
        out.clear();
        QVERIFY(waitForLine(*first, "primary", out));

        const QTemporaryDir elsewhere;
        QVERIFY(QFile::copy(probe, elsewhere.path() + "/singleinstanceprobe"));
        Process other = start(elsewhere.path() + "/singleinstanceprobe");
        QByteArray otherOut;
        QVERIFY(waitForLine(*other, "primary", otherOut));

        const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
        for (const QFileInfo& entry : runtime.entryInfoList(QDir::System)) {
            QLocalSocket socket;
            socket.connectToServer(entry.filePath());
            QVERIFY(socket.waitForConnected(2000));
            socket.write(QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'x'));
            QVERIFY(socket.waitForDisconnected(2000));
        }
        for (int n = 1; n <= 2; ++n) {
            Process next = start(probe);
            QVERIFY(endsCleanly(*next));
            QCOMPARE(next->readAllStandardOutput(), QByteArray("handed-over\n"));
            QVERIFY(waitForLine(*first, "tweetTrack " + QByteArray::number(n) + " msg", out));
        }
        QCOMPARE(out.count("tweetTrack"), 2);
        stop(*other);
        stop(*first);
    }

    // The real program: a second start exits at once, and SIGTERM ends it the
    // way "Quit" does, with its settings saved, also while the start-up's PIN
    // dialog holds it before its main loop.
    void fenkEndsCleanlyOnTermination_data()
    {
        QTest::addColumn<bool>("tokenAccepted");
        QTest::newRow("in the main loop") << true;
        QTest::newRow("in the PIN dialog") << false;
    }

    void fenkEndsCleanlyOnTermination()
    {
        QFETCH(bool, tokenAccepted);
        QSettings settings;
        settings.clear();
        settings.setValue("icecast/Port", 0);
        settings.setValue("ableton/Port", 0);
        settings.setValue("advanced/TwitterApiHost", "127.0.0.1:1");
        const QTemporaryDir certs;
        FakeTwitter twitter;
        if (tokenAccepted) {
            QVERIFY(FakeTwitter::makeCertificates(certs.path()));
            QVERIFY(twitter.start(certs.path(), "server",
                                  {"--access-token", "4242-Key", "--access-secret", "Secret"}));
            settings.setValue("advanced/TwitterApiHost", twitter.host());
            settings.setValue("advanced/ExtraCaCertificates", certs.path() + "/ca.pem");
            settings.setValue("oAuth/OAuthAccessTokenKey", "4242-Key");
            settings.setValue("oAuth/OAuthAccessTokenSecret", "Secret");
        }
        settings.sync();
        // The window makes it while being built, after the signal handlers exist.
        const QString documents = QDir::homePath() + "/Documents/FENK";
        QDir(documents).removeRecursively();

        const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");
        Process first = start(fenk);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(documents).isDir(), 15000);
        QVERIFY(!tokenAccepted || twitter.waitForRequests(1, 15000));
        QVERIFY(endsCleanly(*start(fenk)));
        QCOMPARE(first->state(), QProcess::Running);

        first->terminate();
        QVERIFY(endsCleanly(*first));
        settings.sync();
        QVERIFY(settings.contains("geometry"));
        QVERIFY(QFileInfo::exists(QDir::homePath() +
                                  "/.local/share/Orvane Media GmbH/FENK/events.log"));
        if (tokenAccepted) {
            // Only one start talked to the service, and what it said was kept.
            QCOMPARE(twitter.requests().size(), 1);
            QCOMPARE(settings.value("userInfo/UID").toString(), "4242");
        }
    }
};

FENK_TEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
