#include "faketwitter.h"
#include "fenktestconfig.h"
#include "testhome.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

std::unique_ptr<QProcess> start(const QString& program)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->start(program, QStringList());
    return process;
}

QString probePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/singleinstanceprobe");
}

bool waitForLine(QProcess& process, const QByteArray& line, QByteArray& seen)
{
    QDeadlineTimer deadline(10000);
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

// The process ends within 10 s with exit code 0.
bool endsCleanly(const std::unique_ptr<QProcess>& process)
{
    return process->waitForFinished(10000) && process->exitStatus() == QProcess::NormalExit &&
           process->exitCode() == 0;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void laterStartsHandOver_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("plain") << QString();
        QTest::newRow("first instance killed") << "kill";
        QTest::newRow("garbage on the socket") << "garbage";
        QTest::newRow("another program alongside") << "other";
    }

    void laterStartsHandOver()
    {
        QFETCH(QString, before);
        const QString probe = probePath();
        auto first = start(probe);
        QByteArray out;
        QVERIFY(waitForLine(*first, "primary", out));
        if (before == QLatin1String("kill")) {
            first->kill(); // lock and socket files stay behind
            first->waitForFinished();
            first = start(probe);
            out.clear();
            QVERIFY2(waitForLine(*first, "primary", out), out.constData());
        } else if (before == QLatin1String("garbage")) {
            const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
            for (const QFileInfo& entry : runtime.entryInfoList(QDir::System)) {
                QLocalSocket socket;
                socket.connectToServer(entry.filePath());
                if (socket.waitForConnected(2000)) {
                    socket.write(QByteArray("\xff\xff\xff\xff", 4) + QByteArray(100, 'x'));
                    socket.waitForBytesWritten(2000);
                    socket.waitForDisconnected(2000);
                }
            }
        } else if (before == QLatin1String("other")) {
            // A copy elsewhere is another program.
            const QTemporaryDir elsewhere;
            const QString copy = elsewhere.path() + QStringLiteral("/singleinstanceprobe");
            QVERIFY(QFile::copy(probe, copy));
            auto other = start(copy);
            QByteArray otherOut;
            QVERIFY(waitForLine(*other, "primary", otherOut));
            other->kill();
            other->waitForFinished();
        }
        for (int n = 1; n <= 2; ++n) {
            auto next = start(probe);
            QVERIFY(endsCleanly(next));
            QCOMPARE(next->readAllStandardOutput(), QByteArray("handed-over\n"));
            QVERIFY(waitForLine(*first, "tweetTrack " + QByteArray::number(n) + " msg", out));
        }
        QCOMPARE(out.count("tweetTrack"), 2);
        first->kill();
        first->waitForFinished();
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
        QSettings().clear();
        QSettings().setValue(QStringLiteral("icecast/Port"), 0);
        QSettings().setValue(QStringLiteral("ableton/Port"), 0);
        QTemporaryDir certs;
        std::optional<FakeTwitter> twitter;
        if (tokenAccepted) {
            QVERIFY(FakeTwitter::makeCertificates(certs.path()));
            twitter.emplace();
            QVERIFY(twitter->start(certs.path(), QStringLiteral("server"),
                                   {QStringLiteral("--access-token"), QStringLiteral("4242-Key"),
                                    QStringLiteral("--access-secret"), QStringLiteral("Secret")}));
            useApiHost(twitter->host(), certs.path() + QStringLiteral("/ca.pem"));
            QSettings().setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"), "4242-Key");
            QSettings().setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"), "Secret");
        } else {
            QSettings().setValue(QStringLiteral("advanced/TwitterApiHost"), "127.0.0.1:1");
        }
        QSettings().sync();
        // The window makes it while being built, after the signal handlers exist.
        const QString documents = QDir::homePath() + QStringLiteral("/Documents/FENK");
        QDir(documents).removeRecursively();

        const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");
        auto first = start(fenk);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(documents).isDir(), 15000);
        if (tokenAccepted)
            QVERIFY(twitter->waitForRequests(1, 15000));
        // The check runs in the background; the settings saved below need its report.
        if (tokenAccepted)
            QTRY_VERIFY_WITH_TIMEOUT(eventsLog().contains("signed in as @dj_fenk"), 15000);
        QVERIFY(endsCleanly(start(fenk)));
        QCOMPARE(first->state(), QProcess::Running);

        first->terminate();
        QVERIFY(endsCleanly(first));
        QSettings store;
        store.sync();
        QVERIFY(store.contains(QStringLiteral("geometry")));
        QVERIFY(QFileInfo::exists(
            QDir::homePath() + QStringLiteral("/.local/share/Orvane Media GmbH/FENK/events.log")));
        if (tokenAccepted) {
            // Only one start talked to the service, and what it said was kept.
            QCOMPARE(twitter->requests().size(), 1);
            QCOMPARE(store.value(QStringLiteral("userInfo/UID")).toString(), "4242");
        }
    }
};

FENK_TEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
