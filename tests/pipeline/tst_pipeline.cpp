#include "fakewebservice.h"
#include "files.h"
#include "freeport.h"
#include "listenercontrol.h"
#include "logcapture.h"
#include "messagecomposer.h"
#include "oggtestdata.h"
#include "oggthread.h"
#include "peers.h"
#include "postingoutput.h"
#include "setcontroller.h"
#include "sourceclient.h"
#include "statusmodel.h"
#include "tracklistfile.h"
#include "tracklistoutput.h"
#include "webserviceclient.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

namespace {
const TrackListLocation berlin{"Berlin", "Germany", "DE"};
const QDateTime t0(QDate(2026, 12, 5), QTime(21, 3, 12));

// date, track, artist, ... of a tracklist, or {"damaged"}.
QStringList onDisk(const QString& path)
{
    QVector<TrackListFile::Entry> entries;
    if (!TrackListFile::readEntries(readFile(path), &entries))
        return {QStringLiteral("damaged")};
    QStringList values;
    for (const auto& e : entries)
        values << e.date << e.track << e.artist;
    return values;
}

// Writes down what the set told it, into a list it shares with the others.
struct Recorder : SetOutput, PostTarget
{
    Recorder(QStringList& calls, QString name, bool followsStopped = false)
        : calls(calls), name(std::move(name)), follows(followsStopped)
    {}
    void setStarted(const SetController&) override { calls << name + " start"; }
    void trackPlayed(const Track& t, const SetController&) override
    {
        // A broadcast's time is the real clock's; Serato's is the report's less the delay.
        calls << name + ' ' + t.title +
                     (t.source == TrackSource::Serato ? '@' + t.startedAt.toString("mm:ss") : "");
    }
    void setStopped(const SetController&) override { calls << name + " stop"; }
    bool followsTracksWhileStopped() const override { return follows; }
    bool postingActive() const override { return true; }
    void post(const QString& text, PostKind kind) override
    {
        calls << name + ' ' + postKindName(kind) + ": " + text;
    }
    QStringList& calls;
    QString name;
    bool follows;
};
} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_certs = m_dir.filePath(QStringLiteral("certs"));
    QNetworkAccessManager m_nam;

private Q_SLOTS:
    void initTestCase() { QVERIFY(FakeWebService().makeCertificates(m_certs)); }

    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        using M = MessageComposer;
        const auto tags = [](const char* name, const char* artist, const char* expected) {
            QTest::newRow(name) << M::artistHashtags(QString::fromUtf8(artist), true) << expected;
        };
        tags("& feat", "X & Y feat Z", "#X & #Y feat #Z");
        tags("comma, inside words", "Sandy, Band & Z", "#Sandy,_Band & #Z");
        tags("with and", "Ab with Cd and Ef", "#Ab with #Cd and #Ef");
        tags("and, feat.", "A aNd, B FeAt. C", "#A and, #B feat. #C");
        tags("empty, at the end", "A & ", "#A & #");
        QTest::newRow("now playing") << M::nowPlaying("N", "A & B", "T 1", false, false) + '|' +
                                            M::nowPlaying("N", "A & B", "T 1", false, true) + '|' +
                                            M::nowPlaying("N", "A", "", true, true)
                                     << "N : A & B - T 1|N : A & B - #T_1|N : #A - #";
        QTest::newRow("start, markers")
            << M::startStop("%2 #go", "%3 Live %1", "%%1 Berlin") << "%2 #go %3 Live %1 %%1 Berlin";
        QString left;
        for (const QString& text : {QString(140, 'x'), QString(141, 'x'), QString("\U0001F3A7")})
            left += QString::number(M::remainingCharacters(text)) + ' ';
        QTest::newRow("140, 141, UTF-16") << left << "0 -1 138 ";
        QString codes; // Serato, Traktor, Ableton listening
        for (const auto& on : {"111", "110", "101", "100", "001", "010"})
            codes += WebServiceClient::listenerCode(on[0] == '1', on[1] == '1', on[2] == '1');
        QTest::newRow("listener codes") << codes << "736251";
    }
    void texts()
    {
        QFETCH(QString, actual);
        QTEST(actual, "expected");
    }

    void trackListFile()
    {
        QTemporaryDir dir;
        TrackListFile file(dir.filePath(QStringLiteral("FENK")), "web.example:8443");
        QVERIFY(file.create(TrackListFile::fileNameFor(t0), {}) &&
                file.fileName() == "05.12.2026 21.03.12.xml");
        QVERIFY(file.append("A & <B>", "T\u0001\"x\"", t0.addSecs(61), berlin));
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<?xml-stylesheet "
                                "type=\"text/css\" href=\"https://web.example:8443/fenk.css\"?>\n"
                                "<playlist>\n    <location>\n        <city>";
        QCOMPARE(readFile(file.filePath()),
                 head + "Berlin</city>\n        <contry>Germany</contry>\n        <countrycode>DE"
                        "</countrycode>\n    </location>\n    <date>2026-12-05T21:04:13</date>\n"
                        "    <track>T\xEF\xBF\xBD&quot;x&quot;</track>\n"
                        "    <artist>A &amp; &lt;B&gt;</artist>\n</playlist>\n");
        QVERIFY(file.copyTo(dir.path()) && file.clear({}));
        QCOMPARE(readFile(file.filePath()),
                 head + "</city>\n        <contry></contry>\n        <countrycode></countrycode>\n"
                        "    </location>\n</playlist>\n");
        QVERIFY(file.append("Röyksopp & <Robyn>", QString(), t0, berlin));
        QVERIFY(file.copyTo(dir.path())); // replaces the first copy
        const QByteArray before = readFile(file.filePath());
        QCOMPARE(readFile(dir.filePath(file.fileName())), before);
        // A file size limit fails the next write as a full disk does, for root too.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit small{rlim_t(before.size()), old.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = file.append("B", "Tr&ck <2>", t0.addSecs(1), berlin);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!written && file.errorString().contains("disk may be full"));
        QCOMPARE(readFile(file.filePath()), before);
        // A hand edit stays; whatever else became of the file, no track is lost,
        // nor the one that could not be written.
        QStringList all{"2026-12-05T21:03:12", "",          "Röyksopp & Robyn",
                        "2026-12-05T21:03:13", "Tr&ck <2>", "B"};
        for (const QByteArray& damage :
             {QByteArray(before).replace("&lt;Robyn&gt;", "Robyn"), QByteArray("delete"),
              QByteArray("chmod"), QByteArray("\x00\xff<<&&", 6),
              QByteArray("<playlist><date>x</date><track>"),
              QByteArray("<playlist><date>d</date><artist/></playlist>"),
              QByteArray("<playlist><track/><date/><artist/></playlist>")}) {
            const QString path = file.filePath();
            QVERIFY(damage == "delete"  ? QFile::remove(path)
                    : damage == "chmod" ? QFile::setPermissions(path, {})
                                        : writeFile(path, damage));
            QVERIFY(file.append("C", damage.left(4).toHex(), t0, berlin));
            all << "2026-12-05T21:03:12" << damage.left(4).toHex() << "C";
            QCOMPARE(onDisk(file.filePath()), all);
        }
        QCOMPARE(QDir(file.folder()).entryList(QDir::Files), QStringList{file.fileName()});
    }

    // One set through the controller: the outputs in their order, tracks outside a
    // set only shown, a real broadcast after a port change still written, a
    // burst written whole, a second set in the same second in a file of its own.
    void aSet()
    {
        FENK_REQUIRE_PROGRAM("oggenc", "vorbis-tools");
        QTemporaryDir dir;
        LogCapture log;
        QStringList calls;
        Recorder view(calls, "view", true), web(calls, "web"), account(calls, "post");
        StatusModel status;
        SetController set;
        set.setClock([] { return t0; });
        PostingOutput posting(
            [] { return PostingOutput::Texts{"np", false, true, "#go", "hi", "#end", "bye"}; });
        posting.addTarget(&account);
        TrackListOutput trackList(dir.path(), "web.example", &status);
        for (SetOutput* output :
             std::initializer_list<SetOutput*>{&view, &posting, &web, &trackList})
            set.addOutput(output);
        ListenerControl listeners({0, 0, "127.0.0.1", QDir(dir.path()), false}, &status);
        QObject::connect(&listeners, &ListenerControl::trackReported, &set, &SetController::report);
        listeners.startListening();
        // The line tells the port the system gave: "listening — port N".
        QTRY_COMPARE(status.line("broadcast").state, "listening");
        const auto broadcast = [&](quint16 port, const QString& title) {
            SourceClient source;
            return source.connectTo(port) &&
                   source.send("SOURCE /live.ogg HTTP/1.0\r\n\r\n" +
                               oggtest::encode(dir.path(), {"ARTIST=A", "TITLE=" + title}, 7)) &&
                   QTest::qWaitFor([&] { return calls.join('|').contains(title); }, 5000);
        };
        const quint16 firstPort = status.line("broadcast").detail.section(' ', 1).toUShort();
        QVERIFY(broadcast(firstPort, "Before"));
        QCOMPARE(calls, QStringList{"view Before"});
        set.start(); // no location: no start post, and the log says why
        QVERIFY(log.contains("WRN\tNo start message posted: the location is empty"));
        set.setLocation("Berlin");
        const QDateTime now = t0.addSecs(120);
        set.report(Track::serato(2, "S", "Deck", now, 60000));
        const quint16 port = freePort();
        listeners.setBroadcastPort(port); // a port change during the set: the old port is let go
        QTcpServer old;
        QVERIFY(old.listen(QHostAddress::LocalHost, firstPort));
        old.close();
        QTRY_COMPARE(status.text("broadcast"), QString("listening \u2014 port %1").arg(port));
        QVERIFY(broadcast(port, "After"));
        set.report(Track::broadcast("A", "Stop", "/live.ogg", now));
        set.stop();
        QCOMPARE(calls.mid(1, 8),
                 (QStringList{"view start", "web start", "view Deck@04:12",
                              "post now playing: np : S - #Deck", "web Deck@04:12", "view After",
                              "post now playing: np : A - #After", "web After"}));
        QCOMPARE(calls.mid(12),
                 (QStringList{"view stop", "post stop: #end bye Berlin", "web stop"}));
        QCOMPARE(set.history().size(), 3);
        QVERIFY(trackList.waitForWrites(5000));
        const QString first = trackList.filePath();
        QCOMPARE(onDisk(first).mid(1).filter(QRegularExpression("^[A-Z]")),
                 (QStringList{"After", "A", "Stop", "A"})); // broadcasts only
        set.start();                                        // the same second: a file of its own
        QVERIFY(trackList.filePath() != first && trackList.filePath().endsWith(" (2).xml"));
        for (int i = 0; i < 4000; ++i)
            set.report(Track::broadcast("A", QString::number(i), "/m", now));
        set.stop();
        QVERIFY(trackList.waitForWrites(30000));
        QCOMPARE(onDisk(trackList.filePath()).size(), 3 * 4000);
        QCOMPARE(onDisk(first).size(), 6);
        // A status line is logged when it changes, not each time it is set.
        QCOMPARE(log.text().count("Status Tracklist: writing"), 2);
        QCOMPARE(log.text().count("Status Broadcast: listening"), 2);
    }

    void reports()
    {
        FakeWebService service;
        QVERIFY(service.start(m_certs));
        WebServiceClient web(&m_nam, service.host());
        QVERIFY(web.setExtraCaCertificates(m_certs + QStringLiteral("/ca.pem")));
        QSignalSpy failed(&web, &WebServiceClient::reportFailed);
        const WebServiceClient::Identity who{"42&ti=1", "dj name+", "Köln #DE"};
        const QString artist = "A & B #1 +2 ?/#; %2", track = "x=y&z=%41 \"'<> %1%3 Ñandú 日本 🎧";
        web.sendTrack(who, artist, track);
        QTRY_COMPARE(service.count(), 1);
        web.sendSession(who, true, "1.9", "6");
        QTRY_COMPARE(service.count(), 2);
        web.sendSession(who, false, "1.9", "1");
        QTRY_COMPARE(service.count(), 3);
        QStringList got;
        for (const QJsonObject& request : service.events()) {
            got << request.value("path").toString();
            const QJsonObject params = request.value("params").toObject();
            for (auto it = params.begin(); it != params.end(); ++it) // in key order
                got << it.key() + '=' + it.value().toString();
        }
        const QString token = "api_token=5c1e7a90d2b34f68a0e9c7b1d3f2a846|";
        const QString id = "|te=Köln #DE|ti=42&ti=1|tl=Köln #DE|tn=dj name+|";
        QCOMPARE(got.join('|'), "/track.php|" + token + "ta=" + artist + id + "tt=" + track +
                                    "|/session.php|" + token + "sp=6" + id + "ts=1|tv=1.9" +
                                    "|/session.php|" + token + "sp=1" + id + "ts=0|tv=1.9");
        QCOMPARE(failed.count(), 0);
    }

    void replies_data()
    {
        QTest::addColumn<QJsonObject>("config");   // empty: a server we do not trust
        QTest::addColumn<QStringList>("expected"); // city, country, code, version; or the error
        const auto row = [](const char* name, const QJsonObject& config, const QStringList& e) {
            QTest::newRow(name) << config << e;
        };
        const QJsonValue none = QJsonValue::Null;
        row("all", {{"version", "2.0"}}, {"Berlin", "Germany", "DE", "2.0"});
        row("no keys", {{"city", ""}, {"country", none}, {"country_code", none}, {"version", none}},
            {"", "", "", ""});
        row("compact", {{"compact", true}, {"city", "Saint-Étienne & <Co>"}},
            {"Saint-Étienne & <Co>", "Germany", "DE", "1.9"});
        row("value elsewhere",
            {{"raw", "<d><key>City</key><integer>1</integer><string>X</string><key>Country</key>"
                     "<!-- c --> <string>DE</string><key>version</key>\n<string>2.1</string>"
                     "<string>9</string></d>"}},
            {"", "DE", "", "2.1"});
        QString bomb = "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaaaaaaaa\">"; // 16^11 bytes expanded
        for (char e = 'b'; e <= 'k'; ++e)
            bomb += QStringLiteral("<!ENTITY %1 \"%2\">")
                        .arg(QChar(e), QStringLiteral("&%1;").arg(QChar(e - 1)).repeated(16));
        row("entity bomb", {{"raw", bomb + "]><d><key>City</key> <string>&k;</string></d>"}},
            {"", "", "", ""});
        row("never answers", {{"hang", true}}, {"No reply within 0.3 s"});
        row("HTTP 500", {{"status", 500}}, {"HTTP 500"});
        row("oversized", {{"pad", 200000}}, {"larger"});
        row("untrusted", {}, {"TLS: "});
    }
    void replies()
    {
        QFETCH(QJsonObject, config);
        QFETCH(QStringList, expected);
        FakeWebService service;
        QVERIFY(service.start(m_certs, config.isEmpty() ? "untrusted" : "server") &&
                service.configure(config));
        WebServiceClient web(&m_nam, service.host());
        web.setExtraCaCertificates(m_certs + QStringLiteral("/ca.pem"));
        // Not less: a loaded machine may take that long for a real answer.
        web.setTimeout(config.contains("hang") ? 300 : 30000);
        QSignalSpy found[] = {{&web, &WebServiceClient::locationFound},
                              {&web, &WebServiceClient::versionFound}};
        QSignalSpy failed[] = {{&web, &WebServiceClient::locationFailed},
                               {&web, &WebServiceClient::versionFailed},
                               {&web, &WebServiceClient::reportFailed}};
        web.lookupLocation();
        web.checkVersion();
        web.sendTrack({}, "A", "T");
        const bool fails = expected.size() == 1;
        QTRY_COMPARE(found[0].count() + found[1].count() + failed[0].count() + failed[1].count() +
                         failed[2].count(),
                     2 + (fails && !config.contains("pad")));
        if (fails) {
            QCOMPARE(found[0].count() + found[1].count(), 0);
            QVERIFY(failed[0].value(0).value(0).toString().contains(expected[0]));
        } else {
            QCOMPARE(found[0].value(0) + found[1].value(0),
                     QVariantList(expected.begin(), expected.end()));
        }
        if (config.isEmpty())
            QTRY_COMPARE(service.count("tls-failed"), 3); // nothing reached HTTP
    }
};

QTEST_GUILESS_MAIN(TestPipeline)
#include "tst_pipeline.moc"
