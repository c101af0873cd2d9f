#include "adatchunkparser.h"
#include "fenktestconfig.h"
#include "files.h"
#include "peers.h"
#include "seratofileparser.h"
#include "seratotestdata.h"
#include "testhome.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace seratotest;

namespace {

const QString live = QStringLiteral("L\u012aVE");
const QString data = QStringLiteral(FENK_TEST_DATA_DIR "/");
// "deck|artist|title" of every report.
QStringList reports(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& a : spy)
        out.append(a.at(0).toString() + '|' + a.at(1).toString() + '|' + a.at(2).toString());
    return out;
}
// The sqlite3 tool is a writer of its own, as Serato is.
bool sqlite(const QString& db, const QByteArray& sql)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {"-bail", "-cmd", "PRAGMA synchronous = OFF", db});
    p.write(sql);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0 && p.readAllStandardError().isEmpty();
}
const QByteArray fixture = ".read " FENK_TEST_DATA_DIR "/serato4/master.sql\n";
const QString now = "1|Artist Three|Track Three"; // the fixture's track playing now
// A row by DJ on deck, loaded now (and later seconds).
QByteArray insert(int deck, const char* title, int later = 0, int session = 2)
{
    return QString::asprintf(
               "INSERT INTO history_entry (session_id, deck, artist, name, start_time)"
               " VALUES (%d, '%d', 'DJ', '%s', strftime('%%s') + %d);\n",
               session, deck, title, later)
        .toUtf8();
}
bool replace(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from), QFile::encodeName(to)) == 0;
}
} // namespace

class TestSerato : public QObject
{
    Q_OBJECT

    static QByteArray dataFile(const char* name) { return readFile(data + "serato/" + name); }
    QString sessionPath(const QString& name) const { return sessions->filePath(name); }
    QString statePath(const char* name) const { return state->filePath(QLatin1String(name)); }
    std::unique_ptr<SeratoFileParser> makeParser(const QString& database = QString())
    {
        auto parser = std::make_unique<SeratoFileParser>(QDir(sessions->path()), state->path());
        parser->setDatabasePath(database);
        return parser;
    }
    std::unique_ptr<QTemporaryDir> sessions;
    std::unique_ptr<QTemporaryDir> state;

private Q_SLOTS:
    void init()
    {
        sessions = std::make_unique<QTemporaryDir>();
        state = std::make_unique<QTemporaryDir>();
    }

    void entries_data()
    {
        QTest::addColumn<QByteArray>("data");
        // "row|further number|title|artist" of the newest entry on decks 1, 2, ...
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const QByteArray& data, QStringList expected) {
            QTest::newRow(name) << (data.isEmpty() ? dataFile(name) : data) << expected;
        };
        const auto adat = [](int row, const QByteArray& more) {
            return chunk("adat", intField(1, row) + intField(31, 1) + more);
        };
        const auto texts = [](auto t, auto a) { return textField(6, t) + textField(7, a); };
        row("mac24_80_open_entry.session", {}, {"82|80|Big Time Sensuality|Bj\u00f6rk", "-1|-1||"});
        row("mac24_84_two_decks.session", {},
            {"103|84|Lakini's Juice|" + live, "93|84|Take My Anthem|" + live});
        row("win25_1_u64_timestamps.session", {},
            {"5|1|Heaven|Bio Unit", "4|1|Night Owl|Broke For Free"});
        row("mac24_1_appended_duplicates.session", {},
            {"10|1|All I Need|" + live, "9|1|(What's So Funny 'Bout) Peace, Love and "
                                        "Understanding|Matthew Sweet & Susanna Hoffs"});
        row("win_tidal_86_unplayed.session", {},
            {"106|86|BAYAREA.BMP|MASTER BOOT RECORD", "107|86|Laser Evolution|Doomroar"});
        const QByteArray win25 = dataFile("win25_1_u64_timestamps.session");
        const QByteArray inner = adat(8, texts("in", "x"));
        const QByteArray outer = intField(1, 2) + intField(31, 1) + texts("out", "x");
        const auto titled = [&](const char* hex) {
            return adat(1, field(6, QByteArray::fromHex(hex)) + textField(7, "x"));
        };
        row("first entry, no artist", win25.left(win25.indexOf("oent", win25.indexOf("oent") + 1)),
            {"3|1|Origami Repetika - Get Suzie With The Corks|"});
        row("rows 7 then 3", sessionFile({{7, 1, "seven", "A"}, {3, 1, "three", "A"}}),
            {"7|7|seven|A"});
        row("negative row", adat(-5, texts("T", "A")), {"-1|-1||"});
        row("no row field", chunk("adat", intField(31, 1) + texts("T", "A")), {"-1|-1||"});
        row("field longer than payload",
            adat(3, texts("T", "A") + be32(99) + be32(1000) + textField(6, "lost")), {"3|-1|T|A"});
        row("title cut at payload end",
            adat(3, textField(7, "A") + be32(6) + be32(40) + utf16be("Cut")), {"3|-1|Cut|A"});
        row("torn adat inside", chunk("adat", outer + field(17, inner.chopped(3))), {"2|-1|out|x"});
        row("negative length",
            sessionFile({{1, 1, "a", "b"}}) + "adat" + be32(0xfffffff0u) + inner.mid(8),
            {"1|7|a|b"});
        row("mark, lone surrogates", titled("feffd83c0041dfb5"), {"1|-1|\ufffdA\ufffd|x"});
        row("odd length", titled("4100e9fc00"), {"1|-1|A\u00e9\u00fc|x"});
    }
    void entries()
    {
        QFETCH(QByteArray, data);
        QFETCH(QStringList, expected);
        AdatChunkParser parser;
        parser.parse(data);
        for (int deck = 1; deck <= expected.size(); ++deck) {
            qint32 row = -1, field48 = -1;
            QString title, artist;
            parser.latestEntry(deck, row, field48, title, artist);
            QCOMPARE(QStringLiteral("%1|%2|%3|%4").arg(row).arg(field48).arg(title, artist),
                     expected.at(deck - 1));
        }
    }

    void stateFolderIsPrivate_data()
    {
        QTest::addColumn<QString>("setup"); // of the shared folder FENK
        QTest::addColumn<bool>("shared");
        QTest::newRow("ours, open to all") << "mkdir FENK && chmod 777 FENK" << true;
        QTest::newRow("another user's") << "mkdir FENK && chown 65534 FENK" << false;
        QTest::newRow("symbolic link") << "mkdir x && ln -s x FENK" << false;
    }
    void stateFolderIsPrivate()
    {
        QFETCH(QString, setup);
        if (setup.contains("chown") && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        QCOMPARE(QProcess::execute("sh", {"-ec", "cd " + state->path() + " && " + setup}), 0);
        // The fallback is missing: it is made, private.
        const QString folder = state->filePath("FENK");
        const QString chosen = SeratoFileParser::stateFolderFor(folder, state->filePath("a/b"));
        QTEST(chosen == folder, "shared");
        const QFileInfo info(chosen);
        QVERIFY(info.isDir() && !info.isSymLink() && info.ownerId() == ::geteuid());
        QCOMPARE(int(info.permissions() & 0x0777), 0x0700);
    }

    void scenarios_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("fsync"); // ms each sync of the writer takes, as on a slow disk
        // An older session file in the watched folder ("vrsn..."), or SQL on the fixture.
        QTest::addColumn<QByteArray>("setup");
        // "ms|data" after Start: appended to a newer session file, or SQL by a writer that
        // keeps its connection open and every commit in the -wal file. "hold ms|SQL": the
        // window's thread is held till this commit is done, as if its notice came late.
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QPoint>("memory"); // deck 1's played and posted rows from a run before
        const QPoint none(-1, -1);
        const auto row = [](int at, int deck, const char* title, int session = 2) {
            return QByteArray::number(at) + '|' + insert(deck, title, 0, session);
        };
        // Only the newest file counts. Deck 3 is replaced before its delay runs out; deck
        // 4's newest entry has no title: no older one takes its place.
        QTest::newRow("session files")
            << 400 << 0 << sessionFile({{20, 1, "Old", "A"}})
            << QByteArrayList{"0|" + sessionFile({{1, 1, "  Padded  ", "\tTabbed "},
                                                  {2, 3, "First", "C"},
                                                  {3, 4, "Lower", "D"},
                                                  {9, 4, "", "No title"}}),
                              "200|" + oent({4, 2, "Two\nLines", "Smile \U0001F600"}) +
                                  oent({5, 3, "Second", "C"})}
            << QStringList{"1|Tabbed|Padded", "2|Smile \U0001F600|Two Lines", "3|C|Second"} << none;
        // Deck 1's row 12 started last in the fixture's open session: the track playing
        // at Start (now). Deck 2's row 11 is older and never reported. A run that ended
        // without Stop played or posted row 12 already.
        const QByteArrayList one{row(0, 2, "a")};
        QTest::newRow("played before")
            << 0 << 0 << QByteArray() << one << QStringList{"2|DJ|a"} << QPoint(12, -1);
        QTest::newRow("posted before")
            << 0 << 0 << QByteArray() << one << QStringList{"2|DJ|a"} << QPoint(-1, 12);
        QTest::newRow("replaced within delay")
            << 1000 << 0 << QByteArray("UPDATE history_session SET end_time = NULL WHERE id = 2;")
            << QByteArrayList{row(0, 1, "1"), row(300, 2, "2"), row(600, 2, "3")}
            << QStringList{"1|DJ|1", "2|DJ|3"} << none;
        // Deck 3's row is replaced by one we cannot name. A newer session is not read
        // while an older one is open (end_time NULL, -1 or 0).
        QTest::newRow("first 100 ms after Start, decks interleaved")
            << 200 << 0
            << QByteArray("INSERT INTO history_session VALUES (3, 1, 2, ''); UPDATE "
                          "history_session SET end_time = -1 WHERE id = 2;")
            << QByteArrayList{row(0, 3, "a"), row(40, 4, "b"), row(90, 2, "c"), row(100, 3, ""),
                              row(100, 4, "closed", 3)}
            << QStringList{now, "4|DJ|b", "2|DJ|c"} << none;
        QTest::newRow("newer row seen late")
            << 300 << 0 << QByteArray()
            << QByteArrayList{row(0, 1, "a"), "100|", "hold " + row(400, 1, "b")}
            << QStringList{"1|DJ|b"} << none;
        QTest::newRow("slow commit")
            << 0 << 100 << QByteArray() << QByteArrayList{row(0, 1, "a"), row(500, 2, "b")}
            << QStringList{now, "1|DJ|a", "2|DJ|b"} << none;
        // The last commit holds two rows, the later one started first.
        QTest::newRow("long session")
            << 0 << 0
            << QByteArray(
                   "WITH RECURSIVE e(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM e LIMIT 1e5)"
                   " INSERT INTO history_entry (session_id, deck, artist, name) SELECT 2,"
                   " 1 + i % 2, 'DJ', i FROM e;")
            << QByteArrayList{"50|BEGIN;" + insert(1, "b", 9) + insert(3, "a") + "COMMIT;"}
            << QStringList{"1|DJ|100000", "3|DJ|a", "1|DJ|b"} << none;
    }
    void scenarios()
    {
        QFETCH(int, delay);
        QFETCH(int, fsync);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, expected);
        QFETCH(QPoint, memory);
        for (const auto& [file, row] : {std::pair<const char*, int>("Deck1.lastplayed", memory.x()),
                                        {"Deck1.lastposted", memory.y()}})
            QVERIFY(row < 0 ||
                    writeFile(statePath(file), QByteArray::number(row) + "\r\n0\r\nT\r\nA\r\n"));
        const bool folder = setup.startsWith("vrsn");
        const QString target = sessionPath(folder ? "2.session" : "master.sqlite");
        QProcess serato;
        if (folder) {
            const utimbuf longAgo{time(nullptr) - 3600, time(nullptr) - 3600};
            QVERIFY(writeFile(sessionPath("1.session"), setup) &&
                    ::utime(QFile::encodeName(sessionPath("1.session")), &longAgo) == 0 &&
                    QDir(sessions->path()).mkdir("3.session"));
        } else {
            FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
            if (fsync > 0)
                FENK_REQUIRE_PROGRAM("strace", "strace");
            const QString slow = "strace -f -qq -o /dev/null -e inject=fsync,fdatasync:delay_exit=";
            QStringList command = ((fsync > 0 ? slow + QString::number(fsync * 1000) + ' ' : "") +
                                   "sqlite3 -bail " + target)
                                      .split(' ');
            QVERIFY(sqlite(target, fixture + setup));
            serato.start(command.takeFirst(), command);
            serato.write("PRAGMA wal_autocheckpoint = 0;\n");
        }
        auto parser = makeParser(folder ? QString() : target);
        parser->setDatabasePollInterval(3600000); // change notices only
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(delay);
        QElapsedTimer clock;
        clock.start();
        int at = 0;
        for (const QByteArray& step : steps) {
            const QByteArray head = step.left(step.indexOf('|')), data = step.mid(head.size() + 1);
            at = head.mid(head.lastIndexOf(' ') + 1).toInt();
            if (head.startsWith("hold")) {
                QThread::msleep(ulong(qMax(0LL, at - clock.elapsed())));
                serato.write(data + "SELECT 'done';\n");
                QVERIFY(serato.waitForReadyRead(5000));
            } else {
                QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= at; }));
                QVERIFY(folder ? writeFile(target, data, QIODevice::Append)
                               : serato.write(data + '\n') > 0);
            }
        }
        QTRY_COMPARE(reports(spy), expected);
        QVERIFY(clock.elapsed() >= (at + delay) * 9 / 10); // not before the last row's delay
        serato.closeWriteChannel();
        QVERIFY(folder ||
                (serato.waitForFinished(5000) && serato.readAllStandardError().isEmpty()));
    }

    void databaseFaults()
    {
        // Each fault shows in the status once, however often polled; the first file that
        // can be read is the baseline; the file at the path is the one read.
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        const QString db = sessionPath("library/master.sqlite"), x = sessionPath("x");
        const QString shown = "database " + db;
        auto parser = makeParser(db);
        parser->setDatabasePollInterval(100);
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QSignalSpy status(parser.get(), &SeratoFileParser::sourceStatusChanged);
        parser->startWatching(0);
        QTRY_COMPARE(parser->sourceStatus(), shown + " is missing");
        QVERIFY(QDir(sessions->path()).mkdir("library")); // found by the poll
        QCOMPARE(::mkfifo(QFile::encodeName(db).constData(), 0600), 0);
        QTRY_COMPARE(parser->sourceStatus(), shown + ": not a regular file");
        QVERIFY(writeFile(x, QByteArray(4096, 'x')) && replace(x, db));
        QTRY_COMPARE(parser->sourceStatus(), shown + ": file is not a database");
        QVERIFY(sqlite(x, fixture) && replace(x, db));
        QTRY_COMPARE(spy.count(), 1);
        // Another history put in place (its ids went back): a baseline of its own.
        QVERIFY(sqlite(x, fixture + "DELETE FROM history_entry WHERE id > 10;") && replace(x, db));
        QTRY_COMPARE(reports(spy), (QStringList{now, "1|Artist One|Track One"}));
        QCOMPARE(status.count(), 5);
        // Stopped, the decks' memory is gone. A writer that keeps its lock: reads wait for
        // it and fail; stopping does not wait.
        parser->stopWatching();
        QCOMPARE(QDir(state->path()).entryList(QDir::Files), QStringList());
        QProcess serato;
        serato.start("sqlite3", {db});
        serato.write("PRAGMA locking_mode = EXCLUSIVE;\n" + insert(1, "L") + "SELECT 'in';\n");
        QByteArray out;
        QVERIFY(QTest::qWaitFor([&] { return (out += serato.readAll()).endsWith("in\n"); }));
        parser->startWatching(0);
        QTRY_COMPARE(parser->sourceStatus(), shown + ": database is locked");
        QElapsedTimer clock;
        clock.start();
        parser->stopWatching();
        parser->startWatching(0);
        parser->stopWatching();
        QVERIFY2(clock.elapsed() < 250, qPrintable(QString::number(clock.elapsed())));
        // Broken beside the writer's -wal: as root, SQLite hands the -wal back to the
        // file's owner at each open; the notice of that must not start another read.
        parser->startWatching(0);
        QVERIFY(writeFile(x, readFile(db).left(2048)) && replace(x, db));
        QTRY_COMPARE(parser->sourceStatus(), shown + ": database disk image is malformed");
        parser->setDatabasePollInterval(60000);
        QFileSystemWatcher wal({db + "-wal"});
        QSignalSpy opened(&wal, &QFileSystemWatcher::fileChanged);
        QVERIFY(!opened.wait(1000));
        serato.closeWriteChannel();
        QVERIFY(serato.waitForFinished(5000));
    }
};

FENK_TEST_GUILESS_MAIN(TestSerato)
#include "tst_serato.moc"
