// One set played through the real program: a hotkey start, a three-track
// Traktor broadcast, a Serato deck change, an Ableton tempo, a stop and a new
// start. The window's track lines and status lines are read back from
// events.log, where FENK records what it showed.
#include "faketwitter.h"
#include "fakewebservice.h"
#include "fenktestconfig.h"
#include "freeport.h"
#include "oggtestdata.h"
#include "peers.h"
#include "seratotestdata.h"
#include "testhome.h"
#include "tracklist/tracklistfile.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

namespace {

const QString fenk = QStringLiteral(FENK_BINARY_DIR "/fenk");

QString eventLog()
{
    QFile file(QDir::homePath() +
               QStringLiteral("/.local/share/Orvane Media GmbH/FENK/events.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Waits until events.log holds the record (the text after the severity).
bool logged(const QString& record, int timeoutMs = 15000)
{
    return QTest::qWaitFor([&] { return eventLog().contains(record); }, timeoutMs);
}

// A later start with a command; it hands over and ends at once.
bool command(const QString& option)
{
    QProcess second;
    second.start(fenk, {option});
    return second.waitForFinished(15000) && second.exitStatus() == QProcess::NormalExit &&
           second.exitCode() == 0;
}

bool run(const QString& program, const QStringList& args, const QString& input = QString())
{
    QProcess p;
    if (!input.isEmpty())
        p.setStandardInputFile(input);
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Broadcasts the tracks (artist, title) as one Ogg chain through shout.
bool broadcast(const QString& folder, quint16 port, const QList<QStringList>& tracks)
{
    static int serial = 900;
    QFile file(folder + QStringLiteral("/set.ogg"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QStringList& t : tracks)
        file.write(oggtest::encode(folder, {"ARTIST=" + t[0], "TITLE=" + t[1]}, ++serial));
    file.close();
    return run(QStringLiteral("shout"),
               {"--format", "ogg", "--host", "127.0.0.1", "--port", QString::number(port),
                "--mount", "/live.ogg", "--pass", "hackme", "--tls-mode", "disabled"},
               file.fileName());
}

QString param(const QJsonObject& request, const char* key)
{
    return request.value(QStringLiteral("params")).toObject().value(QLatin1String(key)).toString();
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
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
        QTemporaryDir work;
        QVERIFY(FakeTwitter::makeCertificates(work.path()));
        FakeTwitter twitter;
        QVERIFY(
            twitter.start(work.path(), QStringLiteral("server"),
                          {"--access-token", "4242-Stored", "--access-secret", "StoredSecret"}));
        FakeWebService service;
        QVERIFY(service.start(work.path()));

        const quint16 traktorPort = freePort();
        const quint16 abletonPort = freePort();
        const QString sessions = work.path() + QStringLiteral("/sessions");
        QVERIFY(QDir().mkpath(sessions));
        const QString sessionFile = sessions + QStringLiteral("/7.session");
        {
            QFile file(sessionFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(seratotest::header());
        }
        {
            QSettings store;
            store.setValue("advanced/ServiceHost", service.host());
            store.setValue("advanced/TwitterApiHost", twitter.host());
            store.setValue("advanced/WebSiteHost", QStringLiteral("www.fenk.example"));
            store.setValue("advanced/ExtraCaCertificates", work.path() + QStringLiteral("/ca.pem"));
            store.setValue("oAuth/OAuthAccessTokenKey", QStringLiteral("4242-Stored"));
            store.setValue("oAuth/OAuthAccessTokenSecret", QStringLiteral("StoredSecret"));
            store.setValue("LocationServices", true);
            store.setValue("twitter/hashtagArtist", true);
            store.setValue("icecast/Port", traktorPort);
            store.setValue("ableton/Port", abletonPort);
            store.setValue("ableton/MasterClip", true);
            store.setValue("serato/SessionDir", sessions);
            store.setValue("serato/Delay", 1);
        }

        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(fenk, QStringList());
        QVERIFY(first.waitForStarted());
        QVERIFY(logged(QStringLiteral("Location: Berlin, Germany (DE)")));
        QVERIFY(logged(QStringLiteral("Status Traktor: listening on port %1").arg(traktorPort)));
        QVERIFY(logged(QStringLiteral("Status Twitter: @dj_fenk")));

        QVERIFY(command(QStringLiteral("--start")));
        QVERIFY(logged(QStringLiteral("Started; tracklist ")));
        QVERIFY(logged(QStringLiteral("Status Serato: watching folder ") +
                       QDir::toNativeSeparators(sessions)));

        // Three tracks in one broadcast, as Traktor sends them.
        QVERIFY(broadcast(work.path(), traktorPort,
                          {{"DJ Nr 1 & Friend", "Tune #1"},
                           {"DJ Nr 2 & Friend", "Tune #2"},
                           {"DJ Nr 3 & Friend", "Tune #3"}}));
        QVERIFY(logged(QStringLiteral("Shown: DJ Nr 3 & Friend - Tune #3")));

        // Serato writes a deck change into its growing session file.
        {
            QFile file(sessionFile);
            QVERIFY(file.open(QIODevice::Append));
            file.write(
                seratotest::oent({1, 2, QStringLiteral("Deck Tune"), QStringLiteral("Röyk")}));
        }
        QVERIFY(logged(QStringLiteral("Shown: Deck #2 - Röyk - Deck Tune")));

        QVERIFY(run(QStringLiteral("oscsend"),
                    {QStringLiteral("osc.tcp://127.0.0.1:%1").arg(abletonPort),
                     "/pelmora/ableton/tempo", "f", "124"}));
        QVERIFY(logged(
            QStringLiteral("Status Ableton: listening on port %1, tempo 124").arg(abletonPort)));

        QVERIFY(command(QStringLiteral("--stop")));
        QVERIFY(logged(QStringLiteral("Stopped")));
        // Stopped: shown, but neither posted, reported nor written.
        QVERIFY(broadcast(work.path(), traktorPort, {{"After", "Stop"}}));
        QVERIFY(logged(QStringLiteral("Shown: After - Stop")));
        QVERIFY(command(QStringLiteral("--start")));
        QTRY_COMPARE_WITH_TIMEOUT(eventLog().count(QStringLiteral("Started; tracklist ")), 2,
                                  15000);
        // Posts: start, one per track (Serato too), stop, and the second start,
        // which the service turns down as a duplicate of the first.
        const auto posts = [&] {
            QStringList texts;
            for (const QJsonObject& r : twitter.requests())
                if (r.value("path").toString() == QLatin1String("/1.1/statuses/update.json"))
                    texts << r.value("status_text").toString() +
                                 (r.value("valid").toBool() ? "" : " (unsigned)");
            return sorted(texts);
        };
        const auto reports = [&] {
            QStringList texts;
            for (const QJsonObject& r : service.events()) {
                const QString path = r.value("path").toString();
                if (path == QLatin1String("/track.php"))
                    texts << param(r, "ta") + " - " + param(r, "tt") + " @ " + param(r, "tl");
                else if (path == QLatin1String("/session.php"))
                    texts << "session " + param(r, "ts") + param(r, "sp") + " @ " + param(r, "tl");
            }
            return sorted(texts);
        };
        // Everything has left before the program ends.
        QTRY_VERIFY_WITH_TIMEOUT(posts().size() >= 7 && reports().size() >= 7, 15000);
        QVERIFY(command(QStringLiteral("--quit")));
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitCode(), 0);

        // The window's lines: the Traktor tracks and the deck, nothing from Ableton.
        QCOMPARE(eventLog().count(QStringLiteral("\tShown: ")), 5);
        const QString playing = QString::fromUtf8("is now playing \u266B : ");
        QCOMPARE(posts(), sorted({"#FENK is starting to play from: Berlin Germany",
                                  "#FENK is starting to play from: Berlin Germany",
                                  "#FENK just finished playing from: Berlin Germany",
                                  playing + "#DJ_Nr_1 & #Friend - Tune #1",
                                  playing + "#DJ_Nr_2 & #Friend - Tune #2",
                                  playing + "#DJ_Nr_3 & #Friend - Tune #3",
                                  playing + QString::fromUtf8("#R\u00f6yk - Deck Tune")}));

        QCOMPARE(reports(), sorted({"DJ Nr 1 & Friend - Tune #1 @ Berlin Germany",
                                    "DJ Nr 2 & Friend - Tune #2 @ Berlin Germany",
                                    "DJ Nr 3 & Friend - Tune #3 @ Berlin Germany",
                                    QString::fromUtf8("R\u00f6yk - Deck Tune @ Berlin Germany"),
                                    "session 17 @ Berlin Germany", "session 07 @ Berlin Germany",
                                    "session 17 @ Berlin Germany"}));

        // Two tracklists: the Traktor tracks in order, no Serato; the second empty.
        const QDir folder(QDir::homePath() + QStringLiteral("/Documents/FENK"));
        const QStringList files = folder.entryList({"*.xml"}, QDir::Files, QDir::Name);
        QCOMPARE(files.size(), 2);
        QStringList entries[2];
        for (int i = 0; i < 2; ++i) {
            QFile file(folder.filePath(files[i]));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVector<TrackListFile::Entry> read;
            QVERIFY(TrackListFile::readEntries(file.readAll(), &read));
            for (const TrackListFile::Entry& e : read)
                entries[i] << e.artist + " - " + e.track;
        }
        QCOMPARE(entries[0],
                 (QStringList{"DJ Nr 1 & Friend - Tune #1", "DJ Nr 2 & Friend - Tune #2",
                              "DJ Nr 3 & Friend - Tune #3"}));
        QVERIFY(entries[1].isEmpty());
    }
};

FENK_TEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
