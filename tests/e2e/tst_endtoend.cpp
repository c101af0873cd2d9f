// One set played through the real program against real peers; what the window
// showed is read back from events.log, where FENK records it.
#include "fakenetworks.h"
#include "faketwitter.h"
#include "fakewebservice.h"
#include "fenktestconfig.h"
#include "files.h"
#include "freeport.h"
#include "oggtestdata.h"
#include "peers.h"
#include "seratotestdata.h"
#include "testhome.h"
#include "tracklistfile.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

namespace {

const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");

QString eventLog()
{
    return QString::fromUtf8(
        readFile(QDir::homePath() + "/.local/share/Orvane Media GmbH/FENK/events.log"));
}

bool logged(const QString& record)
{
    return QTest::qWaitFor([&] { return eventLog().contains(record); }, 15000);
}

// Runs to a clean end; a later start of fenk with a command hands over and ends at once.
bool run(const QString& program, const QStringList& args, const QString& input = QString())
{
    QProcess p;
    if (!input.isEmpty())
        p.setStandardInputFile(input);
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool broadcast(const QString& folder, quint16 port, const QList<QStringList>& tracks)
{
    static int serial = 900;
    QByteArray chain;
    for (const QStringList& t : tracks)
        chain += oggtest::encode(folder, {"ARTIST=" + t[0], "TITLE=" + t[1]}, ++serial);
    const QString file = folder + "/set.ogg";
    return writeFile(file, chain) &&
           run("shout",
               {"--format", "ogg", "--host", "127.0.0.1", "--port", QString::number(port),
                "--mount", "/live.ogg", "--pass", "hackme", "--tls-mode", "disabled"},
               file);
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aSetFromStartToStop()
    {
        FENK_REQUIRE_PROGRAM("oggenc", "vorbis-tools");
        FENK_REQUIRE_PROGRAM("shout", "libshout-tools");
        FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        FENK_REQUIRE_PROGRAM("curl", "curl");
        QTemporaryDir work;
        FakeTwitter twitter;
        QVERIFY(twitter.makeCertificates(work.path()));
        // An app the service allows only v2: every v1.1 call is refused with code 453.
        QVERIFY(twitter.start(
            work.path(), QStringLiteral("server"),
            {"--access-token", "4242-Stored", "--access-secret", "StoredSecret", "--v2-only"}));
        FakeWebService service;
        QVERIFY(service.start(work.path()));
        FakeNetworks networks; // Mastodon, Bluesky and Discord
        QVERIFY(networks.start(work.path(), "server", {"--lifetime", "600"}));
        const quint16 traktorPort = freePort(), abletonPort = freePort(), overlayPort = freePort();
        const QString sessions = work.path() + "/sessions", sessionFile = sessions + "/7.session";
        QVERIFY(writeFile(sessionFile, seratotest::header()));
        useApiHost(twitter.host(), work.path() + "/ca.pem");
        QSettings store;
        store.setValue("advanced/ServiceHost", service.host());
        store.setValue("advanced/WebSiteHost", "www.fenk.example");
        store.setValue("oAuth/OAuthAccessTokenKey", "4242-Stored");
        store.setValue("oAuth/OAuthAccessTokenSecret", "StoredSecret");
        store.setValue("LocationServices", true);
        store.setValue("twitter/hashtagArtist", true);
        store.setValue("icecast/Port", traktorPort);
        store.setValue("ableton/Port", abletonPort);
        store.setValue("ableton/MasterClip", true);
        store.setValue("serato/SessionDir", sessions);
        store.setValue("serato/Delay", 3);
        store.setValue("overlay/Port", overlayPort);
        networks.useIn(store, work.path() + "/ca.pem");
        store.sync();
        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(fenk, {"--hidden"}); // as the login's autostart entry starts it
        QVERIFY(first.waitForStarted());
        QVERIFY(logged("FENK started in the tray, its window hidden"));
        QVERIFY(logged("Location: Berlin, Germany (DE)"));
        QVERIFY(logged(QString("Status Broadcast: listening \u2014 port %1").arg(traktorPort)));
        QVERIFY(logged("Status Twitter: @dj_fenk"));
        QVERIFY(logged("Status Mastodon: @dj@" + networks.host()));
        QVERIFY(logged("Status Bluesky: @dj.test"));

        QVERIFY(run(fenk, {"--start"}));
        QVERIFY(logged("Set started"));
        QVERIFY(
            logged("Status Serato: watching \u2014 folder " + QDir::toNativeSeparators(sessions)));
        // Three tracks in one broadcast, as Traktor sends them.
        QVERIFY(broadcast(work.path(), traktorPort,
                          {{"DJ Nr 1 & Friend", "Tune #1"},
                           {"DJ Nr 2 & Friend", "Tune #2"},
                           {"DJ Nr 3 & Friend", "Tune #3"}}));
        QVERIFY(logged("Shown: DJ Nr 3 & Friend - Tune #3"));
        // Serato writes a deck change into its growing session file.
        QVERIFY(writeFile(sessionFile, seratotest::oent({1, 2, "Deck Tune", "Röyk"}),
                          QIODevice::Append));
        QVERIFY(logged("Shown: Deck #2 - Röyk - Deck Tune"));
        // What the overlay and the now-playing file show follows the set.
        const auto overlay = [&] {
            QProcess curl;
            curl.start("curl", {"-s", QString("127.0.0.1:%1/nowplaying.json").arg(overlayPort)});
            const QJsonObject now =
                QJsonDocument::fromJson(curl.waitForFinished(5000) ? curl.readAll() : "").object();
            return now["state"].toString() + '|' + now["current"]["title"].toString() + '|' +
                   now["previous"][0]["title"].toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(overlay(), "started|Deck Tune|Tune #3", 5000);
        QCOMPARE(readFile(QDir::homePath() + "/.local/share/Orvane Media GmbH/FENK/nowplaying.txt"),
                 "Röyk - Deck Tune");
        const QString abletonAt = QString::number(abletonPort);
        QVERIFY(run("oscsend",
                    {"osc.tcp://127.0.0.1:" + abletonAt, "/pelmora/ableton/tempo", "f", "124"}));
        QVERIFY(logged("tempo 124.000000"));
        QVERIFY(run(fenk, {"--stop"}));
        QVERIFY(logged("Set stopped after 4 tracks"));
        QCOMPARE(overlay(), "stopped|Deck Tune|Tune #3");
        // Stopped: shown, but neither posted, reported nor written.
        QVERIFY(broadcast(work.path(), traktorPort, {{"After", "Stop"}}));
        QVERIFY(logged("Shown: After - Stop"));
        QVERIFY(run(fenk, {"--start"}));
        QTRY_COMPARE_WITH_TIMEOUT(eventLog().count("Set started"), 2, 15000);
        // Posts, one at a time in order: start, one per track (Serato too), stop,
        // and the second set's start and stop, which the service turns down as
        // duplicates and takes with the set's start time.
        const auto posts = [&] {
            QStringList texts;
            for (const QJsonObject& r : twitter.requests())
                if (r.value("path").toString() == QLatin1String("/2/tweets"))
                    texts << r.value("status_text").toString() +
                                 (r.value("valid").toBool() ? "" : " (unsigned)") +
                                 (r.value("status").toInt() == 201 ? "" : " (refused)");
            return texts;
        };
        const auto reports = [&](const QString& path, const QStringList& keys = {}) {
            return service.requests(path, keys + QStringList{"tl"}); // and where from
        };
        QTRY_VERIFY_WITH_TIMEOUT(posts().size() >= 8 && networks.accepted("bluesky").size() >= 7 &&
                                     reports("/track.php").size() >= 4 &&
                                     reports("/session.php").size() >= 3,
                                 15000);
        QVERIFY(run(fenk, {"--quit"})); // during the set: it ends as Stop ends it
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitCode(), 0);

        // The window's lines: the Traktor tracks and the deck, nothing from Ableton.
        QCOMPARE(eventLog().count("\tShown: "), 5);
        const QString playing = QString::fromUtf8("is now playing \u266B : ");
        // The second set's start, " (HH:MM)", from its tracklist's name.
        const QString second =
            QDir(QDir::homePath() + "/Documents/FENK")
                .entryList({"*.xml"}, QDir::Files, QDir::Name)
                .value(1)
                .replace(QRegularExpression(R"(^.* (\d\d)\.(\d\d)\.\d\d\.xml$)"), " (\\1:\\2)");
        QCOMPARE(posts(),
                 (QStringList{"#FENK is starting to play from: Berlin Germany",
                              playing + "#DJ_Nr_1 & #Friend - Tune #1",
                              playing + "#DJ_Nr_2 & #Friend - Tune #2",
                              playing + "#DJ_Nr_3 & #Friend - Tune #3",
                              playing + "#R\u00f6yk - Deck Tune",
                              "#FENK just finished playing from: Berlin Germany",
                              "#FENK is starting to play from: Berlin Germany (refused)",
                              "#FENK is starting to play from: Berlin Germany" + second,
                              "#FENK just finished playing from: Berlin Germany (refused)",
                              "#FENK just finished playing from: Berlin Germany" + second}));

        // The other networks take every post once, in order: no duplicate refusals there.
        QStringList once = posts().filter(QRegularExpression("^[^(]*$")); // the first set
        once += QStringList{once.first(), once.last()};
        for (const char* network : {"mastodon", "bluesky", "discord"})
            QCOMPARE(networks.accepted(network), once);
        // The secrets stay in the settings file (no Secret Service), and out of the log.
        for (const char* secret : {"MastoToken", "app-pass-1234", "HookToken", "StoredSecret"})
            QVERIFY2(!eventLog().contains(secret), secret);

        QCOMPARE(reports("/track.php", {"ta", "tt"}),
                 (QStringList{"DJ Nr 1 & Friend - Tune #1 - Berlin Germany",
                              "DJ Nr 2 & Friend - Tune #2 - Berlin Germany",
                              "DJ Nr 3 & Friend - Tune #3 - Berlin Germany",
                              "R\u00f6yk - Deck Tune - Berlin Germany"}));
        // The account's name and ID, as the window stored them from the check.
        QCOMPARE(reports("/session.php", {"ts", "sp", "tn", "ti"}),
                 (QStringList{"0 - 7 - dj_fenk - 4242 - Berlin Germany",
                              "0 - 7 - dj_fenk - 4242 - Berlin Germany",
                              "1 - 7 - dj_fenk - 4242 - Berlin Germany",
                              "1 - 7 - dj_fenk - 4242 - Berlin Germany"}));

        // Two tracklists: the Traktor tracks in order, no Serato; the second empty.
        const QDir folder(QDir::homePath() + QStringLiteral("/Documents/FENK"));
        QStringList entries;
        for (const QString& name : folder.entryList({"*.xml"}, QDir::Files, QDir::Name)) {
            QVector<TrackListFile::Entry> read;
            QVERIFY(TrackListFile::readEntries(readFile(folder.filePath(name)), &read));
            entries << "file";
            for (const TrackListFile::Entry& e : read)
                entries << e.artist + " - " + e.track;
        }
        QCOMPARE(entries,
                 (QStringList{"file", "DJ Nr 1 & Friend - Tune #1", "DJ Nr 2 & Friend - Tune #2",
                              "DJ Nr 3 & Friend - Tune #3", "file"}));
        // Beside the first: its history and exports, Serato's track from when it came on its deck.
        const QString base =
            folder.filePath(folder.entryList({"*.xml"}, QDir::Files, QDir::Name)[0].chopped(4));
        const QString tune = "DJ Nr %1 & Friend,Tune #%1,broadcast,/live.ogg";
        const QStringList played{tune.arg(1), tune.arg(2), tune.arg(3), "Röyk,Deck Tune,serato,2"};
        QList<double> at;
        for (const QByteArray& line : readFile(base + ".history.jsonl").trimmed().split('\n'))
            at << QJsonDocument::fromJson(line).object()["offset"].toDouble();
        QVERIFY(at.size() == 4 && at[3] >= at[2] && at[3] < at[2] + 3);
        QString csv = "time,artist,title,source,deck\r\n";
        for (int i = 0; i < 4; ++i)
            csv += QTime(0, 0).addSecs(int(at[i])).toString("h:mm:ss,") + played[i] + "\r\n";
        QCOMPARE(QString(readFile(base + ".csv")), csv);
        QVERIFY(readFile(base + ".txt")
                    .endsWith(QTime(0, 0).addSecs(int(at[3])).toString("[mm:ss] ").toUtf8() +
                              "Röyk - Deck Tune\n"));
        QCOMPARE(readFile(base + ".cue").count("    INDEX 01 "), 4);
    }
};

FENK_TEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
