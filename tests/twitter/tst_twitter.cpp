#include "desktophooks.h"
#include "faketwitter.h"
#include "logcapture.h"
#include "oauth.h"
#include "peers.h"
#include "testhome.h"
#include "twitclient.h"
#include "twitcurl.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

const QString storedKey = "4242-Stored", storedSecret = "StoredSecret";

void storeToken(const QString& key)
{
    QSettings().setValue("oAuth/OAuthAccessTokenKey", key);
    QSettings().setValue("oAuth/OAuthAccessTokenSecret", storedSecret);
}

} // namespace

// The signer on published vectors, and the REST client and the account against a
// local HTTPS fake of the API that checks every signature with its own code.
class TestTwitter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    FakeTwitter m_fake;

    std::unique_ptr<twitCurl> client(const QString& ca = "ca.pem", const QString& host = {})
    {
        twitCurl::Options o{(host.isEmpty() ? m_fake.host() : host).toUtf8(),
                            ca.isEmpty() ? QString("") : m_certs.path() + '/' + ca,
                            std::chrono::milliseconds(2000), std::chrono::milliseconds(3000)};
        auto c = std::make_unique<twitCurl>(o);
        c->getSigner().setConsumerKey(FakeTwitter::consumerKey);
        c->getSigner().setConsumerSecret(FakeTwitter::consumerSecret);
        c->getSigner().setTokenKey(storedKey.toUtf8());
        c->getSigner().setTokenSecret(storedSecret.toUtf8());
        return c;
    }

    // The texts the fake accepted; it accepts only properly signed requests.
    QStringList posted()
    {
        QStringList texts;
        for (const QJsonObject& r : m_fake.requests())
            if (r["status"].toInt() / 100 == 2 && r.contains("status_text"))
                texts << r["status_text"].toString();
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(m_fake.makeCertificates(m_certs.path()));
        QVERIFY(m_fake.start(
            m_certs.path(), "server",
            {"--lifetime", "600", "--access-token", storedKey, "--access-secret", storedSecret}));
    }

    void init()
    {
        QSettings().clear();
        useApiHost(m_fake.host(), m_certs.path() + "/ca.pem");
    }

    // RFC 5849 3.4.1's base string (repeated names, "+" in the body, a name without "=",
    // encoded query values), by its signature; order by name then value; 1.2.
    void signatureVectors_data()
    {
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("protocol");
        QTest::addColumn<QByteArray>("secrets");
        QTest::addColumn<QByteArray>("expected"); // the base, or the signature ("=" at the end)
        QTest::newRow("rfc5849 base string")
            << QByteArray("http://example.com/request?b5=%3D%253D&a3=a&c%40=&a2=r%20b")
            << QByteArray("c2&a3=2+q")
            << QByteArray("oauth_consumer_key=9djdj82h48djs9d2&oauth_token=kkk9d7dh3k39sjv7&"
                          "oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131201&oauth_nonce="
                          "7d8f3e4a")
            << QByteArray("j49sk3j29djd&dh893hdasih9")
            << QByteArray("r6/TJjbCOr97/+UU0NsvSne7s5g=");
        QTest::newRow("by name, then value")
            << QByteArray("https://h/p?a-b=1&a=2&a=1") << QByteArray()
            << QByteArray("oauth_nonce=n") << QByteArray("&")
            << QByteArray("GET&https%3A%2F%2Fh%2Fp&a%3D1%26a%3D2%26a-b%3D1%26oauth_nonce%3Dn");
        QTest::newRow("rfc5849 1.2")
            << QByteArray("http://photos.example.net/photos?file=vacation.jpg&size=original")
            << QByteArray()
            << QByteArray(
                   "oauth_consumer_key=dpf43f3p2l4k3l03&oauth_token=nnch734d00sl2jdk&"
                   "oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131202&oauth_nonce=chapoH")
            << QByteArray("kd94hf93k423kf44&pfkkdhi9sl3r4s00")
            << QByteArray("MdpQcU8iPSUjWoN/UDMsK2sui9I=");
    }
    void signatureVectors()
    {
        QFETCH(QByteArray, protocol);
        QFETCH(QByteArray, secrets);
        QFETCH(QByteArray, expected);
        oAuth::ParameterMap pairs;
        for (const QByteArray& pair : protocol.split('&'))
            pairs.emplace(pair.left(pair.indexOf('=')), pair.mid(pair.indexOf('=') + 1));
        QFETCH(QByteArray, url);
        QFETCH(QByteArray, body);
        const QByteArray base =
            oAuth::signatureBase(body.isEmpty() ? oAuth::GET : oAuth::POST, url, body, pairs);
        const QList<QByteArray> secret = secrets.split('&');
        QCOMPARE(expected.endsWith('=') ? oAuth::sign(base, secret[0], secret[1]) : base, expected);
    }

    // The service's published example, as the whole header line.
    void headerForm()
    {
        oAuth signer;
        signer.setConsumerKey("xvz1evFS4wEEPTGEFPHBog");
        signer.setConsumerSecret("kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw");
        signer.setTokenKey("370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb");
        signer.setTokenSecret("LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE");
        signer.setPin("ignored");
        QCOMPARE(signer.authHeader(
                     oAuth::POST,
                     "https://api.twitter.com/1.1/statuses/update.json?include_entities=true",
                     "status=Hello%20Ladies%20%2b%20Gentlemen%2c%20a%20signed%20OAuth%20request%21",
                     false, "kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg", "1318622958"),
                 QByteArray("Authorization: OAuth oauth_consumer_key=\"xvz1evFS4wEEPTGEFPHBog\","
                            "oauth_nonce=\"kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg\","
                            "oauth_signature=\"hCtSmYh%2BiHYCEqBWrE7C7hYmtUk%3D\","
                            "oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp=\"1318622958\","
                            "oauth_token=\"370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb\","
                            "oauth_version=\"1.0\""));
        QCOMPARE(oAuth::percentEncode("a b~*\xc3\xa9!'()"),
                 QByteArray("a%20b~%2A%C3%A9%21%27%28%29"));
    }

    // Token replies come from the network: only values that can be real are taken.
    void tokenReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("taken"); // token, screen name, user ID
        QTest::newRow("access reply")
            << QByteArray("oauth_token=1-T&oauth_token_secret=S&user_id=42&screen_name=dj_x")
            << QByteArray("1-T dj_x 42");
        QTest::newRow("header injection")
            << QByteArray("oauth_token=a%22%2Cb&screen_name=a%0Ab&user_id=4x")
            << QByteArray("old old ");
        QTest::newRow("name too long")
            << QByteArray("screen_name=abcdefghijklmnop&oauth_token=") << QByteArray("old old ");
    }
    void tokenReply()
    {
        QFETCH(QByteArray, reply);
        oAuth signer;
        signer.setTokenKey("old");
        signer.takeTokenReply("screen_name=old");
        QVERIFY(signer.takeTokenReply(reply));
        QTEST(signer.getTokenKey() + ' ' + signer.getScreenName() + ' ' + signer.getUserId(),
              "taken");
    }

    // A text that needs encoding as a form and as JSON, and a query, signed as the fake
    // checks on both APIs.
    void signedRequests()
    {
        const QString text = "a&b c=d+e%20% Café ♫ \"q\" 😀";
        QVERIFY(m_fake.configure());
        const auto c = client();
        QVERIFY(c->postStatus(text.toUtf8(), "1") && c->getLastHttpStatus() == 200);
        QVERIFY(c->postTweet(text.toUtf8() + " 2") && c->getLastHttpStatus() == 201);
        QVERIFY(c->showUser("dj_fenk", false) && c->getLastHttpStatus() == 200);
        QVERIFY(c->fetchMe() && c->getLastHttpStatus() == 200);
        QCOMPARE(posted(), (QStringList{text, text + " 2"}));
        QVERIFY(!c->postStatus("", ""));
    }

    // The token goes to verified peers only; a broken peer can neither hold nor
    // flood the client.
    void transferFails_data()
    {
        QTest::addColumn<QJsonObject>("fake");
        QTest::addColumn<QString>("ca");
        QTest::addColumn<QString>("host");
        QTest::newRow("unknown authority") << QJsonObject() << "other-ca.pem" << QString();
        QTest::newRow("system store only") << QJsonObject() << QString() << QString();
        QTest::newRow("wrong host name")
            << QJsonObject() << "ca.pem" << m_fake.host().replace("127.0.0.1", "localhost");
        QTest::newRow("silent server") << QJsonObject{{"hang", 60}} << "ca.pem" << QString();
        QTest::newRow("oversized reply") << QJsonObject{{"pad", 1100000}} << "ca.pem" << QString();
    }
    void transferFails()
    {
        QFETCH(QJsonObject, fake);
        QFETCH(QString, ca);
        QFETCH(QString, host);
        QVERIFY(m_fake.configure(fake));
        const QDeadlineTimer deadline(10000);
        QVERIFY(!client(ca, host)->verifyCredentials());
        QVERIFY(!deadline.hasExpired());
        QCOMPARE(m_fake.requests().isEmpty(), fake.isEmpty());
    }

    // The account against the fake: the API it ends up on, what it posts, in which
    // order, the state it shows and what it logs.
    void account_data()
    {
        QTest::addColumn<QJsonObject>("fake");
        QTest::addColumn<QString>("token");     // stored; empty: authorize with a PIN
        QTest::addColumn<QString>("pin");       // the dialog's answer; empty: cancel
        QTest::addColumn<QStringList>("posts"); // "np:" marks a now-playing post
        QTest::addColumn<QStringList>("expectedPosts");
        QTest::addColumn<QString>("finalState");
        QTest::addColumn<QString>("logged");
        const auto row = [](const char* name, const QJsonObject& fake, const QString& token,
                            const QString& pin, const QString& posts, const QString& expected,
                            const QString& state, const QString& logged) {
            QTest::newRow(name) << fake << token << pin << posts.split(' ', Qt::SkipEmptyParts)
                                << expected.split(' ', Qt::SkipEmptyParts) << state << logged;
        };
        const QJsonObject v2only{{"v2_only", true}}, none;
        const QString no = "not authorized \u2014 request a new token in Preferences";
        row("v2 only", v2only, storedKey, "", "start np:one np:two", "start np:one np:two",
            "@dj_fenk", "may only use the v2 API");
        row("pin, v2 only", v2only, "", "1234567", "np:one", "np:one", "@dj_fenk", "");
        row("rate limit drops stale tracks", {{"post_limit", 1}, {"reset_in", 2}}, storedKey, "",
            "start np:a np:b stop np:c np:d", "start np:b stop np:d", "@dj_fenk",
            "dropped the waiting post \"np:c\"");
        row("pause capped at a day", {{"post_limit", 0}, {"reset_in", 3 * 86400}}, storedKey, "",
            "np:x", "", "posting paused", "posting paused until %tomorrowT");
        row("forced v1.1 kept on 453", {{"v2_only", true}, {"api", "v1.1"}}, storedKey, "", "np:x",
            "", "last post failed \u2014 HTTP 403: You currently",
            "now playing post failed: \"np:x\" (HTTP 403");
        row("duplicate", v2only, storedKey, "", "np:x np:x", "np:x",
            "last post failed \u2014 HTTP 403: You are not allowed to create a Tweet with "
            "duplicate content.",
            "Twitter: now playing post failed: \"np:x\" (HTTP 403");
        row("rejected token", none, "4242-Unknown", "", "np:x", "", no,
            "the stored token was rejected (HTTP 401)");
        row("refused request token", {{"refuse_request_token", true}}, "", "1234567", "", "", no,
            "request token failed: request token refused, HTTP 401");
        row("mistyped pin, then the right one", none, "", "7654321 1234567", "np:y", "np:y",
            "@dj_fenk", "access token failed: access token refused, HTTP 401");
        row("pin cancelled", none, "", "", "", "", no, "");
        row("unreachable, dialog after the check", {{"unreachable", true}}, storedKey, "", "", "",
            "not reachable \u2014 ", "Twitter: cannot check the account: ");
        // Weighted as the service counts: 3 + 8 + 45 * (2 + 2 + 2) + 1 + 23 for the URL.
        row("too long", none, storedKey, "",
            "np:Café_♫_" + QString("日本😀").repeated(45) + "_https://x.io/very/long/path?q=1", "",
            "last post failed \u2014 HTTP 403: Your Tweet text is too long. (305 weighted "
            "characters, the limit is 280)",
            "(305 weighted characters, the limit is 280)");
    }
    void account()
    {
        QFETCH(QJsonObject, fake);
        QFETCH(QString, token);
        QFETCH(QString, pin);
        QFETCH(QStringList, posts);
        QFETCH(QStringList, expectedPosts);
        QFETCH(QString, finalState);
        QFETCH(QString, logged);
        logged.replace("%tomorrow", QDate::currentDate().addDays(1).toString(Qt::ISODate));
        QVERIFY(m_fake.configure(fake));
        QSettings().setValue("advanced/TwitterApi", fake.value("api").toString());
        storeToken(token);
        if (fake.contains("unreachable"))
            useApiHost("127.0.0.1:1", QString());
        DesktopHooks desktop;
        desktop.pins << pin.split(' ');
        const LogCapture log;
        QStringList states;
        {
            TwitClient account;
            connect(&account, &TwitClient::accountStateChanged,
                    [&](QString s, QString detail) { states << s + " \u2014 " + detail; });
            for (const QString& post : posts)
                account.updateStatus(post, post.startsWith("np:") ? TwitClient::PostKind::NowPlaying
                                                                  : TwitClient::PostKind::Other);
            QTRY_COMPARE_WITH_TIMEOUT(posted(), expectedPosts, 15000);
            QTRY_VERIFY2_WITH_TIMEOUT(account.accountState().startsWith(finalState),
                                      qPrintable(account.accountState()), 15000);
            QTRY_COMPARE(desktop.shown, token.isEmpty() || fake.contains("unreachable")
                                            ? desktop.texts.filter("did not accept").size() + 1
                                            : 0);
        }
        QVERIFY2(log.text().contains(logged), qPrintable(log.text()));
        const bool pageShown = !desktop.texts.filter("/oauth/authorize?oauth_token=RT-").isEmpty();
        QCOMPARE(pageShown, token.isEmpty() && !fake.contains("refuse_request_token"));
        const QString newKey = finalState == "@dj_fenk" ? "4242-AccessToken" : "";
        QCOMPARE(QSettings().value("oAuth/OAuthAccessTokenKey").toString(),
                 token.isEmpty() ? newKey : token);
        QCOMPARE(desktop.texts.filter("did not accept that PIN").size(), pin.count(' '));
        QCOMPARE(desktop.texts.filter("FENK works without posting").size(), desktop.shown);
        const QRegularExpression paused(R"(^posting paused — until \d\d:\d\d \(rate limit\)$)");
        QCOMPARE(states.filter(paused).isEmpty(), !fake.contains("post_limit"));
        // Every post was sent, dropped for a newer one, told as failed or abandoned at the end.
        QCOMPARE(log.text().count(QRegularExpression(
                     " post failed: \"|dropped the waiting post| abandoned at shutdown")),
                 posts.size() - expectedPosts.size());
        QCOMPARE(QSettings().value("twitter/ApiVersion").toString(),
                 fake.contains("v2_only") && !fake.contains("api") ? "2" : "");
    }

    // The real program ends within 2 s of SIGTERM while a transfer hangs: the
    // start-up check on the worker, or the request-token step before the window.
    void fenkQuitsDuringHangingTransfer_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("start-up check") << storedKey;
        QTest::newRow("request token") << QString();
    }
    void fenkQuitsDuringHangingTransfer()
    {
        QFETCH(QString, token);
        QVERIFY(m_fake.configure({{"hang", 60}}));
        storeToken(token);
        QSettings store;
        store.setValue("icecast/Port", 0);
        store.setValue("ableton/Port", 0);
        store.sync();
        QProcess fenk;
        fenk.start(FENK_BINARY_DIR "/fenk", QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(!m_fake.requests().isEmpty(), 20000);
        fenk.terminate();
        QVERIFY2(fenk.waitForFinished(2000), "still running 2 s after SIGTERM");
        QCOMPARE(fenk.exitStatus(), QProcess::NormalExit);
    }
};

FENK_TEST_MAIN(TestTwitter)
#include "tst_twitter.moc"
