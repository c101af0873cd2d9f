#include "files.h"
#include "freeport.h"
#include "headlesschromium.h"
#include "nowplayingfile.h"
#include "overlayserver.h"
#include "peers.h"
#include "setcontroller.h"
#include "setexport.h"
#include "setfiles.h"
#include "sethistoryfile.h"
#include "statusmodel.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
const QDateTime t0(QDate(2026, 12, 5), QTime(21, 3, 12), Qt::OffsetFromUTC, 3600);

Track seratoAt(int deck, const char* artist, const char* title, qint64 reportMs)
{
    return Track::serato(deck, artist, title, t0.addMSecs(reportMs), 60000);
}

// Two sources: a Serato track reported after its review delay began before the
// broadcast track reported just before it, one even before the set started.
QVector<Track> twoSourceSet()
{
    return {Track::broadcast("Ann, Bee", "Say \"Hi\"", "/live.ogg", t0.addMSecs(500)),
            seratoAt(3, "DJ Zero", "Early", 30000), seratoAt(2, "DJ X", "Tune", 600040),
            Track::broadcast(QString::fromUtf8("\xc3\x89mile"), "Line\nBreak", "/live.ogg",
                             t0.addMSecs(3723500)),
            seratoAt(1, "Deck One", "Last", 6060500)};
}

// Sends request on a fresh connection; everything the server answers until it
// closes or waitMs pass.
QByteArray exchange(quint16 port, const QByteArray& request, int waitMs = 2000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return "no connection";
    socket.write(request);
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < waitMs)
        if (socket.waitForReadyRead(50))
            answer += socket.readAll();
    return answer + socket.readAll();
}
} // namespace

class TestOverlay : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SetController m_set;
    QDateTime m_now = t0;

    // A server on a port of the system's choosing, listening when it returns.
    std::shared_ptr<OverlayServer> startServer(overlay_http_options options = {}, int port = 0)
    {
        std::shared_ptr<OverlayServer> server(new OverlayServer(m_dir.path(), nullptr, options),
                                              [this](OverlayServer* gone) {
                                                  m_set.removeOutput(gone);
                                                  delete gone;
                                              });
        OverlaySettings settings;
        settings.port = port;
        server->apply(settings);
        if (!QTest::qWaitFor([&] { return server->port() > 0; }, 5000))
            return nullptr;
        m_set.stop();
        m_set.addOutput(server.get());
        m_set.start();
        return server;
    }
    void play(const Track& track)
    {
        m_now = track.received;
        m_set.report(track);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_set.setClock([this] { return m_now; });
    }
    void init()
    {
        m_now = t0;
        m_set.stop();
        m_set.start();
    }

    void exports_data()
    {
        QTest::addColumn<QByteArray>("actual");
        QTest::addColumn<QByteArray>("expected");
        const QVector<Track> set = twoSourceSet();
        QTest::newRow("text") << SetExport::plainText(t0, set).toUtf8()
                              << QByteArray("[00:00] DJ Zero - Early\n"
                                            "[00:00] Ann, Bee - Say \"Hi\"\n"
                                            "[09:00] DJ X - Tune\n"
                                            "[1:02:03] \xc3\x89mile - Line Break\n"
                                            "[1:40:00] Deck One - Last\n");
        QTest::newRow("cue") << SetExport::cueSheet(t0, set, "Set", "Set.wav")
                             << QByteArray("REM COMMENT \"FENK\"\r\nTITLE \"Set\"\r\n"
                                           "FILE \"Set.wav\" WAVE\r\n"
                                           "  TRACK 01 AUDIO\r\n    TITLE \"Early\"\r\n"
                                           "    PERFORMER \"DJ Zero\"\r\n"
                                           "    INDEX 01 00:00:00\r\n"
                                           "  TRACK 02 AUDIO\r\n    TITLE \"Say 'Hi'\"\r\n"
                                           "    PERFORMER \"Ann, Bee\"\r\n"
                                           "    INDEX 01 00:00:37\r\n"
                                           "  TRACK 03 AUDIO\r\n    TITLE \"Tune\"\r\n"
                                           "    PERFORMER \"DJ X\"\r\n"
                                           "    INDEX 01 09:00:03\r\n"
                                           "  TRACK 04 AUDIO\r\n    TITLE \"Line Break\"\r\n"
                                           "    PERFORMER \"\xc3\x89mile\"\r\n"
                                           "    INDEX 01 62:03:37\r\n"
                                           "  TRACK 05 AUDIO\r\n    TITLE \"Last\"\r\n"
                                           "    PERFORMER \"Deck One\"\r\n"
                                           "    INDEX 01 100:00:37\r\n");
        QTest::newRow("csv") << SetExport::csv(t0, set)
                             << QByteArray("time,artist,title,source,deck\r\n"
                                           "0:00:00,DJ Zero,Early,serato,3\r\n"
                                           "0:00:00,\"Ann, Bee\",\"Say \"\"Hi\"\"\",broadcast,"
                                           "/live.ogg\r\n"
                                           "0:09:00,DJ X,Tune,serato,2\r\n"
                                           "1:02:03,\xc3\x89mile,\"Line\nBreak\",broadcast,"
                                           "/live.ogg\r\n"
                                           "1:40:00,Deck One,Last,serato,1\r\n");
        QTest::newRow("cue times")
            << (SetExport::cueTime(5999999) + ' ' + SetExport::cueTime(6000000) + ' ' +
                SetExport::cueTime(13) + ' ' + SetExport::cueTime(14))
                   .toUtf8()
            << QByteArray("99:59:74 100:00:00 00:00:00 00:00:01");
    }
    void exports()
    {
        QFETCH(QByteArray, actual);
        QTEST(actual, "expected");
    }

    // The files a set leaves: its history line by line while it runs, the
    // exports at its end, the now-playing file without the private tracks.
    void setFiles()
    {
        const QString folder = m_dir.filePath("FENK");
        SetHistoryFile history(folder);
        NowPlayingFile nowPlaying(m_dir.path());
        nowPlaying.setHidePattern(" unreleased , [id],");
        m_set.stop();
        m_set.addOutput(&history);
        m_set.addOutput(&nowPlaying);
        m_set.start();
        QString exported; // emitted on the writer's thread, received here queued
        connect(&history, &SetHistoryFile::exported, this, [&](QString base) { exported = base; });
        const QVector<Track> set = twoSourceSet();
        for (const Track& track : set.mid(0, 3)) {
            play(track);
            history.waitForWrites();
            QCOMPARE(readFile(history.historyPath()).count('\n'), m_set.history().size());
        }
        // A full disk cuts this line short; the set's end writes the rest.
        bool failed = false;
        connect(&history, &SetHistoryFile::writeFailed, this, [&] { failed = true; });
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit full{rlim_t(QFileInfo(history.historyPath()).size() + 10), old.rlim_max};
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &full), 0);
        play(Track::broadcast("Who", "Dub [ID] edit", "/live.ogg", t0.addSecs(900)));
        history.waitForWrites();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
        QTRY_VERIFY(failed);
        nowPlaying.waitForWrites();
        QCOMPARE(readFile(nowPlaying.path()), QByteArray("DJ X - Tune"));
        m_set.stop();
        QTRY_VERIFY(!exported.isEmpty());
        m_set.removeOutput(&history);
        m_set.removeOutput(&nowPlaying);

        const QString base = folder + "/05.12.2026 21.03.12";
        QCOMPARE(exported, base);
        const QList<QByteArray> lines = readFile(base + ".history.jsonl").split('\n');
        QCOMPARE(lines.size(), 5);
        const QJsonObject serato = QJsonDocument::fromJson(lines.at(1)).object();
        QCOMPARE(serato.value("time").toString(), "2026-12-05T21:02:42+01:00");
        QCOMPARE(serato.value("offset").toDouble(), -30.0);
        QCOMPARE(serato.value("deck").toString(), "3");
        QCOMPARE(QJsonDocument::fromJson(lines.at(3)).object().value("title").toString(),
                 "Dub [ID] edit");
        QCOMPARE(readFile(base + ".cue"),
                 SetExport::cueSheet(t0, m_set.history(), "05.12.2026 21.03.12",
                                     "05.12.2026 21.03.12.wav"));
        QCOMPARE(readFile(base + ".txt").count('\n'), 4);
    }

    // The set's files as the window has them: the overlay's port in use shows as a
    // listener's does; the hide pattern keeps the now-playing file quiet too; a history
    // or export that cannot be written says so, until the next set.
    void setFilesStatus()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        StatusModel status;
        const QString blocked = m_dir.filePath("blocked");
        QVERIFY(writeFile(blocked, "a file where the folder should be"));
        m_set.stop();
        SetFiles files(
            m_set, status, blocked, [&] { return blocked + "/set.xml"; }, m_dir.path());
        OverlaySettings settings;
        settings.port = squatter.serverPort();
        settings.hidePattern = "secret";
        files.apply(settings);
        QTRY_COMPARE(status.text("overlay"),
                     QString("not listening \u2014 port %1: bind: Address already in use")
                         .arg(settings.port));
        m_set.start();
        play(Track::broadcast("Ann", "Top Secret", "/live.ogg", t0.addSecs(1)));
        files.nowPlaying().waitForWrites();
        QCOMPARE(readFile(files.nowPlaying().path()), QByteArray());
        QTRY_COMPARE(status.text("setfiles"),
                     "NOT WRITTEN \u2014 " + blocked + "/set.history.jsonl: Not a directory");
        QSignalSpy failed(&files, &SetFiles::exportByHandFailed);
        files.exportSet();
        QVERIFY(failed.wait());
        QCOMPARE(status.text("setfiles"), "NOT EXPORTED \u2014 cannot create " + blocked);
        m_set.stop();
        m_set.start();
        QCOMPARE(status.text("setfiles"), QString());
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("text") << QByteArray("GET /nowplaying.txt HTTP/1.1\r\nHost: x\r\n"
                                            "Connection: close\r\n\r\n")
                              << QByteArray("HTTP/1.1 200 OK*\r\n\r\nAnn, Bee - Say \"Hi\"");
        QTest::newRow("json head") << QByteArray("HEAD /nowplaying.json?x HTTP/1.0\r\n\r\n")
                                   << QByteArray("HTTP/1.0 200 OK*application/json*"
                                                 "Content-Length: *\r\n\r\n");
        QTest::newRow("template") << QByteArray("GET / HTTP/1.0\r\n\r\n")
                                  << QByteArray("HTTP/1.0 200 OK*\r\n\r\n<p>mine</p>");
        QTest::newRow("post") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                              << QByteArray("HTTP/1.1 405 *Allow: GET, HEAD*");
        QTest::newRow("traversal")
            << QByteArray("GET /../overlay.html HTTP/1.1\r\n\r\n"
                          "GET /%2e%2e/ HTTP/1.1\r\nConnection: close\r\n\r\n")
            << QByteArray("HTTP/1.1 404 *HTTP/1.1 404 *");
        QTest::newRow("8 KiB head")
            << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(8200, 'a') + "\r\n\r\n")
            << QByteArray("HTTP/1.1 431 *");
        QTest::newRow("garbage") << QByteArray("\x16\x03\x01 hello\r\n\r\n")
                                 << QByteArray("HTTP/1.1 400 *");
    }
    void requests()
    {
        QFETCH(QByteArray, request);
        QVERIFY(writeFile(m_dir.filePath("overlay.html"), "<p>mine</p>"));
        const auto server = startServer();
        QVERIFY(server);
        play(twoSourceSet().at(0));
        play(Track::broadcast("Ann", "Secret [ID]", "/live.ogg", t0.addSecs(60)));
        QFETCH(QByteArray, answer);
        const QByteArray actual = exchange(static_cast<quint16>(server->port()), request);
        QVERIFY2(QRegExp(answer, Qt::CaseSensitive, QRegExp::Wildcard).exactMatch(actual),
                 actual.left(300).constData());
        QFile::remove(m_dir.filePath("overlay.html"));
    }

    // Limits hold against idle, slow and surplus clients, and the server keeps
    // answering; event streams stay and get every track and heartbeat.
    void limits()
    {
        overlay_http_options options;
        options.request_deadline = std::chrono::milliseconds(300);
        options.heartbeat = std::chrono::milliseconds(200);
        const auto server = startServer(options);
        QVERIFY(server);
        const quint16 port = static_cast<quint16>(server->port());

        OverlayServer second(m_dir.path());
        OverlaySettings taken;
        taken.port = port;
        second.apply(taken);
        QTRY_VERIFY(second.state() == "not listening");
        QVERIFY2(second.detail().contains("bind"), qPrintable(second.detail()));

        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 100; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        idle.back()->write("GET / HTTP/1.1\r\n"); // and never the rest
        QVERIFY(idle.back()->waitForConnected(2000));
        QVERIFY(exchange(port, "GET /nowplaying.txt HTTP/1.0\r\n\r\n").startsWith("HTTP/1.0 200"));
        QTRY_VERIFY_WITH_TIMEOUT(idle.back()->state() == QAbstractSocket::UnconnectedState, 2000);

        std::vector<std::unique_ptr<QTcpSocket>> streams;
        for (int i = 0; i < 33; ++i) {
            streams.push_back(std::make_unique<QTcpSocket>());
            streams.back()->connectToHost(QHostAddress::LocalHost, port);
            streams.back()->write("GET /events HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(streams.back()->bytesAvailable() > 0);
        }
        QTRY_VERIFY(streams.front()->state() == QAbstractSocket::UnconnectedState);
        QTest::qWait(600); // past the request deadline: streams are not idle-closed
        play(twoSourceSet().at(2));
        for (std::size_t i = 1; i < streams.size(); ++i) {
            QTRY_VERIFY(streams[i]->bytesAvailable() > 0 &&
                        streams[i]->peek(1 << 16).contains("\"title\":\"Tune\""));
            QVERIFY(streams[i]->readAll().contains(": heartbeat\n\n"));
        }

        FENK_REQUIRE_PROGRAM("curl", "curl");
        streams.clear();
        QProcess curl;
        curl.start("curl",
                   {"-sN", "--max-time", "20", QString("http://127.0.0.1:%1/events").arg(port)});
        QByteArray out;
        QTRY_VERIFY((out += curl.readAllStandardOutput()).contains("event: track\ndata: {"));
        play(Track::broadcast("Cee", "Pushed", "/live.ogg", t0.addSecs(70)));
        QTRY_VERIFY((out += curl.readAllStandardOutput()).contains("\"title\":\"Pushed\""));
        curl.kill();
        curl.waitForFinished();
    }

    // The built-in page in a real browser shows each track as it is reported,
    // without a reload, and comes back by itself after the server went away.
    void pageInChromium()
    {
        FENK_REQUIRE_PROGRAM("chromium", "chromium");
        const quint16 port = freePort();
        auto server = startServer({}, port);
        QVERIFY(server);
        play(twoSourceSet().at(0));

        HeadlessChromium chromium(server->address());
        QVERIFY(chromium.connectToPage());
        // What a viewer sees: the page's background, whether the card is faded
        // in, and its title.
        const auto shown = [&] {
            return chromium.evaluate("getComputedStyle(document.body).backgroundColor + '|' + "
                                     "document.getElementById('card').className + '|' + "
                                     "document.getElementById('title').textContent");
        };
        QTRY_COMPARE_WITH_TIMEOUT(shown(), "rgba(0, 0, 0, 0)|shown|Say \"Hi\"", 10000);
        play(Track::broadcast("Next", "Live push", "/live.ogg", t0.addSecs(300)));
        QTRY_COMPARE_WITH_TIMEOUT(shown(), "rgba(0, 0, 0, 0)|shown|Live push", 1000);

        OverlaySettings settings;
        settings.port = port;
        settings.active = false;
        server->apply(settings);
        settings.active = true;
        server->apply(settings);
        QTRY_VERIFY(server->state() == "listening");
        play(Track::broadcast("Back", "After restart", "/live.ogg", t0.addSecs(400)));
        QTRY_COMPARE_WITH_TIMEOUT(shown(), "rgba(0, 0, 0, 0)|shown|After restart", 15000);
        m_set.stop();
        QTRY_COMPARE_WITH_TIMEOUT(shown(), "rgba(0, 0, 0, 0)||After restart", 2000);
    }
};

QTEST_GUILESS_MAIN(TestOverlay)
#include "tst_overlay.moc"
