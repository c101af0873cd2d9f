#include "applicationsettings.h"
#include "fakenetworks.h"
#include "files.h"
#include "logcapture.h"
#include "networkaccounts.h"
#include "peers.h"
#include "postlength.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

NetworkAccount::Timing quick()
{
    NetworkAccount::Timing t;
    t.connectTimeout = 1000ms;
    t.totalTimeout = 1500ms;
    t.retryDelays = {50ms, 100ms, 150ms};
    t.defaultPause = 2s;
    return t;
}

// "np|text": a now-playing post of text; start, stop, manual likewise.
QPair<PostKind, QString> parse(const QString& post)
{
    const QString kind = post.section('|', 0, 0);
    const PostKind k = kind == "np"      ? PostKind::NowPlaying
                       : kind == "start" ? PostKind::Start
                       : kind == "stop"  ? PostKind::Stop
                                         : PostKind::Manual;
    return {k, post.section('|', 1)};
}

int fileMode(const QString& path)
{
    struct stat s = {};
    return ::stat(QFile::encodeName(path).constData(), &s) == 0 ? int(s.st_mode & 0777) : -1;
}

// One events.log line per post and account: sent, failed, dropped or not sent.
int postLines(const LogCapture& log, const QString& network)
{
    const QRegularExpression line("^" + network +
                                  ": (now playing|start|stop|manual) post (sent|failed|dropped|"
                                  "not sent): \".*\" \u2014 ");
    return log.records().replaceInStrings(QRegularExpression("^\\w+\t"), "").filter(line).size();
}

} // namespace

// The three accounts against local HTTPS fakes of their services, which check
// what the accounts send with their own code; the length rules as functions.
class TestNetworks : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    FakeNetworks m_fake;
    QProcess m_bus;

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(m_fake.makeCertificates(m_certs.path()));
        QVERIFY(m_fake.start(m_certs.path(), "server", {"--lifetime", "600"}));
        // A session bus of our own, never the desktop's: no Secret Service on it
        // until a test starts one.
        m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        const bool bus = m_bus.waitForReadyRead(5000);
        qputenv("DBUS_SESSION_BUS_ADDRESS",
                bus ? m_bus.readLine().trimmed() : QByteArray("unix:path=/nonexistent"));
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished(5000);
    }

    void init()
    {
        QSettings store;
        store.clear();
        m_fake.useIn(store, m_certs.path() + "/ca.pem");
        QVERIFY(m_fake.configure());
    }

    void shorten_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("counting");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fits") << "is now playing ♫ : #A - #B" << 26 << "graphemes"
                              << "is now playing ♫ : #A - #B";
        QTest::newRow("cut at a word")
            << "is now playing ♫ : #Björk & #Sigur_Rós - #Hoppípolla from the album Takk" << 60
            << "graphemes"
            << "is now playing ♫ : #Björk & #Sigur_Rós - #Hoppípolla from…";
        QTest::newRow("title tag kept behind the cut, separator dropped")
            << "is now playing ♫ : Sigur Rós and friends from Iceland - #Hoppípolla" << 35
            << "graphemes"
            << "is now playing ♫… #Hoppípolla";
        QTest::newRow("tags dropped from the end")
            << "np : #AAAAAAAAAA #BBBBBBBBBB #CCCCCCCCCC" << 24 << "graphemes"
            << "np : #AAAAAAAAAA…";
        QTest::newRow("one word cut between graphemes")
            << "e\u0301e\u0301e\u0301e\u0301e\u0301 x" << 4 << "graphemes"
            << "e\u0301e\u0301e\u0301…";
        QTest::newRow("links count 23")
            << "now https://example.com/a/very/long/path/that/is/long and more words" << 32
            << "links"
            << "now https://example.com/a/very/long/path/that/is/long and…";
        QTest::newRow("code points") << "🇮🇸🇮🇸 go far" << 8 << "codepoints"
                                     << "🇮🇸🇮🇸 go…";
    }
    void shorten()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        QFETCH(QString, counting);
        const auto length = [&](const QString& t) {
            return counting == "links"        ? postlength::withLinksAs(t, 23)
                   : counting == "codepoints" ? postlength::codePoints(t)
                                              : postlength::graphemes(t);
        };
        const QString cut =
            postlength::shorten(text, [&](const QString& t) { return length(t) <= limit; });
        QTEST(cut, "expected");
        QVERIFY(length(cut) <= limit);
    }

    // Bluesky's tag facets: UTF-8 byte offsets of "#tag" as its app finds them.
    void facets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("non-ASCII artists") << "#Björk & #Sigur_Rós - #東京"
                                           << "Björk:0-7 Sigur_Rós:10-21 東京:24-31";
        QTest::newRow("punctuation, digits, inside words") << "#tag! (#paren) #2024 a#b #x_"
                                                           << "tag:0-4 x:25-27";
        QTest::newRow("64 graphemes at most")
            << "#" + QString(65, 'a') + " #" + QString(64, 'b') << QString(64, 'b') + ":67-132";
        QTest::newRow("full-width mark") << "＃タグ"
                                         << "タグ:0-9";
    }
    void facets()
    {
        QFETCH(QString, text);
        QStringList found;
        for (const QJsonValue& facet : bluesky::tagFacets(text)) {
            const QJsonObject index = facet["index"].toObject();
            found << QString("%1:%2-%3")
                         .arg(facet["features"][0]["tag"].toString())
                         .arg(index["byteStart"].toInt())
                         .arg(index["byteEnd"].toInt());
        }
        QTEST(found.join(' '), "expected");
    }

    // A set posted to all three networks while one of them misbehaves: the
    // others post on time and in order, the misbehaving one fails on its own.
    void set_data()
    {
        QTest::addColumn<QJsonObject>("fake");
        QTest::addColumn<QStringList>("posts");
        QTest::addColumn<QString>("network"); // the one that misbehaves
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("logged");
        const QStringList set = {"start|#FENK is starting to play from: Berlin",
                                 "np|is now playing ♫ : #Björk & #Sigur_Rós - #Hoppípolla",
                                 "np|is now playing ♫ : #東京事変 - #群青日和!",
                                 "manual|@everyone listen to #2024 live",
                                 "stop|#FENK just finished playing from: Berlin"};
        const QStringList texts =
            QStringList(set).replaceInStrings(QRegularExpression("^\\w+\\|"), "");
        const QStringList quick = {"start|s", "np|a", "np|b", "stop|t", "np|c", "np|d"};
        const auto obj = [](const char* network, const QJsonObject& o) {
            return QJsonObject{{network, o}};
        };
        QTest::newRow("all well") << QJsonObject() << set << "mastodon" << texts << "@dj@127.0.0.1:"
                                  << "Mastodon: now playing post sent";
        QTest::newRow("mastodon 401")
            << obj("mastodon", {{"fail", 401}}) << set << "mastodon" << QStringList()
            << "sign in again"
            << "Mastodon: stop post failed: \"#FENK just finished playing "
               "from: Berlin\" \u2014 sign in again: HTTP 401: Failing as told (*** /";
        QTest::newRow("bluesky 429, stale tracks dropped")
            << obj("bluesky", {{"limit", 2}, {"reset_in", 1}}) << quick << "bluesky"
            << QStringList{"s", "a", "b", "t", "d"} << "@dj.test"
            << "Bluesky: now playing post dropped: \"c\" \u2014 a newer track waits";
        QTest::newRow("discord 429, Retry-After")
            << obj("discord", {{"limit", 2}, {"reset_in", 1}}) << set << "discord" << texts
            << "webhook \u201CFENK hook\u201D"
            << "Discord: rate limit reached";
        QTest::newRow("mastodon 429, ISO 8601 reset")
            << obj("mastodon", {{"limit", 2}, {"reset_in", 1}}) << set << "mastodon" << texts
            << "@dj@"
            << "Mastodon: rate limit reached";
        QTest::newRow("discord 5xx retried")
            << obj("discord", {{"fail", 503}, {"fail_times", 3}}) << set << "discord" << texts
            << "webhook"
            << "Discord: HTTP 503: Failing as told ( /api/webhooks/1/***), trying again";
        QTest::newRow("bluesky unreachable")
            << obj("bluesky", {{"fail", 502}}) << QStringList(set.mid(0, 2)) << "bluesky"
            << QStringList() << "not reachable"
            << "Failing as told ( /xrpc/com.atproto.server.createSession) (after 4 tries)";
        QTest::newRow("mastodon hangs")
            << obj("mastodon", {{"hang", 20}}) << set << "mastodon" << QStringList() << "signing in"
            << "";
    }
    void set()
    {
        QFETCH(QJsonObject, fake);
        QFETCH(QStringList, posts);
        QFETCH(QString, network);
        QFETCH(QStringList, expected);
        QVERIFY(m_fake.configure(fake));
        const LogCapture log;
        auto all = std::make_unique<NetworkAccounts>();
        const QStringList names = {"mastodon", "bluesky", "discord"};
        NetworkAccount* odd = all->all()[names.indexOf(network)];
        for (NetworkAccount* account : all->all())
            account->setTiming(quick());
        // A service that holds its answers longer than the others take for the whole set.
        NetworkAccount::Timing patient = quick();
        patient.totalTimeout = 60s;
        if (fake[network].toObject().contains("hang"))
            odd->setTiming(patient);
        all->configure();
        QStringList states;
        connect(odd, &NetworkAccount::stateChanged, [&](QString s) { states << s; });
        QStringList texts;
        for (const QString& post : posts) {
            texts << parse(post).second;
            for (NetworkAccount* account : all->all())
                account->post(parse(post).second, parse(post).first);
        }
        for (const QString& other : names)
            if (other != network)
                QTRY_COMPARE_WITH_TIMEOUT(m_fake.accepted(other), texts, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(m_fake.accepted(network), expected, 10000);
        QFETCH(QString, state);
        QTRY_VERIFY2_WITH_TIMEOUT(odd->state().startsWith(state), qPrintable(odd->state()), 10000);
        QCOMPARE(states.contains("paused"), fake[network].toObject().contains("limit"));
        for (const QJsonObject& r : m_fake.requests("bluesky"))
            QVERIFY(!r.contains("facets_ok") || r["facets_ok"].toBool());
        for (const QJsonObject& r : m_fake.requests("discord"))
            if (r["method"] == "POST")
                QCOMPARE(r["mentions"].toObject(), (QJsonObject{{"parse", QJsonArray()}}));
        for (const QJsonObject& r : m_fake.requests("mastodon"))
            QVERIFY(!r.contains("visibility") || r["visibility"] == "unlisted");
        if (fake.isEmpty()) {
            const QString text = "a https://fenk.fm/a/long/way 東京 😀";
            QCOMPARE(all->mastodon().charactersLeft(text), 470); // the link counts 23
            QCOMPARE(all->charactersLeft(text), 267);            // Bluesky is the tightest
        }
        QFETCH(QString, logged);
        QTRY_VERIFY2_WITH_TIMEOUT(log.text().contains(logged), qPrintable(log.text()), 10000);
        // Quitting does not wait for a hanging service.
        QElapsedTimer clock;
        clock.start();
        all.reset();
        QVERIFY(clock.elapsed() < 3000);
        for (const char* name : {"Mastodon", "Bluesky", "Discord"})
            QCOMPARE(postLines(log, name), posts.size());
        for (const char* secret : {"MastoToken", "app-pass-1234", "HookToken", "acc-", "ref-"})
            QVERIFY2(!log.text().contains(secret), secret);
    }

    // The desktop sign-in, the instance's limit, and a post whose answer was lost.
    void mastodon()
    {
        QSettings().remove("mastodon/AccessToken");
        QVERIFY(m_fake.configure({{"mastodon", QJsonObject{{"max_characters", 60}, {"lose", 1}}}}));
        const LogCapture log;
        SecretStore secrets;
        MastodonAccount account(secrets);
        account.setTiming(quick());
        account.configure(networksettings::readMastodon());
        QTRY_COMPARE(account.state(), QString("not set up"));
        QSignalSpy page(&account, &MastodonAccount::authorizePageReady);
        QSignalSpy failed(&account, &MastodonAccount::signInFailed);
        account.registerApp("https://" + m_fake.host());
        QVERIFY(page.wait());
        const QUrlQuery query(page[0][0].toUrl());
        QCOMPARE(query.queryItemValue("client_id"), QString("cid"));
        QCOMPARE(query.queryItemValue("redirect_uri"), QString("urn:ietf:wg:oauth:2.0:oob"));
        QCOMPARE(query.queryItemValue("scope", QUrl::FullyDecoded),
                 QString("write:statuses read:accounts"));
        account.exchangeCode("WRONG");
        QVERIFY(failed.wait());
        QCOMPARE(failed[0][0].toString(), QString("HTTP 400: The code is invalid."));
        account.exchangeCode("CODE");
        QTRY_COMPARE(account.state(), "@dj@" + m_fake.host());
        QCOMPARE(QSettings().value("mastodon/AccessToken").toString(), QString("MastoToken2"));
        QCOMPARE(account.limit(), 60);

        const QString np = "is now playing ♫ : #Sigur_Rós - a very long title that goes on #Live";
        account.post(np, PostKind::NowPlaying);
        account.post(QString("x").repeated(61), PostKind::Manual);
        QTRY_COMPARE(account.state(), QString("last post failed"));
        QCOMPARE(m_fake.accepted("mastodon"),
                 QStringList{"is now playing ♫ : #Sigur_Rós - a very long title… #Live"});
        QStringList keys;
        for (const QJsonObject& r : m_fake.requests("mastodon"))
            if (r["path"] == "/api/v1/statuses")
                keys << r["key"].toString();
        QCOMPARE(keys.size(), 3); // the lost answer's post was sent again under its key
        QCOMPARE(keys[0], keys[1]);
        QVERIFY(keys[1] != keys[2]);
        QVERIFY(account.detail().contains("character limit"));
        for (const char* secret : {"MastoToken2", "csecret"})
            QVERIFY2(!log.text().contains(secret), secret);
    }

    // createSession once; refreshSession from then on, also after a restart.
    void blueskySession()
    {
        QVERIFY(m_fake.configure({{"bluesky", QJsonObject{{"expire", true}}}}));
        const auto sessions = [this](const QString& kind) {
            int n = 0;
            for (const QJsonObject& r : m_fake.requests("bluesky"))
                n += r["path"].toString().endsWith(kind) ? 1 : 0;
            return n;
        };
        SecretStore secrets;
        for (int run = 0; run < 2; ++run) {
            BlueskyAccount account(secrets);
            account.setTiming(quick());
            account.configure(networksettings::readBluesky());
            account.post(QString("run %1 a").arg(run), PostKind::NowPlaying);
            account.post(QString("run %1 b").arg(run), PostKind::NowPlaying);
            QTRY_COMPARE(m_fake.accepted("bluesky").size(), 2 * run + 2);
            QTRY_VERIFY(QSettings().value("bluesky/RefreshToken").toString().startsWith("ref-"));
        }
        QCOMPARE(sessions("createSession"), 1);
        QCOMPARE(sessions("refreshSession"), 3);

        // A refused refresh token leads to one new session; a refused password stops.
        QSettings().setValue("bluesky/RefreshToken", "ref-unknown");
        QSettings().setValue("bluesky/AppPassword", "wrong");
        BlueskyAccount account(secrets);
        account.setTiming(quick());
        account.configure(networksettings::readBluesky());
        account.post("lost", PostKind::Manual);
        account.post("lost too", PostKind::Manual);
        QTRY_COMPARE(account.state(), QString("sign in again"));
        QTRY_COMPARE(account.detail(),
                     QString("HTTP 401: AuthenticationRequired: Invalid identifier or password"));
        QCOMPARE(sessions("createSession"), 2);
        QCOMPARE(QSettings().value("bluesky/RefreshToken").toString(), QString());
    }

    // The settings file stays 0600; a running Secret Service takes the secrets.
    void secretStore()
    {
        const QString file = QSettings().fileName();
        QFile::remove(file);
        ApplicationSettings settings;
        QSettings().setValue("StartMessage", "written by another store object");
        QCOMPARE(fileMode(file), 0600);
        SecretStore secrets;
        QCOMPARE(secrets.place(), SecretStore::Place::SettingsFile);
        secrets.write("mastodon/AccessToken", "in the file");
        secrets.write("bluesky/AppPassword", "app-pass-1234");
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        settings.writeNow();
        QCOMPARE(fileMode(file), 0600);
        QVERIFY(readFile(file).contains("in the file"));

        // A bus that does not answer holds up no caller: the last answer stands
        // meanwhile, and a look still hanging is not waited for again.
        QSemaphore answer;
        SecretStore slow(nullptr, [&answer] { return answer.tryAcquire(1, 5000); });
        const LogCapture log;
        QCOMPARE(slow.place(), SecretStore::Place::SettingsFile);
        QCOMPARE(slow.place(), SecretStore::Place::SettingsFile);
        QCOMPARE(log.records().filter("the session bus did not answer within 250 ms").size(), 1);
        answer.release(100);
        QTRY_COMPARE(slow.place(), SecretStore::Place::SecretService);

        FENK_REQUIRE_PROGRAM("gnome-keyring-daemon", "gnome-keyring");
        if (m_bus.state() != QProcess::Running || qEnvironmentVariableIsSet("QT_NO_GLIB"))
            QSKIP("needs a session bus and GLib's event loop");
        QProcess keyring;
        keyring.start("gnome-keyring-daemon", {"--foreground", "--components=secrets", "--unlock"});
        keyring.write("test-password");
        keyring.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(secrets.place(), SecretStore::Place::SecretService, 10000);
        QStringList read;
        const auto readBack = [&] {
            secrets.read({"mastodon/AccessToken", "bluesky/AppPassword"}, this,
                         [&](SecretStore::Values v) { read = v.values(); });
            QTRY_VERIFY_WITH_TIMEOUT(!read.isEmpty(), 10000);
        };
        readBack();
        QCOMPARE(read, (QStringList{"app-pass-1234", "in the file"}));
        QTRY_VERIFY(!readFile(file).contains("in the file"));
        QVERIFY(!readFile(file).contains("app-pass-1234"));
        QVariant place;
        secrets.write("mastodon/AccessToken", "in the service", [&](auto p) { place = int(p); });
        QTRY_COMPARE(place, QVariant(int(SecretStore::Place::SecretService)));
        read.clear();
        readBack();
        QCOMPARE(read, (QStringList{"app-pass-1234", "in the service"}));
        QVERIFY(!readFile(file).contains("in the service"));
        keyring.terminate();
        keyring.waitForFinished(5000);
    }
};

FENK_TEST_GUILESS_MAIN(TestNetworks)
#include "tst_networks.moc"
