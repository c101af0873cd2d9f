#include "fakewebservice.h"
#include "messages/messagecomposer.h"
#include "tracklist/tracklistfile.h"
#include "webservice/webserviceclient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using Entries = QVector<TrackListFile::Entry>;
Q_DECLARE_METATYPE(TrackListFile::Entry)

namespace {

const TrackListLocation berlin{QStringLiteral("Berlin"), QStringLiteral("Germany"),
                               QStringLiteral("DE")};
const QDateTime start(QDate(2026, 12, 5), QTime(21, 3, 12));

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Entries entriesIn(const QString& path)
{
    Entries entries;
    return TrackListFile::readEntries(readAll(path), &entries) ? entries : Entries{{}};
}

QStringList flat(const Entries& entries)
{
    QStringList values;
    for (const auto& e : entries)
        values << e.date << e.track << e.artist;
    return values;
}

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void composer_data();
    void composer();
    void documentFormat();
    void appendKeepsEveryTrack_data();
    void appendKeepsEveryTrack();
    void clearAndCopy();
    void failedWriteKeepsPreviousFile();
    void killLeavesCompleteFile();
    void reports_data();
    void reports();
    void replies_data();
    void replies();
    void failures_data();
    void failures();

private:
    QTemporaryDir m_dir;
    FakeWebService m_service;
    QNetworkAccessManager m_nam;
    bool configure(QJsonObject change);
    std::unique_ptr<WebServiceClient> client(const QString& host);
};

void TestPipeline::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(FakeWebService::makeCertificates(m_dir.filePath(QStringLiteral("certs"))));
    QVERIFY(m_service.start(m_dir.filePath(QStringLiteral("certs"))));
}

// ---------------------------------------------------------------------------
// message composition

void TestPipeline::composer_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const auto tags = [](const char* artist) {
        return MessageComposer::artistHashtags(QString::fromUtf8(artist), true);
    };
    QTest::newRow("one word") << tags("abc") << "#abc";
    QTest::newRow("spaces") << tags("Ab Cd") << "#Ab_Cd";
    QTest::newRow("and") << tags("A and B") << "#A and #B";
    QTest::newRow("AND written lower") << tags("A AND B") << "#A and #B";
    QTest::newRow("& and feat") << tags("X & Y feat Z") << "#X & #Y feat #Z";
    QTest::newRow("comma stays") << tags("X, Y & Z") << "#X,_Y & #Z";
    QTest::newRow("with and") << tags("Ab with Cd and Ef") << "#Ab with #Cd and #Ef";
    QTest::newRow("separator at the end") << tags("A & ") << "#A & #";
    QTest::newRow("no spaces around") << tags("Sandy Band") << "#Sandy_Band";
    QTest::newRow("and, feat.") << tags("A aNd, B FeAt. C") << "#A and, #B feat. #C";
    QTest::newRow("adjacent occurrence not searched") << tags("A & & B") << "#A & #&_B";
    QTest::newRow("overlapping separators") << tags("A & and B") << "#A & #and_B";
    QTest::newRow("empty artist") << tags("") << "#";
    QTest::newRow("artist option off")
        << MessageComposer::artistHashtags("A & B", false) << "A & B";
    QTest::newRow("both options off")
        << MessageComposer::nowPlaying("Now", "A & B", "Track One", false, false)
        << "Now : A & B - Track One";
    QTest::newRow("track option on")
        << MessageComposer::nowPlaying("Now", "A & B", "Track One", false, true)
        << "Now : A & B - #Track_One";
    QTest::newRow("empty title") << MessageComposer::nowPlaying("Now", "A", "", true, true)
                                 << "Now : #A - #";
    QTest::newRow("start") << MessageComposer::startStop("#start", "Live now", "Berlin Germany")
                           << "#start Live now Berlin Germany";
    QTest::newRow("markers stay text")
        << MessageComposer::startStop("%2", "%3 %1", "%%1") << "%2 %3 %1 %%1";
    const auto left = [](const QString& text) {
        return QString::number(MessageComposer::remainingCharacters(text));
    };
    QTest::newRow("140 fits") << left(QString(140, 'x')) << "0";
    QTest::newRow("141 over") << left(QString(141, 'x')) << "-1";
    QTest::newRow("UTF-16 units") << left(QString::fromUtf8("\xF0\x9F\x8E\xA7")) << "138";
}

void TestPipeline::composer()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

// ---------------------------------------------------------------------------
// tracklist file

void TestPipeline::documentFormat()
{
    QTemporaryDir dir;
    TrackListFile file(dir.filePath(QStringLiteral("FENK")), QStringLiteral("web.example:8443"));
    QVERIFY(file.create(start, {}));
    QCOMPARE(file.fileName(), QStringLiteral("05.12.2026 21.03.12.xml"));
    QVERIFY(file.append(QStringLiteral("A & <B>"), QStringLiteral("T\u0001\"x\""),
                        start.addSecs(61), berlin));
    QCOMPARE(readAll(file.filePath()), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                  "<?xml-stylesheet type=\"text/css\" "
                                                  "href=\"https://web.example:8443/fenk.css\"?>\n"
                                                  "<playlist>\n"
                                                  "    <location>\n"
                                                  "        <city>Berlin</city>\n"
                                                  "        <contry>Germany</contry>\n"
                                                  "        <countrycode>DE</countrycode>\n"
                                                  "    </location>\n"
                                                  "    <date>2026-12-05T21:04:13</date>\n"
                                                  "    <track>T\xEF\xBF\xBD&quot;x&quot;</track>\n"
                                                  "    <artist>A &amp; &lt;B&gt;</artist>\n"
                                                  "</playlist>\n"));
    QVERIFY(file.clear({}));
    QVERIFY(readAll(file.filePath())
                .contains("<location>\n        <city></city>\n"
                          "        <contry></contry>\n"
                          "        <countrycode></countrycode>\n"
                          "    </location>\n</playlist>\n"));
}

void TestPipeline::appendKeepsEveryTrack_data()
{
    QTest::addColumn<QByteArray>("damage"); // written over the file between two tracks
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("unreadable");
    QTest::newRow("untouched") << QByteArray() << false << false;
    QTest::newRow("deleted") << QByteArray() << true << false;
    QTest::newRow("unreadable") << QByteArray() << false << true;
    QTest::newRow("empty") << QByteArray("") << false << false;
    QTest::newRow("garbage") << QByteArray("\x00\xff<<&&") << false << false;
    QTest::newRow("cut in half") << QByteArray("<playlist><date>x</date><track>") << false << false;
    QTest::newRow("incomplete triple")
        << QByteArray("<playlist><date>d</date><artist>a</artist></playlist>") << false << false;
    QTest::newRow("reordered")
        << QByteArray("<playlist><track>t</track><date>d</date><artist>a</artist></playlist>")
        << false << false;
}

void TestPipeline::appendKeepsEveryTrack()
{
    QFETCH(QByteArray, damage);
    QFETCH(bool, remove);
    QFETCH(bool, unreadable);
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(start, berlin));
    QVERIFY(file.append(QStringLiteral("Röyksopp & <Robyn>"), QString(), start, berlin));
    QVERIFY(
        file.append(QStringLiteral("B"), QStringLiteral("Tr&ck <2>"), start.addSecs(1), berlin));
    QFile disk(file.filePath());
    if (remove)
        QVERIFY(disk.remove());
    if (unreadable)
        QVERIFY(disk.setPermissions({}));
    if (!damage.isNull()) {
        QVERIFY(disk.open(QIODevice::WriteOnly | QIODevice::Truncate));
        disk.write(damage);
        disk.close();
    }
    QVERIFY2(file.append(QStringLiteral("C"), QStringLiteral("3"), start.addSecs(2), berlin),
             qPrintable(file.errorString()));
    disk.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const QStringList expected = {"2026-12-05T21:03:12", "",          "Röyksopp & <Robyn>",
                                  "2026-12-05T21:03:13", "Tr&ck <2>", "B",
                                  "2026-12-05T21:03:14", "3",         "C"};
    QCOMPARE(flat(entriesIn(file.filePath())), expected);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{file.fileName()});
}

void TestPipeline::clearAndCopy()
{
    QTemporaryDir dir;
    const QString desktop = dir.filePath(QStringLiteral("Desktop"));
    QVERIFY(QDir().mkpath(desktop));
    TrackListFile file(dir.filePath(QStringLiteral("FENK")), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(start, berlin));
    QVERIFY(file.append(QStringLiteral("A"), QStringLiteral("1"), start, berlin));
    QVERIFY(file.copyTo(desktop));
    const QString copy = QDir(desktop).filePath(file.fileName());
    QCOMPARE(entriesIn(copy).size(), 1);
    QVERIFY(file.clear(berlin));
    QCOMPARE(entriesIn(file.filePath()).size(), 0);
    QVERIFY(file.append(QStringLiteral("B"), QStringLiteral("2"), start, berlin));
    QVERIFY(file.copyTo(desktop)); // replaces the first copy
    QCOMPARE(readAll(copy), readAll(file.filePath()));
    QCOMPARE(flat(entriesIn(copy)), (QStringList{"2026-12-05T21:03:12", "2", "B"}));
    const QString path = file.filePath();
    file.close();
    QVERIFY(file.fileName().isEmpty());
    QVERIFY(!file.append(QStringLiteral("C"), QStringLiteral("3"), start, berlin));
    QCOMPARE(entriesIn(path).size(), 1);
}

void TestPipeline::failedWriteKeepsPreviousFile()
{
    // A file size limit makes every write fail the way a full disk does, for
    // any user (a read-only folder does not stop root).
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(start, berlin));
    QVERIFY(file.append(QStringLiteral("A"), QStringLiteral("1"), start, berlin));
    const QByteArray before = readAll(file.filePath());
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(before.size());
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = file.append(QStringLiteral("B"), QStringLiteral("2"), start, berlin);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(!written);
    QVERIFY(!file.errorString().isEmpty());
    QCOMPARE(readAll(file.filePath()), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{file.fileName()});
    // The track that could not be written is still known and written next time.
    QVERIFY(file.append(QStringLiteral("C"), QStringLiteral("3"), start, berlin));
    QCOMPARE(entriesIn(file.filePath()).size(), 3);
}

void TestPipeline::killLeavesCompleteFile()
{
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(start, berlin));
    for (int round = 0; round < 5; ++round) {
        const int before = entriesIn(file.filePath()).size();
        const qint64 size = QFileInfo(file.filePath()).size();
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            for (;;)
                file.append(QStringLiteral("Artist"), QString(200, 'x'), start, berlin);
        }
        // Each round is killed at a different point of its write cycle.
        QTRY_VERIFY(QFileInfo(file.filePath()).size() > size + 777 * (round + 1));
        kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY2(entriesIn(file.filePath()).size() > before, "not a complete document");
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).first(), file.fileName());
}

// ---------------------------------------------------------------------------
// web service

bool TestPipeline::configure(QJsonObject change)
{
    const QJsonObject defaults{{"city", "Berlin"}, {"country", "Germany"}, {"country_code", "DE"},
                               {"version", "1.9"}, {"status", 200},        {"hang", false},
                               {"pad", 0},         {"compact", false}};
    for (auto it = defaults.begin(); it != defaults.end(); ++it)
        if (!change.contains(it.key()))
            change.insert(it.key(), it.value());
    return m_service.configure(change);
}

std::unique_ptr<WebServiceClient> TestPipeline::client(const QString& host)
{
    auto c = std::make_unique<WebServiceClient>(&m_nam, host);
    c->setExtraCaCertificates(m_dir.filePath(QStringLiteral("certs/ca.pem")));
    return c;
}

void TestPipeline::reports_data()
{
    QTest::addColumn<QString>("artist");
    QTest::addColumn<QString>("track");
    QTest::addColumn<QVector<bool>>("listeners"); // serato, traktor, ableton, start
    QTest::addColumn<QString>("sp");
    const auto row = [](const char* name, const char* artist, const char* track, bool s, bool t,
                        bool a, bool start, const char* sp) {
        QTest::newRow(name) << QString::fromUtf8(artist) << QString::fromUtf8(track)
                            << QVector<bool>{s, t, a, start} << QString::fromLatin1(sp);
    };
    row("all three", "A & B #1 +2", "x=y&z=%41", true, true, true, true, "7");
    row("serato traktor", "Röyksopp", "Ñandú 日本 🎧", true, true, false, false, "3");
    row("serato ableton", "a+b", "c d", true, false, true, true, "6");
    row("serato only", "", "", true, false, false, false, "2");
    row("ableton", "%2", "%1%3", false, false, true, true, "5");
    row("traktor only", "?/#;", "\"'<>", false, true, false, false, "1");
}

void TestPipeline::reports()
{
    QFETCH(QString, artist);
    QFETCH(QString, track);
    QFETCH(QVector<bool>, listeners);
    QFETCH(QString, sp);
    auto web = client(m_service.host());
    QSignalSpy failed(web.get(), &WebServiceClient::reportFailed);
    const WebServiceClient::Identity who{QStringLiteral("42&ti=1"), QStringLiteral("dj name+"),
                                         QStringLiteral("Köln #DE")};
    const int seen = m_service.count();
    web->sendTrack(who, artist, track);
    const QString code = WebServiceClient::listenerCode(listeners[0], listeners[1], listeners[2]);
    web->sendSession(who, listeners[3], QStringLiteral("1.9"), code);
    QTRY_COMPARE(m_service.count(), seen + 2);
    QVector<QJsonObject> got = m_service.events().mid(seen);
    std::sort(got.begin(), got.end(), [](const QJsonObject& a, const QJsonObject& b) {
        return a.value("path").toString() > b.value("path").toString();
    });
    const QJsonObject trackParams = got[0].value("params").toObject();
    const QJsonObject sessionParams = got[1].value("params").toObject();
    QCOMPARE(got[0].value("path").toString(), QStringLiteral("/track.php"));
    QCOMPARE(trackParams.toVariantMap(),
             (QVariantMap{{"api_token", "5c1e7a90d2b34f68a0e9c7b1d3f2a846"},
                          {"ti", who.uid},
                          {"tn", who.userName},
                          {"ta", artist},
                          {"tt", track},
                          {"te", who.location},
                          {"tl", who.location}}));
    QCOMPARE(got[1].value("path").toString(), QStringLiteral("/session.php"));
    QCOMPARE(sessionParams.toVariantMap(),
             (QVariantMap{{"api_token", "5c1e7a90d2b34f68a0e9c7b1d3f2a846"},
                          {"ti", who.uid},
                          {"tn", who.userName},
                          {"ts", listeners[3] ? "1" : "0"},
                          {"tl", who.location},
                          {"tv", "1.9"},
                          {"te", who.location},
                          {"sp", sp}}));
    QCOMPARE(failed.count(), 0);
}

void TestPipeline::replies_data()
{
    QTest::addColumn<QJsonObject>("config");
    QTest::addColumn<QStringList>("expected"); // city, country, code, version
    QTest::newRow("all values") << QJsonObject{{"version", "2.0"}}
                                << QStringList{"Berlin", "Germany", "DE", "2.0"};
    QTest::newRow("no city") << QJsonObject{{"city", ""}}
                             << QStringList{"", "Germany", "DE", "1.9"};
    QTest::newRow("keys missing") << QJsonObject{{"city", QJsonValue::Null},
                                                 {"country", QJsonValue::Null},
                                                 {"country_code", QJsonValue::Null},
                                                 {"version", QJsonValue::Null}}
                                  << QStringList{"", "", "", ""};
    QTest::newRow("no whitespace, escaped text")
        << QJsonObject{{"compact", true}, {"city", "Saint-Étienne & <Co>"}, {"version", "10.2b"}}
        << QStringList{"Saint-Étienne & <Co>", "Germany", "DE", "10.2b"};
}

void TestPipeline::replies()
{
    QFETCH(QJsonObject, config);
    QFETCH(QStringList, expected);
    QVERIFY(configure(config));
    auto web = client(m_service.host());
    QSignalSpy location(web.get(), &WebServiceClient::locationFound);
    QSignalSpy version(web.get(), &WebServiceClient::versionFound);
    web->lookupLocation();
    web->checkVersion();
    QTRY_COMPARE(location.count() + version.count(), 2);
    QCOMPARE(location.count(), 1);
    QCOMPARE(location[0][0].toString(), expected[0]);
    QCOMPARE(location[0][1].toString(), expected[1]);
    QCOMPARE(location[0][2].toString(), expected[2]);
    QCOMPARE(version[0][0].toString(), expected[3]);
}

void TestPipeline::failures_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QJsonObject>("config");
    QTest::newRow("never answers") << "server" << QJsonObject{{"hang", true}};
    QTest::newRow("HTTP 500") << "server" << QJsonObject{{"status", 500}};
    QTest::newRow("oversized reply") << "server" << QJsonObject{{"pad", 200000}};
    QTest::newRow("untrusted certificate") << "untrusted" << QJsonObject{};
}

void TestPipeline::failures()
{
    QFETCH(QString, certificate);
    QFETCH(QJsonObject, config);
    FakeWebService other;
    FakeWebService* service = &m_service;
    if (certificate != QLatin1String("server")) {
        QVERIFY(other.start(m_dir.filePath(QStringLiteral("certs")), certificate));
        service = &other;
    }
    QVERIFY(config.isEmpty() || configure(config));
    auto web = client(service->host());
    web->setTimeout(300);
    QSignalSpy locationFailed(web.get(), &WebServiceClient::locationFailed);
    QSignalSpy versionFailed(web.get(), &WebServiceClient::versionFailed);
    QSignalSpy reportFailed(web.get(), &WebServiceClient::reportFailed);
    QSignalSpy found(web.get(), &WebServiceClient::locationFound);
    web->lookupLocation();
    web->checkVersion();
    web->sendTrack({}, QStringLiteral("A"), QStringLiteral("T"));
    QTRY_COMPARE(locationFailed.count() + versionFailed.count() + reportFailed.count(),
                 config.contains("pad") ? 2 : 3);
    QCOMPARE(found.count(), 0);
    QCOMPARE(locationFailed.count(), 1);
    QVERIFY(!locationFailed[0][0].toString().isEmpty());
    if (certificate != QLatin1String("server"))
        QTRY_COMPARE(other.count(QStringLiteral("tls-failed")), 3);
    QVERIFY(configure({}));
}

QTEST_GUILESS_MAIN(TestPipeline)
#include "tst_pipeline.moc"
