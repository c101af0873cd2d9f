#include "debugcapture.h"
#include "desktophooks.h"
#include "faketwitter.h"
#include "peers.h"
#include "testhome.h"
#include "twitclient.h"
#include "twitcurl.h"
#include "twitthread.h"

#include <QElapsedTimer>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

const QString keyName = QStringLiteral("oAuth/OAuthAccessTokenKey");
const QString secretName = QStringLiteral("oAuth/OAuthAccessTokenSecret");
const QString storedToken = QStringLiteral("4242-Stored");
const QString storedSecret = QStringLiteral("StoredSecret");

QString text(const QJsonObject& o, const char* name)
{
    return o.value(QLatin1String(name)).toString();
}

QStringList paths(const QVector<QJsonObject>& requests)
{
    QStringList result;
    for (const QJsonObject& r : requests)
        result.append(text(r, "path"));
    return result;
}

void storeTokens(const QString& key, const QString& secret)
{
    QSettings store;
    store.setValue(keyName, key);
    store.setValue(secretName, secret);
}

// A port on which nobody listens.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

// The account object with the PIN dialog and browser answered by the test, and
// its worker, against the local HTTPS fake that checks every signature.
class TestTwitClient : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    QString ca() const { return m_certs.path() + QStringLiteral("/ca.pem"); }

    bool startFake(FakeTwitter& fake, QStringList extra = {})
    {
        extra << QStringLiteral("--access-token") << storedToken
              << QStringLiteral("--access-secret") << storedSecret;
        if (!fake.start(m_certs.path(), QStringLiteral("server"), extra))
            return false;
        useApiHost(fake.host(), ca());
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(m_certs.isValid());
        QVERIFY(FakeTwitter::makeCertificates(m_certs.path()));
    }

    void init() { QSettings().clear(); }

    void pinAuthorization_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("authorized");
        QTest::newRow("accepted") << QStringLiteral("1234567") << true << true;
        QTest::newRow("cancelled") << QStringLiteral("1234567") << false << false;
        QTest::newRow("empty") << QString() << true << false;
        QTest::newRow("mistyped") << QStringLiteral("7654321") << true << false;
    }
    void pinAuthorization()
    {
        QFETCH(QString, pin);
        QFETCH(bool, ok);
        QFETCH(bool, authorized);
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        DesktopHooks desktop;
        desktop.answers.append({pin, ok});

        auto account = std::make_unique<TwitClient>();
        QSignalSpy spy(account.get(), &TwitClient::setUserNameID);

        QCOMPARE(desktop.titles, QStringList{QStringLiteral("FENK - PIN")});
        QCOMPARE(desktop.labels, QStringList{QStringLiteral("Please, enter your PIN-code:")});
        QCOMPARE(desktop.urls.size(), 1);
        QCOMPARE(desktop.urls.first().toString(),
                 QStringLiteral("https://%1/oauth/authorize?oauth_token=RT-1").arg(fake.host()));

        const QSettings store;
        if (authorized) {
            QVERIFY(spy.wait(10000));
            QCOMPARE(spy.first(),
                     (QVariantList{QStringLiteral("dj_fenk"), QStringLiteral("4242")}));
            QCOMPARE(store.value(keyName).toString(), QStringLiteral("4242-AccessToken"));
            QCOMPARE(store.value(secretName).toString(), QStringLiteral("AccessSecret"));
            QCOMPARE(paths(fake.requests()), (QStringList{QStringLiteral("/oauth/request_token"),
                                                          QStringLiteral("/oauth/access_token"),
                                                          QStringLiteral("/1.1/users/show.json")}));
            QCOMPARE(text(fake.requests().last(), "query"), QStringLiteral("screen_name=dj_fenk"));
        } else {
            // The start-up check still runs, with a client the service refuses.
            const QString check = QStringLiteral("/1.1/account/verify_credentials.json");
            QVERIFY(fake.waitForRequests(pin == QLatin1String("7654321") ? 3 : 2));
            QCOMPARE(paths(fake.requests()).last(), check);
            QCOMPARE(fake.requests().last().value(QStringLiteral("status")).toInt(), 401);
            QTest::qWait(100);
            QCOMPARE(spy.count(), 0);
            QVERIFY(!store.contains(keyName));
            QVERIFY(!store.contains(secretName));
        }
        for (const QJsonObject& r : fake.requests())
            if (text(r, "path") != QLatin1String("/1.1/account/verify_credentials.json"))
                QVERIFY2(r.value(QStringLiteral("valid")).toBool(), qPrintable(text(r, "reason")));
        if (!authorized)
            return;

        // Posts go out with the new token...
        account->updateStatus(QStringLiteral("first post"));
        QVERIFY(fake.waitForRequests(4));
        QCOMPARE(text(fake.requests().last(), "status_text"), QStringLiteral("first post"));
        QVERIFY(fake.requests().last().value(QStringLiteral("valid")).toBool());
        QVERIFY(text(fake.requests().last(), "authorization")
                    .contains(QStringLiteral("oauth_token=\"4242-AccessToken\"")));
        QTRY_COMPARE(account->worker()->pendingJobs(), 0);
        account.reset();

        // ...and the next start uses the stored token without asking.
        TwitClient next;
        QSignalSpy nextSpy(&next, &TwitClient::setUserNameID);
        QCOMPARE(desktop.titles.size(), 1);
        QVERIFY(nextSpy.wait(10000));
        QCOMPARE(nextSpy.first(),
                 (QVariantList{QStringLiteral("dj_fenk"), QStringLiteral("4242")}));
        const QJsonObject check = fake.requests().last();
        QCOMPARE(text(check, "path"), QStringLiteral("/1.1/account/verify_credentials.json"));
        QVERIFY(check.value(QStringLiteral("valid")).toBool());
        QVERIFY(text(check, "authorization")
                    .contains(QStringLiteral("oauth_token=\"4242-AccessToken\"")));
    }

    void rejectedStoredToken()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        storeTokens(QStringLiteral("4242-Revoked"), QStringLiteral("x"));
        DesktopHooks desktop;
        TwitClient account;
        QSignalSpy spy(&account, &TwitClient::setUserNameID);
        QVERIFY(fake.waitForRequests(1));
        QTest::qWait(100);
        QCOMPARE(spy.count(), 0);
        QVERIFY(desktop.titles.isEmpty());
        QCOMPARE(QSettings().value(keyName).toString(), QStringLiteral("4242-Revoked"));
    }

    void unreachableService_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("dialogs");
        QTest::newRow("stored token") << true << 1;
        QTest::newRow("no token") << false << 2;
    }
    void unreachableService()
    {
        QFETCH(bool, stored);
        QFETCH(int, dialogs);
        useApiHost(QStringLiteral("127.0.0.1:%1").arg(closedPort()), ca());
        if (stored)
            storeTokens(storedToken, storedSecret);
        DesktopHooks desktop;
        TwitClient account;
        QCOMPARE(desktop.titles.size(), dialogs);
        QVERIFY(desktop.urls.isEmpty()); // no authorization page to open
        QCOMPARE(QSettings().value(keyName).toString(), stored ? storedToken : QString());
    }

    // Posts come in bursts (the start message and the first track); none may be lost.
    void postsArriveInOrder()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        storeTokens(storedToken, storedSecret);
        DesktopHooks desktop;
        DebugCapture debug;
        TwitClient account;
        QVERIFY(fake.waitForRequests(1));
        const QStringList statuses = {
            QStringLiteral("is starting to play from: Berlin #FENK"),
            QStringLiteral("is now playing ♫ Artist & Friends - Track"),
            QStringLiteral("100% pure + 50%20 off"),
            QStringLiteral("Grüße aus Köln, ça va? Ünïcödé"),
            QStringLiteral("emoji \U0001F3A7\U0001F525 and ♫"),
            QStringLiteral("a=b&c=d"),
            QStringLiteral("plain"),
            QStringLiteral("just finished playing from: Berlin #FENK"),
        };
        for (const QString& s : statuses)
            account.updateStatus(s);
        QVERIFY(fake.waitForRequests(1 + statuses.size(), 20000));
        const auto requests = fake.requests().mid(1);
        QSet<QString> nonces;
        for (int i = 0; i < statuses.size(); ++i) {
            QVERIFY2(requests[i].value(QStringLiteral("valid")).toBool(),
                     qPrintable(text(requests[i], "reason")));
            QCOMPARE(text(requests[i], "status_text"), statuses[i]);
            nonces.insert(text(requests[i], "nonce"));
        }
        QCOMPARE(nonces.size(), statuses.size());
        QTRY_COMPARE(account.worker()->pendingJobs(), 0);
        QVERIFY(debug.lines().contains(QStringLiteral("Twitter Status: 100% pure + 50%20 off")));
        QCOMPARE(debug.count(QStringLiteral("Twitter Status: ")), statuses.size());
        QCOMPARE(debug.count(QStringLiteral("Twitter status update failed.")), 0);
    }

    void failedPostsAreReported()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        storeTokens(storedToken, storedSecret);
        DesktopHooks desktop;
        DebugCapture debug;
        TwitClient account;
        account.updateStatus(QStringLiteral("same again"));
        account.updateStatus(QStringLiteral("same again"));
        account.updateStatus(QString());
        QTRY_COMPARE_WITH_TIMEOUT(debug.count(QStringLiteral("Twitter Status: ")), 3, 10000);
        QTRY_COMPARE(account.worker()->pendingJobs(), 0);
        const QStringList failed =
            debug.lines().filter(QStringLiteral("Twitter status update failed."));
        QCOMPARE(failed.size(), 2);
        QVERIFY2(failed[0].contains(QStringLiteral("403")), qPrintable(failed[0]));
        QVERIFY2(failed[0].contains(QStringLiteral("Status is a duplicate.")),
                 qPrintable(failed[0]));
        QVERIFY(failed[1].startsWith(QStringLiteral("Twitter status update failed.")));
        QCOMPARE(fake.requests().size(), 3); // check and two posts; the empty one is not sent
    }

    // Shutting down must neither wait for a silent server nor leave a thread behind.
    void destroyingTheWorkerWhileBusy()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake, {QStringLiteral("--hang"), QStringLiteral("30")}));
        DebugCapture debug;
        auto client = std::make_shared<twitCurl>();
        client->getSigner().setConsumerKey("Qw3ErTy7uIoP9aSdFgH2j");
        auto worker = std::make_unique<TwitThread>();
        worker->setTwitMsg(client, "one");
        worker->setTwitMsg(client, "two");
        worker->getUserInfo(client, "dj_fenk");
        QVERIFY(fake.waitForRequests(1));
        QCOMPARE(worker->pendingJobs(), 3);
        QElapsedTimer timer;
        timer.start();
        worker.reset();
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(fake.requests().size(), 1);
        QCOMPARE(debug.count(QStringLiteral("Twitter: 2 queued job(s) abandoned")), 1);
        QCOMPARE(client.use_count(), 1L);
    }

    // A job keeps its own client, even when the account moves on to a new one.
    void replacingTheClientDuringAJob()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        storeTokens(storedToken, storedSecret);
        DesktopHooks desktop;
        TwitClient account;
        QVERIFY(fake.waitForRequests(1));
        desktop.answers.append({QStringLiteral("1234567"), true});
        for (int i = 0; i < 4; ++i)
            account.updateStatus(QStringLiteral("before %1").arg(i));
        account.requestToken();
        account.updateStatus(QStringLiteral("after"));
        QVERIFY(fake.waitForRequests(9, 20000));
        QTRY_COMPARE(account.worker()->pendingJobs(), 0);
        QStringList withOldToken, withNewToken;
        for (const QJsonObject& r : fake.requests()) {
            QVERIFY2(r.value(QStringLiteral("valid")).toBool(), qPrintable(text(r, "reason")));
            if (text(r, "path") != QLatin1String("/1.1/statuses/update.json"))
                continue;
            const bool old = text(r, "authorization").contains(QStringLiteral("4242-Stored"));
            (old ? withOldToken : withNewToken).append(text(r, "status_text"));
        }
        QCOMPARE(withOldToken.size(), 4);
        QCOMPARE(withNewToken, QStringList{QStringLiteral("after")});
    }
};

FENK_TEST_GUILESS_MAIN(TestTwitClient)
#include "tst_twitclient.moc"
