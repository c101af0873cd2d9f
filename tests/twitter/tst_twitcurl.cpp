#include "faketwitter.h"
#include "peers.h"
#include "testhome.h"
#include "twitcurl.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QByteArray consumerKey = "Qw3ErTy7uIoP9aSdFgH2j";
const QByteArray consumerSecret = "Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm";
const QByteArray accessToken = "4242-Stored";
const QByteArray accessSecret = "StoredSecret";

QString text(const QJsonObject& o, const char* name)
{
    return o.value(QLatin1String(name)).toString();
}

} // namespace

// The REST client against the local HTTPS fake, which checks every signature.
class TestTwitCurl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    QString ca() const { return m_certs.path() + QStringLiteral("/ca.pem"); }

    std::unique_ptr<twitCurl> client(bool withToken = true)
    {
        auto c = std::make_unique<twitCurl>();
        c->getSigner().setConsumerKey(consumerKey);
        c->getSigner().setConsumerSecret(consumerSecret);
        if (withToken) {
            c->getSigner().setTokenKey(accessToken);
            c->getSigner().setTokenSecret(accessSecret);
        }
        return c;
    }

    bool startFake(FakeTwitter& fake, const QString& cert = QStringLiteral("server"),
                   QStringList extra = {})
    {
        extra << QStringLiteral("--access-token") << QString::fromLatin1(accessToken)
              << QStringLiteral("--access-secret") << QString::fromLatin1(accessSecret);
        return fake.start(m_certs.path(), cert, extra);
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(m_certs.isValid());
        QVERIFY(FakeTwitter::makeCertificates(m_certs.path()));
    }

    void verifyCredentials()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client();
        QVERIFY(c->verifyCredentials());
        QCOMPARE(c->getLastHttpStatus(), 200L);
        QVERIFY(c->getLastReply().contains("\"screen_name\": \"dj_fenk\""));
        // The same handle again: the connection and options carry over.
        QVERIFY(c->verifyCredentials());
        QVERIFY(fake.waitForRequests(2));
        for (const QJsonObject& r : fake.requests()) {
            QVERIFY2(r.value(QStringLiteral("valid")).toBool(), qPrintable(text(r, "reason")));
            QCOMPARE(text(r, "path"), QStringLiteral("/1.1/account/verify_credentials.json"));
        }
    }

    // An HTTP error is a completed transfer; the caller reads the body.
    void rejectedTokenIsACompletedTransfer()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client();
        c->getSigner().setTokenKey("4242-Revoked");
        QVERIFY(c->verifyCredentials());
        QCOMPARE(c->getLastHttpStatus(), 401L);
        QVERIFY(c->getLastReply().contains("Invalid or expired token."));
    }

    // The body is encoded once, its signature base once more; the fake checks the latter.
    void postStatusBody()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client();
        QVERIFY(c->postStatus("a&b c", QByteArray()));
        QCOMPARE(c->getLastHttpStatus(), 200L);
        QVERIFY(fake.waitForRequests(1));
        const QJsonObject r = fake.requests().first();
        QVERIFY2(r.value(QStringLiteral("valid")).toBool(), qPrintable(text(r, "reason")));
        QCOMPARE(text(r, "method"), QStringLiteral("POST"));
        QCOMPARE(text(r, "body"), QStringLiteral("status=a%26b%20c"));
        QCOMPARE(text(r, "status_text"), QStringLiteral("a&b c"));
        QVERIFY(!text(r, "authorization").contains(QStringLiteral("status")));
    }

    void emptyStatusSendsNothing()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client();
        QVERIFY(!c->postStatus(QByteArray(), QByteArray()));
        QVERIFY(!c->showUser(QByteArray(), false));
        QVERIFY(c->verifyCredentials()); // a sentinel: the only request the fake saw
        QVERIFY(fake.waitForRequests(1));
        QCOMPARE(fake.requests().size(), 1);
        QCOMPARE(text(fake.requests().first(), "path"),
                 QStringLiteral("/1.1/account/verify_credentials.json"));
    }

    void showUserQueryIsSigned()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client();
        QVERIFY(c->showUser("Some_User", false));
        QCOMPARE(c->getLastHttpStatus(), 200L);
        QVERIFY(fake.waitForRequests(1));
        const QJsonObject r = fake.requests().first();
        QVERIFY2(r.value(QStringLiteral("valid")).toBool(), qPrintable(text(r, "reason")));
        QCOMPARE(text(r, "path"), QStringLiteral("/1.1/users/show.json"));
        QCOMPARE(text(r, "query"), QStringLiteral("screen_name=Some_User"));
        QVERIFY(!text(r, "authorization").contains(QStringLiteral("screen_name")));
    }

    void tokenSteps_data()
    {
        QTest::addColumn<QByteArray>("pin");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right pin") << QByteArray("1234567") << true;
        QTest::newRow("mistyped pin") << QByteArray("7654321") << false;
    }
    void tokenSteps()
    {
        QFETCH(QByteArray, pin);
        QFETCH(bool, accepted);
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        useApiHost(fake.host(), ca());
        auto c = client(false);
        QByteArray authUrl = "stale";
        QVERIFY(c->fetchRequestToken(authUrl));
        QCOMPARE(authUrl,
                 "https://" + fake.host().toLatin1() + "/oauth/authorize?oauth_token=RT-1");
        QCOMPARE(c->getSigner().getTokenKey(), QByteArray("RT-1"));
        QCOMPARE(c->getSigner().getTokenSecret(), QByteArray("RS-1"));

        c->getSigner().setPin(pin);
        QCOMPARE(c->fetchAccessToken(), accepted);
        if (accepted) {
            QCOMPARE(c->getSigner().getTokenKey(), QByteArray("4242-AccessToken"));
            QCOMPARE(c->getSigner().getTokenSecret(), QByteArray("AccessSecret"));
            QCOMPARE(c->getSigner().getScreenName(), QByteArray("dj_fenk"));
        } else {
            // The error reply must not turn the request token into the account's token.
            QCOMPARE(c->getLastHttpStatus(), 401L);
            QCOMPARE(c->getSigner().getTokenKey(), QByteArray("RT-1"));
            QCOMPARE(c->getSigner().getScreenName(), QByteArray());
        }
        QVERIFY(fake.waitForRequests(2));
        const auto requests = fake.requests();
        QCOMPARE(text(requests[0], "path"), QStringLiteral("/oauth/request_token"));
        QVERIFY(requests[0].value(QStringLiteral("valid")).toBool());
        QVERIFY(!text(requests[0], "authorization").contains(QStringLiteral("oauth_token=")));
        QVERIFY(!text(requests[0], "authorization").contains(QStringLiteral("oauth_callback")));
        QCOMPARE(text(requests[1], "path"), QStringLiteral("/oauth/access_token"));
        QVERIFY2(requests[1].value(QStringLiteral("valid")).toBool(),
                 qPrintable(text(requests[1], "reason")));
        QVERIFY(text(requests[1], "authorization")
                    .contains(QStringLiteral("oauth_verifier=\"") + QString::fromLatin1(pin)));
    }

    // The peer must prove who it is before the token leaves the machine.
    void untrustedServersGetNothing_data()
    {
        QTest::addColumn<QString>("serverCert");
        QTest::addColumn<QString>("trustedCa");
        QTest::addColumn<QString>("sentinelCa");
        QTest::newRow("unknown authority")
            << QStringLiteral("untrusted") << QStringLiteral("ca.pem")
            << QStringLiteral("other-ca.pem");
        QTest::newRow("system store only")
            << QStringLiteral("server") << QString() << QStringLiteral("ca.pem");
        QTest::newRow("wrong host name")
            << QStringLiteral("wronghost") << QStringLiteral("ca.pem") << QString();
    }
    void untrustedServersGetNothing()
    {
        QFETCH(QString, serverCert);
        QFETCH(QString, trustedCa);
        QFETCH(QString, sentinelCa);
        FakeTwitter fake;
        QVERIFY(startFake(fake, serverCert));
        useApiHost(fake.host(),
                   trustedCa.isEmpty() ? QString() : m_certs.path() + QLatin1Char('/') + trustedCa);
        auto c = client();
        QVERIFY(!c->postStatus("secret plans", QByteArray()));
        QCOMPARE(c->getLastHttpStatus(), 0L);
        QVERIFY(!c->getLastCurlError().isEmpty());
        if (!sentinelCa.isEmpty()) {
            QVERIFY(fake.waitForEvents(1));
            QCOMPARE(text(fake.events().first(), "event"), QStringLiteral("tls-failed"));
            // A client that does trust the server gets through, and its request is
            // the first and only one the server saw.
            useApiHost(fake.host(), m_certs.path() + QLatin1Char('/') + sentinelCa);
            auto trusting = client();
            QVERIFY(trusting->verifyCredentials());
            QVERIFY(fake.waitForRequests(1));
        } else {
            // The host name check fails after the handshake; give a request that was
            // (wrongly) sent the time to show up in the fake's log.
            QTest::qWait(300);
        }
        QVERIFY(fake.requests().size() <= 1);
        for (const QJsonObject& r : fake.requests())
            QCOMPARE(text(r, "path"), QStringLiteral("/1.1/account/verify_credentials.json"));
    }

    void silentServerTimesOut()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake, QStringLiteral("server"),
                          {QStringLiteral("--hang"), QStringLiteral("20")}));
        useApiHost(fake.host(), ca());
        auto c = client();
        c->setTimeouts(1000ms, 1500ms);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!c->postStatus("hello", QByteArray()));
        QVERIFY(timer.elapsed() < 8000);
        QVERIFY(timer.elapsed() >= 1000);
        QVERIFY2(c->getLastCurlError().contains("timed out"), c->getLastCurlError().constData());
        QVERIFY(fake.waitForRequests(1)); // it did get the request, it just never answered
    }

    // A peer that accepts the connection but never answers the handshake.
    void silentHandshakeTimesOut()
    {
        QTcpServer mute;
        QVERIFY(mute.listen(QHostAddress::LocalHost, 0));
        useApiHost(QStringLiteral("127.0.0.1:%1").arg(mute.serverPort()), ca());
        auto c = client();
        c->setTimeouts(700ms, 5000ms);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!c->verifyCredentials());
        QVERIFY(timer.elapsed() < 4000);
        QVERIFY2(c->getLastCurlError().toLower().contains("timeout"),
                 c->getLastCurlError().constData());
    }

    // A reply far beyond any real one ends the transfer instead of filling the memory.
    void oversizedReplyIsRefused()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake, QStringLiteral("server"),
                          {QStringLiteral("--pad"), QStringLiteral("2000000")}));
        useApiHost(fake.host(), ca());
        auto c = client();
        QVERIFY(!c->verifyCredentials());
        QVERIFY(c->getLastReply().size() <= 1024 * 1024);
    }
};

FENK_TEST_GUILESS_MAIN(TestTwitCurl)
#include "tst_twitcurl.moc"
