#include "desktophooks.h"
#include "faketwitter.h"
#include "logcapture.h"
#include "maindlg.h"
#include "oauth.h"
#include "peers.h"
#include "testhome.h"
#include "twitclient.h"
#include "twitcurl.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const QString storedKey = QStringLiteral("4242-Stored");
const QString storedSecret = QStringLiteral("StoredSecret");

QString field(const QJsonObject& o, const char* name)
{
    return o.value(QLatin1String(name)).toString();
}

void storeToken(const QString& key)
{
    QSettings store;
    store.setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"), key);
    store.setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"), storedSecret);
}

// The failure text of a post goes to the debug output only: count it there.
std::atomic<int> failedPostLines{0};
QtMessageHandler previousHandler = nullptr;
void countFailedPosts(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text == QLatin1String("Twitter status update failed."))
        ++failedPostLines;
    else if (previousHandler)
        previousHandler(type, context, text);
}

oAuth::ParameterMap pairs(const QByteArray& text)
{
    oAuth::ParameterMap map;
    for (const QByteArray& pair : text.split('&'))
        map.emplace(pair.left(pair.indexOf('=')), pair.mid(pair.indexOf('=') + 1));
    return map;
}

} // namespace

// The signer on published vectors, and the REST client and the account against a
// local HTTPS fake of the API that checks every signature with its own code.
class TestTwitter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    FakeTwitter m_fake;

    std::shared_ptr<twitCurl> client(twitCurl::Options options = {})
    {
        if (options.extraCaFile.isNull()) {
            options.apiHost = m_fake.host().toUtf8();
            options.extraCaFile = m_certs.path() + QStringLiteral("/ca.pem");
        }
        auto c = std::make_shared<twitCurl>(options);
        c->getSigner().setConsumerKey("Qw3ErTy7uIoP9aSdFgH2j");
        c->getSigner().setConsumerSecret("Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm");
        c->getSigner().setTokenKey(storedKey.toUtf8());
        c->getSigner().setTokenSecret(storedSecret.toUtf8());
        return c;
    }

    void checkAllSigned()
    {
        for (const QJsonObject& r : m_fake.requests())
            QVERIFY2(r.value(QStringLiteral("valid")).toBool(),
                     qPrintable(field(r, "path") + QLatin1Char(' ') + field(r, "reason")));
    }

    QStringList posted()
    {
        QStringList texts;
        for (const QJsonObject& r : m_fake.requests())
            if (r.value(QStringLiteral("status")).toInt() / 100 == 2 && r.contains("status_text"))
                texts << field(r, "status_text");
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        previousHandler = qInstallMessageHandler(countFailedPosts);
        QVERIFY(FakeTwitter::makeCertificates(m_certs.path()));
        QVERIFY(m_fake.start(m_certs.path(), QStringLiteral("server"),
                             {QStringLiteral("--lifetime"), QStringLiteral("600")}));
    }

    void init()
    {
        QSettings().clear();
        useApiHost(m_fake.host(), m_certs.path() + QStringLiteral("/ca.pem"));
    }

    void signatureVectors_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("protocol");
        QTest::addColumn<QByteArray>("secrets");
        QTest::addColumn<QByteArray>("expectedBase");
        QTest::addColumn<QByteArray>("signature");
        // RFC 5849 3.4.1.1 and 3.4.1.3.2: repeated names, "+" in the body, a name
        // without "=", encoded query values, order by name then value.
        QTest::newRow("rfc5849 base string")
            << int(oAuth::POST)
            << QByteArray("http://example.com/request?b5=%3D%253D&a3=a&c%40=&a2=r%20b")
            << QByteArray("c2&a3=2+q")
            << QByteArray("oauth_consumer_key=9djdj82h48djs9d2&oauth_token=kkk9d7dh3k39sjv7&"
                          "oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131201&"
                          "oauth_nonce=7d8f3e4a")
            << QByteArray("j49sk3j29djd&dh893hdasih9")
            << QByteArray("POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q"
                          "%26a3%3Da%26b5%3D%253D%25253D%26c%2540%3D%26c2%3D%26oauth_consumer_"
                          "key%3D9djdj82h48djs9d2%26oauth_nonce%3D7d8f3e4a%26oauth_signature_"
                          "method%3DHMAC-SHA1%26oauth_timestamp%3D137131201%26oauth_token%3Dkk"
                          "k9d7dh3k39sjv7")
            << QByteArray();
        QTest::newRow("by name, then value")
            << int(oAuth::GET) << QByteArray("https://h/p?a-b=1&a=2&a=1") << QByteArray()
            << QByteArray("oauth_nonce=n") << QByteArray("&")
            << QByteArray("GET&https%3A%2F%2Fh%2Fp&a%3D1%26a%3D2%26a-b%3D1%26oauth_nonce%3Dn")
            << QByteArray();
        QTest::newRow("rfc5849 1.2")
            << int(oAuth::GET)
            << QByteArray("http://photos.example.net/photos?file=vacation.jpg&size=original")
            << QByteArray()
            << QByteArray("oauth_consumer_key=dpf43f3p2l4k3l03&oauth_token=nnch734d00sl2jdk&"
                          "oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131202&"
                          "oauth_nonce=chapoH")
            << QByteArray("kd94hf93k423kf44&pfkkdhi9sl3r4s00") << QByteArray()
            << QByteArray("MdpQcU8iPSUjWoN/UDMsK2sui9I=");
    }
    void signatureVectors()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, url);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, protocol);
        QFETCH(QByteArray, secrets);
        QFETCH(QByteArray, expectedBase);
        QFETCH(QByteArray, signature);
        const QByteArray base =
            oAuth::signatureBase(oAuth::RequestKind(kind), url, body, pairs(protocol));
        if (!expectedBase.isEmpty())
            QCOMPARE(base, expectedBase);
        if (!signature.isEmpty())
            QCOMPARE(oAuth::sign(base, secrets.split('&')[0], secrets.split('&')[1]), signature);
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

    // Token replies are form-encoded and come from the network: only values that
    // can be real are taken.
    void tokenReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("screenName");
        QTest::addColumn<QByteArray>("userId");
        QTest::newRow("access reply")
            << QByteArray("oauth_token=1-T&oauth_token_secret=S&user_id=42&screen_name=dj_x")
            << QByteArray("1-T") << QByteArray("dj_x") << QByteArray("42");
        QTest::newRow("header injection")
            << QByteArray("oauth_token=a%22%2Cb&screen_name=a%0Ab&user_id=4x") << QByteArray("old")
            << QByteArray("old") << QByteArray();
        QTest::newRow("name too long") << QByteArray("screen_name=abcdefghijklmnop&oauth_token=")
                                       << QByteArray("old") << QByteArray("old") << QByteArray();
    }
    void tokenReply()
    {
        QFETCH(QByteArray, reply);
        oAuth signer;
        signer.setTokenKey("old");
        signer.takeTokenReply("screen_name=old");
        QVERIFY(signer.takeTokenReply(reply));
        QTEST(signer.getTokenKey(), "token");
        QTEST(signer.getScreenName(), "screenName");
        QTEST(signer.getUserId(), "userId");
    }

    // Texts that need encoding, signed correctly on both APIs, as the fake checks.
    void signedRequests_data()
    {
        QTest::addColumn<bool>("v2");
        QTest::addColumn<QString>("text");
        for (const bool v2 : {false, true}) {
            const char* api = v2 ? "v2 " : "v1.1 ";
            QTest::newRow(QByteArray(api + QByteArray("reserved")).constData())
                << v2 << QStringLiteral("a&b c=d+e%20%");
            QTest::newRow(QByteArray(api + QByteArray("unicode")).constData())
                << v2 << QStringLiteral("Café ♫ \"q\" 😀");
        }
    }
    void signedRequests()
    {
        QFETCH(bool, v2);
        QFETCH(QString, text);
        QVERIFY(m_fake.configure({{"access_token", storedKey}, {"access_secret", storedSecret}}));
        auto c = client();
        QVERIFY(v2 ? c->postTweet(text.toUtf8()) : c->postStatus(text.toUtf8(), "1"));
        QCOMPARE(c->getLastHttpStatus(), v2 ? 201L : 200L);
        QVERIFY(c->showUser("dj_fenk", false));
        QVERIFY(c->fetchMe());
        QCOMPARE(c->getLastHttpStatus(), 200L);
        QVERIFY(m_fake.waitForRequests(3));
        checkAllSigned();
        QCOMPARE(posted(), QStringList{text});
        QVERIFY(!c->postStatus("", ""));
    }

    // The access token goes to verified peers only, and a broken peer cannot hold
    // or flood the client.
    void transferFails_data()
    {
        QTest::addColumn<QJsonObject>("options");
        QTest::addColumn<QString>("host"); // "silent": a TCP peer that never speaks
        QTest::addColumn<QString>("ca");
        const QString fake = m_fake.host();
        QTest::newRow("unknown authority") << QJsonObject() << fake << "other-ca.pem";
        QTest::newRow("system store only") << QJsonObject() << fake << QString();
        QTest::newRow("wrong host name")
            << QJsonObject() << QStringLiteral("localhost:%1").arg(m_fake.port()) << "ca.pem";
        QTest::newRow("silent server") << QJsonObject{{"hang", 10}} << fake << "ca.pem";
        QTest::newRow("silent handshake") << QJsonObject() << "silent"
                                          << "ca.pem";
        QTest::newRow("oversized reply") << QJsonObject{{"pad", 1100000}} << fake << "ca.pem";
    }
    void transferFails()
    {
        QFETCH(QJsonObject, options);
        QFETCH(QString, host);
        QFETCH(QString, ca);
        options.insert("access_token", storedKey);
        options.insert("access_secret", storedSecret);
        QVERIFY(m_fake.configure(options));
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        twitCurl::Options o;
        o.apiHost =
            (host == "silent" ? QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()) : host)
                .toUtf8();
        o.extraCaFile = ca.isEmpty() ? QString("") : m_certs.path() + '/' + ca;
        o.connectTimeout = std::chrono::milliseconds(1000);
        o.totalTimeout = std::chrono::milliseconds(1500);
        const auto c = client(o);
        QVERIFY(!c->verifyCredentials());
        QVERIFY(!c->getLastCurlError().isEmpty());
        if (!options.contains("hang") && !options.contains("pad") && host != "silent")
            QVERIFY(m_fake.requests().isEmpty());
    }

    void weightedLength_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length");
        QTest::newRow("latin") << QStringLiteral("Café ♫") << 7;
        QTest::newRow("cjk and emoji") << QStringLiteral("日本😀") << 6;
        QTest::newRow("urls") << QStringLiteral("a https://x.io/very/long/path?q=1 http://b.c")
                              << 2 + 23 + 1 + 23;
    }
    void weightedLength()
    {
        QFETCH(QString, text);
        QTEST(TwitThread::weightedLength(text), "length");
    }

    // The account against the fake: the API it ends up on, what it posts, in which
    // order, and the state it shows.
    void account_data()
    {
        QTest::addColumn<QJsonObject>("options");
        QTest::addColumn<QString>("token");     // stored; empty: authorize with a PIN
        QTest::addColumn<QString>("pin");       // the dialog's answer; empty: cancel
        QTest::addColumn<QStringList>("posts"); // "np:" marks a now-playing post
        QTest::addColumn<QStringList>("expectedPosts");
        QTest::addColumn<QString>("finalState");
        QTest::addColumn<QString>("logged");
        const QJsonObject v2only{{"v2_only", true}};
        QTest::newRow("v2 only") << v2only << storedKey << QString()
                                 << QStringList{"start", "np:one", "np:two"}
                                 << QStringList{"start", "np:one", "np:two"} << "@dj_fenk"
                                 << "may only use the v2 API";
        QTest::newRow("pin, v2 only") << v2only << QString() << "1234567" << QStringList{"np:one"}
                                      << QStringList{"np:one"} << "@dj_fenk"
                                      << "";
        QTest::newRow("rate limit drops stale tracks")
            << QJsonObject{{"post_limit", 1}, {"reset_in", 2}} << storedKey << QString()
            << QStringList{"start", "np:a", "np:b", "stop", "np:c", "np:d"}
            << QStringList{"start", "np:b", "stop", "np:d"} << "@dj_fenk"
            << "dropped the waiting post \"np:c\"";
        QTest::newRow("duplicate")
            << v2only << storedKey << QString() << QStringList{"np:x", "np:x"}
            << QStringList{"np:x"}
            << "last post failed: HTTP 403: You are not allowed to create a Tweet with duplicate "
               "content."
            << "Twitter: post \"np:x\" failed: HTTP 403";
        QTest::newRow("rejected token")
            << QJsonObject() << "4242-Unknown" << QString() << QStringList{"np:x"} << QStringList()
            << "not authorized: request a new token in Preferences"
            << "the stored token was rejected (HTTP 401)";
        QTest::newRow("refused request token")
            << QJsonObject{{"refuse_request_token", true}} << QString() << "1234567"
            << QStringList() << QStringList()
            << "not authorized: request a new token in Preferences"
            << "request token failed: request token refused, HTTP 401";
        QTest::newRow("mistyped pin")
            << QJsonObject() << QString() << "7654321" << QStringList() << QStringList()
            << "not authorized: request a new token in Preferences"
            << "access token failed: access token refused, HTTP 401";
        QTest::newRow("pin cancelled")
            << QJsonObject() << QString() << QString() << QStringList() << QStringList()
            << "not authorized: request a new token in Preferences"
            << "";
        QTest::newRow("unreachable, dialog after the check")
            << QJsonObject{{"unreachable", true}} << storedKey << QString() << QStringList()
            << QStringList() << "Twitter not reachable: "
            << "Twitter: cannot check the account: ";
        const QString tooLong = "np:" + QString(300, 'x');
        QTest::newRow("too long") << QJsonObject() << storedKey << QString() << QStringList{tooLong}
                                  << QStringList()
                                  << "last post failed: HTTP 403: Your Tweet text is too long. "
                                     "(303 weighted characters, the limit is 280)"
                                  << "(303 weighted characters, the limit is 280)";
    }
    void account()
    {
        QFETCH(QJsonObject, options);
        QFETCH(QString, token);
        QFETCH(QString, pin);
        QFETCH(QStringList, posts);
        QFETCH(QStringList, expectedPosts);
        QFETCH(QString, finalState);
        QFETCH(QString, logged);
        options.insert("access_token", storedKey);
        options.insert("access_secret", storedSecret);
        QVERIFY(m_fake.configure(options));
        if (!token.isEmpty())
            storeToken(token);
        if (options.contains("unreachable"))
            useApiHost(QStringLiteral("127.0.0.1:1"), QString());
        DesktopHooks desktop;
        desktop.answers.append({pin, !pin.isEmpty()});
        const LogCapture log;
        failedPostLines = 0;
        QStringList states;
        {
            TwitClient account;
            connect(&account, &TwitClient::accountStateChanged, [&](QString s) { states << s; });
            for (const QString& post : posts)
                account.updateStatus(post, post.startsWith("np:") ? TwitClient::PostKind::NowPlaying
                                                                  : TwitClient::PostKind::Other);
            QTRY_COMPARE_WITH_TIMEOUT(posted(), expectedPosts, 15000);
            QTRY_VERIFY2_WITH_TIMEOUT(account.accountState().startsWith(finalState),
                                      qPrintable(account.accountState()), 15000);
            const bool asked = token.isEmpty() || options.contains("unreachable");
            QTRY_COMPARE(desktop.titles, asked ? QStringList{"FENK - PIN"} : QStringList());
        }
        if (!finalState.startsWith(QLatin1String("not authorized")) && !pin.startsWith('7'))
            checkAllSigned();
        QVERIFY2(log.text().contains(logged), qPrintable(log.text()));
        const bool pageShown = !desktop.texts.filter("/oauth/authorize?oauth_token=RT-").isEmpty();
        QCOMPARE(pageShown, token.isEmpty() && !options.contains("refuse_request_token"));
        const QString newKey = finalState == "@dj_fenk" ? "4242-AccessToken" : QString();
        QCOMPARE(QSettings().value("oAuth/OAuthAccessTokenKey").toString(),
                 token.isEmpty() ? newKey : token);
        if (options.contains("post_limit")) {
            const QRegularExpression paused(R"(^posting paused until \d\d:\d\d \(rate limit\)$)");
            QVERIFY2(!states.filter(paused).isEmpty(), qPrintable(states.join('|')));
        }
        if (finalState.startsWith("last post failed"))
            QCOMPARE(failedPostLines.load(), 1);
        QCOMPARE(QSettings().value("twitter/ApiVersion").toString(),
                 options.contains("v2_only") ? QStringLiteral("2") : QString());
    }

    // The window keeps the account's name once the check has found it.
    void windowStoresTheName()
    {
        QVERIFY(m_fake.configure({{"access_token", storedKey}, {"access_secret", storedSecret}}));
        storeToken(storedKey);
        const DesktopHooks desktop;
        MainDlg window(nullptr);
        QTRY_COMPARE(window.settings().userName(), QStringLiteral("dj_fenk"));
        QCOMPARE(window.settings().uid(), QStringLiteral("4242"));
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
        if (!token.isEmpty())
            storeToken(token);
        QSettings store;
        store.setValue(QStringLiteral("icecast/Port"), 0);
        store.setValue(QStringLiteral("ableton/Port"), 0);
        store.sync();
        QProcess fenk;
        fenk.setProcessChannelMode(QProcess::ForwardedChannels);
        fenk.start(QStringLiteral(FENK_BINARY_DIR "/fenk"), QStringList());
        QVERIFY(fenk.waitForStarted());
        QVERIFY(m_fake.waitForRequests(1, 20000));
        QElapsedTimer clock;
        clock.start();
        fenk.terminate();
        QVERIFY2(fenk.waitForFinished(2000), "still running 2 s after SIGTERM");
        QCOMPARE(fenk.exitStatus(), QProcess::NormalExit);
        qInfo() << "ended" << clock.elapsed() << "ms after SIGTERM";
    }
};

FENK_TEST_MAIN(TestTwitter)
#include "tst_twitter.moc"
