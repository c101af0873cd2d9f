#include "faketwitter.h"
#include "fenktestconfig.h"
#include "testhome.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>

namespace {

QString probePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/singleinstanceprobe");
}

std::unique_ptr<QProcess> startProbe(const QString& id)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("FENK_PROBE_ID"), id);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->start(probePath(), QStringList());
    return process;
}

bool waitForLine(QProcess& process, const QByteArray& line, QByteArray& seen, int timeout = 10000)
{
    QDeadlineTimer deadline(timeout);
    while (!seen.contains(line + '\n')) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        seen += process.readAllStandardOutput();
    }
    return true;
}

QByteArray eventsLog()
{
    QFile log(QDir::homePath() + QStringLiteral("/.local/share/Orvane Media GmbH/FENK/events.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

QStringList singleInstanceSockets()
{
    const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    QStringList sockets;
    for (const QFileInfo& entry :
         runtime.entryInfoList({QStringLiteral("fenk-single-*")}, QDir::System))
        if (!entry.fileName().endsWith(QStringLiteral(".lock")))
            sockets << entry.filePath();
    return sockets;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondStartHandsOverAndExits()
    {
        auto first = startProbe(QStringLiteral("hand-over"));
        QByteArray firstOut;
        QVERIFY(waitForLine(*first, "primary", firstOut));

        auto second = startProbe(QStringLiteral("hand-over"));
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(second->readAllStandardOutput(), QByteArray("handed-over\n"));

        QVERIFY(waitForLine(*first, "tweetTrack 1 msg", firstOut));
        // A third start is one more message, never a second instance.
        auto third = startProbe(QStringLiteral("hand-over"));
        QVERIFY(third->waitForFinished(10000));
        QCOMPARE(third->readAllStandardOutput(), QByteArray("handed-over\n"));
        QVERIFY(waitForLine(*first, "tweetTrack 2 msg", firstOut));
        QCOMPARE(firstOut.count("tweetTrack"), 2);
        first->kill();
        first->waitForFinished();
    }

    void otherProgramsAreIndependent()
    {
        auto one = startProbe(QStringLiteral("program-one"));
        auto two = startProbe(QStringLiteral("program-two"));
        QByteArray oneOut, twoOut;
        QVERIFY(waitForLine(*one, "primary", oneOut));
        QVERIFY(waitForLine(*two, "primary", twoOut));
        one->kill();
        two->kill();
        one->waitForFinished();
        two->waitForFinished();
    }

    void aKilledInstanceDoesNotBlockTheNextStart()
    {
        auto first = startProbe(QStringLiteral("crashed"));
        QByteArray out;
        QVERIFY(waitForLine(*first, "primary", out));
        first->kill(); // no clean-up: lock and socket files stay behind
        QVERIFY(first->waitForFinished());

        auto next = startProbe(QStringLiteral("crashed"));
        QByteArray nextOut;
        QVERIFY2(waitForLine(*next, "primary", nextOut), nextOut.constData());
        auto later = startProbe(QStringLiteral("crashed"));
        QVERIFY(later->waitForFinished(10000));
        QCOMPARE(later->readAllStandardOutput(), QByteArray("handed-over\n"));
        QVERIFY(waitForLine(*next, "tweetTrack 1 msg", nextOut));
        next->kill();
        next->waitForFinished();
    }

    void garbageOnTheSocketIsIgnored()
    {
        auto first = startProbe(QStringLiteral("garbage"));
        QByteArray out;
        QVERIFY(waitForLine(*first, "primary", out));
        const QStringList before = singleInstanceSockets();
        QVERIFY(!before.isEmpty());
        for (const QString& path : before) {
            QLocalSocket socket;
            socket.connectToServer(path);
            if (socket.waitForConnected(2000)) {
                socket.write(QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'x'));
                socket.waitForBytesWritten(2000);
                socket.waitForDisconnected(2000);
            }
        }
        auto second = startProbe(QStringLiteral("garbage"));
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->readAllStandardOutput(), QByteArray("handed-over\n"));
        QVERIFY(waitForLine(*first, "tweetTrack 1 msg", out));
        first->kill();
        first->waitForFinished();
    }

    // The real program, with its Twitter account pointed at a local fake: a
    // second start exits at once, the first checks the stored token, and SIGTERM
    // ends it the way "Quit" does, with its settings saved.
    void fenkHandsOverAndSavesOnTermination()
    {
        const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");
        QVERIFY(QFileInfo::exists(fenk));
        QTemporaryDir certs;
        QVERIFY(FakeTwitter::makeCertificates(certs.path()));
        FakeTwitter twitter;
        QVERIFY(twitter.start(certs.path(), QStringLiteral("server"),
                              {QStringLiteral("--access-token"), QStringLiteral("4242-Stored"),
                               QStringLiteral("--access-secret"), QStringLiteral("StoredSecret")}));
        useApiHost(twitter.host(), certs.path() + QStringLiteral("/ca.pem"));
        {
            QSettings store;
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"),
                           QStringLiteral("4242-Stored"));
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"),
                           QStringLiteral("StoredSecret"));
            // Free ports, so the test never depends on what else runs here.
            store.setValue(QStringLiteral("icecast/Port"), 0);
            store.setValue(QStringLiteral("ableton/Port"), 0);
        }

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QStringList socketsBefore = singleInstanceSockets();

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(fenk, QStringList());
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(singleInstanceSockets().size() > socketsBefore.size(), 15000);
        QVERIFY(twitter.waitForRequests(1, 15000));
        const QJsonObject check = twitter.requests().first();
        QCOMPARE(check.value(QStringLiteral("path")).toString(),
                 QStringLiteral("/1.1/account/verify_credentials.json"));
        QVERIFY2(check.value(QStringLiteral("valid")).toBool(),
                 qPrintable(check.value(QStringLiteral("reason")).toString()));

        // The check runs in the background; the handover below lets its report in.
        QTRY_VERIFY_WITH_TIMEOUT(eventsLog().contains("signed in as @dj_fenk"), 15000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(fenk, QStringList());
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        // Only one start talked to the service.
        QCOMPARE(twitter.requests().size(), 1);

        QSettings store;
        store.sync();
        QVERIFY(store.contains(QStringLiteral("geometry")));
        QCOMPARE(store.value(QStringLiteral("userInfo/userName")).toString(),
                 QStringLiteral("dj_fenk"));
        QCOMPARE(store.value(QStringLiteral("userInfo/UID")).toString(), QStringLiteral("4242"));
        QVERIFY(QFileInfo::exists(
            QDir::homePath() + QStringLiteral("/.local/share/Orvane Media GmbH/FENK/events.log")));
    }

    // No token and no reachable service: FENK waits in its PIN dialog before its
    // main loop runs. A logout's SIGTERM must still end it.
    void terminationDuringThePinDialogEndsFenk()
    {
        {
            QSettings store;
            store.clear();
            store.setValue(QStringLiteral("advanced/TwitterApiHost"),
                           QStringLiteral("127.0.0.1:1"));
            store.setValue(QStringLiteral("icecast/Port"), 0);
            store.setValue(QStringLiteral("ableton/Port"), 0);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QStringList socketsBefore = singleInstanceSockets();
        QProcess fenk;
        fenk.setProcessEnvironment(env);
        fenk.start(QStringLiteral(FENK_BINARY_DIR "/fenk"), QStringList());
        QVERIFY(fenk.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(singleInstanceSockets().size() > socketsBefore.size(), 15000);
        // The dialog has not necessarily opened yet; either way the signal must end FENK.
        QTest::qWait(300);
        fenk.terminate();
        const bool ended = fenk.waitForFinished(10000);
        if (!ended) {
            fenk.kill();
            fenk.waitForFinished();
        }
        QVERIFY(ended);
        QCOMPARE(fenk.exitStatus(), QProcess::NormalExit);
        QCOMPARE(fenk.exitCode(), 0);
    }
};

FENK_TEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
