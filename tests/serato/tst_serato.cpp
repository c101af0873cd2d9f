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

using namespace seratotest;

namespace {

const QString live = QStringLiteral("L\u012aVE");
// The sqlite3 tool is a writer of its own, as Serato is (not waiting for the disk).
const QStringList writer = {"-bail", "-cmd", "PRAGMA synchronous = OFF"};
// Offsets just past each top-level chunk.
QList<int> topLevelEnds(const QByteArray& data)
{
    QList<int> ends;
    for (int pos = 0; data.size() - pos >= 8;) {
        const auto length = qFromBigEndian<quint32>(data.constData() + pos + 4);
        if (length > quint32(data.size() - pos - 8))
            break;
        ends.append(pos += 8 + int(length));
    }
    return ends;
}
// "row|further number|title|artist" of deck's newest entry in data.
QString latest(const QByteArray& data, int deck)
{
    AdatChunkParser parser;
    parser.parse(data);
    qint32 row = -1, field48 = -1;
    QString title, artist;
    parser.latestEntry(deck, row, field48, title, artist);
    return QStringLiteral("%1|%2|%3|%4").arg(row).arg(field48).arg(title, artist);
}
// "deck|artist|title" of every report.
QStringList reports(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& a : spy)
        out.append(a.at(0).toString() + '|' + a.at(1).toString() + '|' + a.at(2).toString());
    return out;
}
bool sqlite(const QString& db, const QByteArray& sql)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), writer + QStringList(db));
    p.write(sql);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0 && p.readAllStandardError().isEmpty();
}
} // namespace

class TestSerato : public QObject
{
    Q_OBJECT

    static QByteArray dataFile(const char* name) { return readFile(data + "serato/" + name); }
    static QByteArray stateText(int row, const char* title)
    {
        return QByteArray::number(row) + "\r\n84\r\n" + title + "\r\nL\xc4\xaaVE\r\n";
    }
    static QByteArray adat(int row, const QByteArray& more)
    {
        return chunk("adat", intField(1, row) + intField(31, 1) + more);
    }
    static QByteArray texts(const char* title, const char* artist)
    {
        return textField(6, title) + textField(7, artist);
    }
    static bool replace(const QString& from, const QString& to)
    {
        return ::rename(QFile::encodeName(from), QFile::encodeName(to)) == 0;
    }
    // A row of deck loaded now (plus later seconds), by DJ.
    static QByteArray insert(int deck, const char* title, int later = 0, int session = 2)
    {
        return QStringLiteral("INSERT INTO history_entry (session_id, deck, artist, name, "
                              "start_time) VALUES (%1, '%2', 'DJ', '%3', strftime('%s') + %4);")
            .arg(session)
            .arg(deck)
            .arg(title)
            .arg(later)
            .toUtf8();
    }
    QString sessionPath(const QString& name) const { return sessions->filePath(name); }
    QString statePath(const char* name) const { return state->filePath(QLatin1String(name)); }
    QByteArray stateFile(const char* name) const { return readFile(statePath(name)); }
    QStringList stateFiles() const { return QDir(state->path()).entryList(QDir::Files); }
    static bool makeDb(const QString& f)
    {
        return sqlite(f, readFile(data + "serato4/master.sql"));
    }
    std::unique_ptr<SeratoFileParser> makeParser(const QString& database = QString())
    {
        auto parser = std::make_unique<SeratoFileParser>(QDir(sessions->path()), state->path());
        parser->setDatabasePath(database);
        return parser;
    }
    static inline const QString data = QStringLiteral(FENK_TEST_DATA_DIR "/");
    std::unique_ptr<QTemporaryDir> sessions;
    std::unique_ptr<QTemporaryDir> state;

private Q_SLOTS:
    void init()
    {
        sessions = std::make_unique<QTemporaryDir>();
        state = std::make_unique<QTemporaryDir>();
        QVERIFY(sessions->isValid() && state->isValid());
    }

    void entries_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("expected"); // the newest entry on decks 1, 2, ...
        const auto file = [](const char* name, const QStringList& expected) {
            QTest::newRow(name) << dataFile(name) << expected;
        };
        const auto row = [](const char* name, const QByteArray& data, const QString& deck1) {
            QTest::newRow(name) << data << QStringList(deck1);
        };
        file("mac24_80_open_entry.session", {"82|80|Big Time Sensuality|Bj\u00f6rk", "-1|-1||"});
        file("mac24_84_two_decks.session",
             {"103|84|Lakini's Juice|" + live, "93|84|Take My Anthem|" + live});
        file("mac24_1_appended_duplicates.session",
             {"10|1|All I Need|" + live, "9|1|(What's So Funny 'Bout) Peace, Love and "
                                         "Understanding|Matthew Sweet & Susanna Hoffs"});
        file("win25_1_u64_timestamps.session",
             {"5|1|Heaven|Bio Unit", "4|1|Night Owl|Broke For Free"});
        file("win_tidal_86_unplayed.session",
             {"106|86|BAYAREA.BMP|MASTER BOOT RECORD", "107|86|Laser Evolution|Doomroar"});
        const QByteArray win25 = dataFile("win25_1_u64_timestamps.session");
        const QByteArray inner = adat(8, texts("in", "x"));
        const QByteArray outer = intField(1, 2) + intField(31, 1) + texts("out", "x");
        const auto titled = [](const char* hex) {
            return adat(1, field(6, QByteArray::fromHex(hex)) + textField(7, "x"));
        };
        row("first entry, no artist", win25.left(topLevelEnds(win25).at(1)),
            "3|1|Origami Repetika - Get Suzie With The Corks|");
        row("rows 7 then 3", sessionFile({{7, 1, "seven", "A"}, {3, 1, "three", "A"}}),
            "7|7|seven|A");
        row("same row on two decks", sessionFile({{4, 1, "first", "A"}, {4, 2, "second", "A"}}),
            "4|7|second|A");
        row("negative row", adat(-5, texts("T", "A")), "-1|-1||");
        row("no row field", chunk("adat", intField(31, 1) + texts("T", "A")), "-1|-1||");
        row("field longer than payload",
            adat(3, texts("T", "A") + be32(99) + be32(1000) + textField(6, "lost")), "3|-1|T|A");
        row("title cut at payload end",
            adat(3, textField(7, "A") + be32(6) + be32(40) + utf16be("Cut")), "3|-1|Cut|A");
        row("torn adat inside", chunk("adat", outer + field(17, inner.chopped(3))), "2|-1|out|x");
        row("negative length",
            sessionFile({{1, 1, "a", "b"}}) + "adat" + be32(0xfffffff0u) + inner.mid(8), "1|7|a|b");
        row("mark, lone surrogates", titled("feffd83c0041dfb5"), "1|-1|\ufffdA\ufffd|x");
        row("odd length", titled("4100e9fc00"), "1|-1|A\u00e9\u00fc|x");
    }
    void entries()
    {
        QFETCH(QByteArray, data);
        QFETCH(QStringList, expected);
        for (int deck = 1; deck <= expected.size(); ++deck)
            QCOMPARE(latest(data, deck), expected.at(deck - 1));
        // The writer appends while we read: whatever the cut of a whole session
        // file, only whole entries may come out, and the newest whole one per deck.
        const QList<int> ends = topLevelEnds(data);
        for (int cut = 0, whole = 0;
             data.startsWith("vrsn") && ends.last() == data.size() && cut <= data.size(); ++cut) {
            while (whole < ends.size() && ends.at(whole) <= cut)
                ++whole;
            const QByteArray complete = data.left(whole > 0 ? ends.at(whole - 1) : 0);
            for (int deck = 1; deck <= 2; ++deck)
                QCOMPARE(latest(data.left(cut), deck), latest(complete, deck));
        }
    }

    void sessionFolder()
    {
        // Only the newest file counts. Deck 3 is replaced before its delay runs out:
        // only the second entry counts, a full delay after it. Deck 2 does not hold
        // up deck 1. Deck 4's newest entry has no title: no older one takes its place.
        const QString older = sessionPath(QStringLiteral("1.session"));
        const QString file = sessionPath(QStringLiteral("2.session"));
        QVERIFY(writeFile(older, sessionFile({{20, 1, "Old", "A"}})));
        QFile f(older);
        QVERIFY(f.open(QIODevice::Append) &&
                f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
        QVERIFY(QDir(sessions->path()).mkdir(QStringLiteral("3.session"))); // a folder is no file
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QList<qint64> at;
        QElapsedTimer clock;
        connect(parser.get(), &SeratoFileParser::SeratoDataReady, this,
                [&] { at.append(clock.elapsed()); });
        const int delay = 400;
        parser->startWatching(delay);
        QVERIFY(writeFile(file, sessionFile({{1, 1, "  Padded  ", "\tTabbed "},
                                             {2, 3, "First", "C"},
                                             {3, 4, "Lower", "D"},
                                             {9, 4, "", "No title"}})));
        clock.start();
        QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= delay / 2; }));
        QVERIFY(writeFile(
            file, oent({4, 2, "Two\nLines", "Smile \U0001F600"}) + oent({5, 3, "Second", "C"}),
            QIODevice::Append));
        QTRY_COMPARE(spy.count(), 3);
        const QStringList expected{"1|Tabbed|Padded", "2|Smile \U0001F600|Two Lines", "3|C|Second"};
        QCOMPARE(reports(spy), expected);
        // Coarse timers may fire up to 5 % early.
        QVERIFY(at[0] >= delay * 9 / 10 && at[0] < delay * 3 / 2 &&
                at[2] >= delay * 3 / 2 * 9 / 10);
        QVERIFY(!QFile::exists(statePath("Deck4.lastplayed")));
    }

    void stateFilesFromEarlierRun_data()
    {
        // Deck 1's remembered rows (-1: no file); its newest entry is row 103.
        QTest::addColumn<int>("played");
        QTest::addColumn<int>("posted");
        QTest::newRow("no memory") << -1 << -1;
        QTest::newRow("played already") << 103 << 90;
        QTest::newRow("played later") << 120 << -1;
        QTest::newRow("posted already") << 50 << 103;
    }
    void stateFilesFromEarlierRun()
    {
        QFETCH(int, played);
        QFETCH(int, posted);
        const QByteArray before = played < 0 ? QByteArray() : stateText(played, "B");
        if (played >= 0)
            QVERIFY(writeFile(statePath("Deck1.lastplayed"), before));
        if (posted >= 0)
            QVERIFY(writeFile(statePath("Deck1.lastposted"), stateText(posted, "B")));
        const QString file = sessionPath(QStringLiteral("84.session"));
        QVERIFY(writeFile(file, dataFile("mac24_84_two_decks.session")));
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(0);
        QCOMPARE(parser->sourceStatus(),
                 "watching folder " + QDir(sessions->path()).absolutePath());
        QCOMPARE(stateFiles().size(), int(played >= 0) + int(posted >= 0)); // only watching
        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeFile(file, chunk("oren", QByteArray(12, 'x')), QIODevice::Append));
        // Deck 2 (no memory) is reported after deck 1 has been reviewed, at once:
        // the repeat floor is for reviews that found nothing.
        QTRY_VERIFY(reports(spy).value(spy.count() - 1).startsWith('2'));
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        const bool reviewed = played < 103;
        const bool reported = reviewed && posted < 103;
        const QString deck1 = "1|" + live + "|Lakini's Juice";
        QCOMPARE(reports(spy), (reported ? QStringList{deck1} : QStringList()) +
                                   QStringList{"2|" + live + "|Take My Anthem"});
        const QByteArray newest = stateText(103, "Lakini's Juice");
        QCOMPARE(stateFile("Deck1.lastplayed"), reviewed ? newest : before);
        QVERIFY(!reported || stateFile("Deck1.lastposted") == newest);
        QCOMPARE(stateFile("Deck2.lastposted"), stateText(93, "Take My Anthem"));
        if (reviewed && !reported) {
            // The review keeps looking: once the guard is gone, the entry is reported.
            QVERIFY(QFile::remove(statePath("Deck1.lastposted")));
            QVERIFY(spy.wait(5000));
            QCOMPARE(reports(spy).last(), deck1);
        }
    }

    void stateFolderIsPrivate_data()
    {
        QTest::addColumn<QString>("setup"); // of the shared folder FENK
        QTest::addColumn<bool>("shared");
        QTest::newRow("ours, open to all") << "mkdir FENK && chmod 777 FENK" << true;
        QTest::newRow("another user's") << "mkdir FENK && chown 65534 FENK" << false;
        QTest::newRow("symbolic link") << "mkdir x && ln -s x FENK" << false;
        QTest::newRow("plain file") << "touch FENK" << false;
    }
    void stateFolderIsPrivate()
    {
        QFETCH(QString, setup);
        if (setup.contains("chown") && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        QProcess sh;
        sh.setWorkingDirectory(state->path());
        sh.start("sh", {"-ec", setup});
        QVERIFY(sh.waitForFinished() && sh.exitCode() == 0);
        // The fallback is missing: it is made, private.
        const QString folder = state->filePath("FENK");
        const QString chosen = SeratoFileParser::stateFolderFor(folder, state->filePath("a/b"));
        QTEST(chosen == folder, "shared");
        struct stat info;
        QCOMPARE(::lstat(QFile::encodeName(chosen).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode) && info.st_uid == ::geteuid());
        QCOMPARE(int(info.st_mode & 0777), 0700);
    }

    void databaseScenarios_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<QByteArray>("setup");     // after the fixture, before Start
        QTest::addColumn<QByteArrayList>("steps"); // "ms|SQL" after Start, by the open writer
        QTest::addColumn<QStringList>("expected"); // titles are unique
        // Deck 1's row 12 started last of the fixture's open session: the track playing
        // at Start. Deck 2's row 11 is older and never reported.
        const QString now = "1|Artist Three|Track Three";
        QTest::newRow("replaced within delay")
            << 1000 << QByteArray()
            << QByteArrayList{"0|" + insert(1, "One"), "300|" + insert(2, "Two"),
                              "600|" + insert(2, "Three")}
            << QStringList{"1|DJ|One", "2|DJ|Three"};
        QTest::newRow("first 100 ms after Start")
            << 200 << QByteArray()
            << QByteArrayList{"0|" + insert(3, "Early"), "40|" + insert(4, "Next"),
                              "90|" + insert(2, "Third")}
            << QStringList{now, "3|DJ|Early", "4|DJ|Next", "2|DJ|Third"};
        // The last commit holds two rows, the later one started first.
        QTest::newRow("two decks interleaved")
            << 300 << QByteArray()
            << QByteArrayList{"0|" + insert(1, "a"), "100|" + insert(2, "b"),
                              "200|" + insert(1, "c"), "500|" + insert(2, "d"),
                              "600|BEGIN;" + insert(3, "e", 9) + insert(4, "f") + "COMMIT;"}
            << QStringList{"2|DJ|b", "1|DJ|c", "2|DJ|d", "4|DJ|f", "3|DJ|e"};
        QTest::newRow("long session")
            << 0
            << QByteArray("WITH RECURSIVE e(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM e WHERE"
                          " i < 100000) INSERT INTO history_entry (session_id, deck, artist, name)"
                          " SELECT 2, 1 + i % 2, 'DJ', 'Long ' || i FROM e;")
            << QByteArrayList{"0|" + insert(3, "Empty deck"), "50|" + insert(1, "Back")}
            << QStringList{"1|DJ|Long 100000", "3|DJ|Empty deck", "1|DJ|Back"};
    }
    void databaseScenarios()
    {
        QFETCH(int, delay);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, expected);
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        const QString db = sessionPath(QStringLiteral("master.sqlite"));
        QVERIFY(makeDb(db) && sqlite(db, setup));
        // As Serato: the connection stays open and every commit stays in the -wal file.
        QProcess open;
        open.start("sqlite3", writer + QStringList(db));
        open.write("PRAGMA wal_autocheckpoint = 0;\n");
        auto parser = makeParser(db);
        parser->setDatabasePollInterval(3600000); // change notices only
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QElapsedTimer clock;
        QHash<QString, qint64> reportedAt;
        connect(parser.get(), &SeratoFileParser::SeratoDataReady, this,
                [&](int, QString, QString title) { reportedAt[title] = clock.elapsed(); });
        parser->startWatching(delay);
        clock.start();
        QHash<QString, int> writtenAt;
        for (const QByteArray& step : steps) {
            const int at = step.left(step.indexOf('|')).toInt();
            QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= at; }));
            open.write(step.mid(step.indexOf('|') + 1) + '\n');
            for (const QByteArray& title : step.split('\''))
                writtenAt.insert(title, at);
        }
        QTRY_COMPARE(reports(spy), expected);
        // No report before its row stood for the delay (coarse timers fire up to 5 % early).
        for (auto it = reportedAt.cbegin(); it != reportedAt.cend(); ++it)
            QVERIFY2(it.value() >= (writtenAt.value(it.key()) + delay) * 9 / 10,
                     qPrintable(it.key()));
        open.closeWriteChannel();
        QVERIFY(open.waitForFinished(5000));
    }

    void databaseFaults()
    {
        // Errors show in the status, each once however often polled; the watcher
        // recovers once the file is good again.
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        const QString good = sessionPath(QStringLiteral("master.sqlite"));
        const QString db = sessionPath(QStringLiteral("library/master.sqlite"));
        const QString other = sessionPath(QStringLiteral("other.sqlite"));
        QVERIFY(makeDb(good) && sqlite(other, "CREATE TABLE history_session (id INTEGER);"));
        auto parser = makeParser(db);
        parser->setDatabasePollInterval(100);
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QSignalSpy status(parser.get(), &SeratoFileParser::sourceStatusChanged);
        parser->startWatching(0);
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + " is missing");
        // The folder appears later: found by the poll.
        QVERIFY(QDir(sessions->path()).mkdir("library"));
        QCOMPARE(::mkfifo(QFile::encodeName(db).constData(), 0600), 0);
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + ": not a regular file");
        QVERIFY(QFile::remove(db));
        QVERIFY(writeFile(sessionPath("x"), QByteArray(4096, 'x')));
        QVERIFY(replace(sessionPath("x"), db));
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + ": file is not a database");
        QVERIFY(replace(other, db));
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + ": no such column: end_time");
        // The first file that can be read is the baseline: only its track playing now.
        QVERIFY(replace(good, db));
        QTRY_COMPARE(spy.count(), 1);
        // Replaced while open by a copy that went on: its new rows are new. A newer
        // but closed session is not read while one is open (end_time NULL, -1 or 0).
        const QString newer = sessionPath(QStringLiteral("newer.sqlite"));
        QVERIFY(makeDb(newer) &&
                sqlite(newer, "INSERT INTO history_session VALUES (3, 1767290000, 1767291000, "
                              "'x'); UPDATE history_session SET end_time = -1 WHERE id = 2;" +
                                  insert(2, "Closed", 0, 3) + insert(4, "New")) &&
                replace(newer, db));
        QTRY_COMPARE(spy.count(), 2);
        // Removed and restored: nothing new, until a row comes.
        QVERIFY(QFile::rename(db, good));
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + " is missing");
        QVERIFY(QFile::rename(good, db));
        QTRY_COMPARE(parser->sourceStatus(), "reading database " + db);
        QVERIFY(sqlite(db, "UPDATE history_session SET end_time = NULL WHERE id = 2;" +
                               insert(3, "Back")));
        QTRY_COMPARE(spy.count(), 3);
        // The session id is the entry's further number.
        QVERIFY(stateFile("Deck3.lastposted").endsWith("\r\n2\r\nBack\r\nDJ\r\n"));
        // Another history put in place (its ids went back): a baseline of its own.
        QVERIFY(makeDb(newer) && QFile::remove(db + "-wal") && QFile::remove(db + "-shm") &&
                replace(newer, db));
        QTRY_COMPARE(spy.count(), 4);
        QCOMPARE(reports(spy), (QStringList{"1|Artist Three|Track Three", "4|DJ|New", "3|DJ|Back",
                                            "1|Artist Three|Track Three"}));
        QCOMPARE(status.count(), 8);
        // A file broken under an open writer: as root, SQLite hands the -wal back to
        // the file's owner at each open, and the notice of that starts no new read.
        QProcess open;
        open.start("sqlite3", writer + QStringList(db));
        open.write("PRAGMA wal_autocheckpoint = 0;\n" + insert(1, "In WAL") + '\n');
        QTRY_COMPARE(spy.count(), 5);
        QVERIFY(writeFile(sessionPath("x"), readFile(db).left(2048)) &&
                replace(sessionPath("x"), db));
        QTRY_VERIFY(parser->sourceStatus().startsWith("database " + db + ": "));
        parser->setDatabasePollInterval(60000);
        QFileSystemWatcher wal({db + "-wal"});
        QSignalSpy opened(&wal, &QFileSystemWatcher::fileChanged);
        QVERIFY(!opened.wait(1000));
        open.closeWriteChannel();
        QVERIFY(open.waitForFinished(5000));
        // Stopped, the decks' memory is gone.
        parser->stopWatching();
        QCOMPARE(parser->sourceStatus(), "stopped");
        QCOMPARE(stateFiles(), QStringList());
    }
};

FENK_TEST_GUILESS_MAIN(TestSerato)
#include "tst_serato.moc"
