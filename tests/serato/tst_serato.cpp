#include "adatchunkparser.h"
#include "fenktestconfig.h"
#include "peers.h"
#include "seratodatabase.h"
#include "seratofileparser.h"
#include "seratotestdata.h"
#include "testhome.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace seratotest;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
QByteArray dataFile(const char* name)
{
    return readAll(QStringLiteral(FENK_TEST_DATA_DIR "/serato/") + QLatin1String(name));
}
void writeFile(const QString& path, const QByteArray& data, bool append = false)
{
    QFile file(path);
    QVERIFY2(file.open(append ? QIODevice::Append : QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(data), qint64(data.size()));
}
QByteArray stateText(int row, const QString& title)
{
    return QByteArray::number(row) + "\r\n84\r\n" + title.toUtf8() + "\r\nL\xc4\xaaVE\r\n";
}
QByteArray adat(int row, int deck, const QByteArray& more)
{
    return chunk("adat", intField(1, row) + intField(31, deck) + more);
}
QByteArray texts(const QString& title, const QString& artist)
{
    return textField(6, title) + textField(7, artist);
}

// Offsets just past each top-level chunk (the header and every "oent").
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

bool replace(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The sqlite3 tool is a writer of its own, as Serato is (not waiting for the disk).
const QStringList writer = {"-bail", "-cmd", "PRAGMA synchronous = OFF"};
bool sqlite(const QString& db, const QByteArray& sql)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), writer + QStringList(db));
    p.write(sql);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0 && p.readAllStandardError().isEmpty();
}
QByteArray insertEntry(int session, int deck, const char* artist, const char* title)
{
    return "INSERT INTO history_entry (session_id, deck, artist, name) VALUES (" +
           QByteArray::number(session) + ",'" + QByteArray::number(deck) + "','" + artist + "','" +
           title + "');\n";
}

const QString live = QStringLiteral("L\u012aVE");

} // namespace

class TestSerato : public QObject
{
    Q_OBJECT

    QString sessionPath(const QString& name) const { return sessions->filePath(name); }
    QString statePath(const char* name) const { return state->filePath(QLatin1String(name)); }
    QByteArray stateFile(const char* name) const { return readAll(statePath(name)); }
    QStringList stateFiles() const { return QDir(state->path()).entryList(QDir::Files); }
    std::unique_ptr<SeratoFileParser> makeParser(const QString& database = QString())
    {
        auto parser = std::make_unique<SeratoFileParser>(QDir(sessions->path()), state->path());
        parser->setDatabasePath(database);
        return parser;
    }
    QString makeDatabase(const QString& name)
    {
        const QString db = sessionPath(name);
        return sqlite(db, readAll(FENK_TEST_DATA_DIR "/serato4/master.sql")) ? db : QString();
    }

    std::unique_ptr<QTemporaryDir> sessions;
    std::unique_ptr<QTemporaryDir> state;

private Q_SLOTS:
    void init()
    {
        sessions = std::make_unique<QTemporaryDir>();
        state = std::make_unique<QTemporaryDir>();
        QVERIFY(sessions->isValid() && state->isValid());
    }

    void cutAtEveryOffset_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected"); // decks 1 and 2
        const auto row = [](const char* name, const QString& deck1, const QString& deck2) {
            QTest::newRow(name) << dataFile(name) << deck1 + " / " + deck2;
        };
        row("mac24_80_open_entry.session", "82|80|Big Time Sensuality|Bj\u00f6rk", "-1|-1||");
        row("mac24_84_two_decks.session", "103|84|Lakini's Juice|" + live,
            "93|84|Take My Anthem|" + live);
        row("mac24_1_appended_duplicates.session", "10|1|All I Need|" + live,
            "9|1|(What's So Funny 'Bout) Peace, Love and Understanding|Matthew Sweet & Susanna "
            "Hoffs");
        row("win25_1_u64_timestamps.session", "5|1|Heaven|Bio Unit",
            "4|1|Night Owl|Broke For Free");
        row("win_tidal_86_unplayed.session", "106|86|BAYAREA.BMP|MASTER BOOT RECORD",
            "107|86|Laser Evolution|Doomroar");
        QTest::newRow("surrogate pairs")
            << sessionFile({{1, 1, "Song \U0001F3B5", "A"}, {2, 2, "\u6771", "\u0416"}})
            << "1|7|Song \U0001F3B5|A / 2|7|\u6771|\u0416";
    }
    void cutAtEveryOffset()
    {
        // The writer appends while we read: whatever the cut, only whole entries
        // may come out, and the newest whole one per deck.
        QFETCH(QByteArray, data);
        QTEST(latest(data, 1) + " / " + latest(data, 2), "expected");
        const QList<int> ends = topLevelEnds(data);
        QCOMPARE(ends.last(), data.size());
        for (int cut = 0, whole = 0; cut <= data.size(); ++cut) {
            while (whole < ends.size() && ends.at(whole) <= cut)
                ++whole;
            const QByteArray complete = data.left(whole > 0 ? ends.at(whole - 1) : 0);
            for (int deck = 1; deck <= 2; ++deck)
                QCOMPARE(latest(data.left(cut), deck), latest(complete, deck));
        }
    }

    void entries_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected"); // deck 1's newest
        const QByteArray win25 = dataFile("win25_1_u64_timestamps.session");
        const QByteArray inner = adat(8, 1, texts("in", "x"));
        const QByteArray outer = intField(1, 2) + intField(31, 1) + texts("out", "x");
        const auto titled = [](const char* hex) {
            return adat(1, 1, field(6, QByteArray::fromHex(hex)) + textField(7, "x"));
        };
        const auto row = [](const char* name, const QByteArray& data, const QString& expected) {
            QTest::newRow(name) << data << expected;
        };
        row("first entry, no artist", win25.left(topLevelEnds(win25).at(1)),
            "3|1|Origami Repetika - Get Suzie With The Corks|");
        row("other deck", adat(5, 2, texts("T", "A")), "-1|-1||");
        row("rows 7 then 3", sessionFile({{7, 1, "seven", "A"}, {3, 1, "three", "A"}}),
            "7|7|seven|A");
        row("same row on two decks", sessionFile({{4, 1, "first", "A"}, {4, 2, "second", "A"}}),
            "4|7|second|A");
        row("negative row", adat(-5, 1, texts("T", "A")), "-1|-1||");
        row("no row field", chunk("adat", intField(31, 1) + texts("T", "A")), "-1|-1||");
        row("later field wins", adat(2, 1, texts("old", "A") + textField(6, "T")), "2|-1|T|A");
        // Integer fields are 4 bytes whatever their length says.
        row("row field of length 8",
            chunk("adat", field(1, be32(6) + be32(31) + be32(4) + be32(1)) + texts("T", "A")),
            "6|-1|T|A");
        row("field longer than payload",
            adat(3, 1, texts("T", "A") + be32(99) + be32(1000) + textField(6, "lost")), "3|-1|T|A");
        row("title cut at payload end",
            adat(3, 1, textField(7, "A") + be32(6) + be32(40) + utf16be("Cut")), "3|-1|Cut|A");
        row("adat inside a payload", chunk("adat", outer + field(17, inner)), "8|-1|in|x");
        row("torn adat inside", chunk("adat", outer + field(17, inner.chopped(3))), "2|-1|out|x");
        row("negative length",
            sessionFile({{1, 1, "a", "b"}}) + "adat" + be32(0xfffffff0u) + inner.mid(8), "1|7|a|b");
        row("lone surrogates", titled("d83c0041dfb5"), "1|-1|\ufffdA\ufffd|x");
        row("byte order mark", titled("feff00410000"), "1|-1|A|x");
        row("odd length", titled("4100e9fc00"), "1|-1|A\u00e9\u00fc|x");
    }
    void entries()
    {
        QFETCH(QByteArray, data);
        QVERIFY(!data.isEmpty());
        QTEST(latest(data, 1), "expected");
    }

    void sessionFolder()
    {
        // Only the newest file is read. Deck 3 is replaced before its delay runs
        // out: only the second entry counts, a full delay after it. Deck 2
        // arriving does not hold up deck 1. Deck 4's newest entry has no title:
        // no older entry takes its place.
        const QString older = sessionPath(QStringLiteral("1.session"));
        const QString file = sessionPath(QStringLiteral("2.session"));
        writeFile(older, sessionFile({{20, 1, "Old", "A"}}));
        QFile f(older);
        QVERIFY(f.open(QIODevice::ReadWrite) &&
                f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
        f.close();
        QVERIFY(QDir(sessions->path()).mkdir(QStringLiteral("3.session"))); // a folder is no file
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QList<qint64> at;
        QElapsedTimer clock;
        connect(parser.get(), &SeratoFileParser::SeratoDataReady, this,
                [&] { at.append(clock.elapsed()); });
        const int delay = 400;
        parser->startWatching(delay);
        writeFile(file, sessionFile({{1, 1, "  Padded  ", "\tTabbed "},
                                     {2, 3, "First", "C"},
                                     {3, 4, "Lower", "D"},
                                     {9, 4, "", "No title"}}));
        clock.start();
        QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= delay / 2; }));
        writeFile(file,
                  oent({4, 2, "Two\nLines", "Smile \U0001F600"}) + oent({5, 3, "Second", "C"}),
                  true);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 5000);
        const QStringList expected{"1|Tabbed|Padded", "2|Smile \U0001F600|Two Lines", "3|C|Second"};
        QCOMPARE(reports(spy), expected);
        // Coarse timers may fire up to 5 % early.
        QVERIFY2(at[0] >= delay * 9 / 10 && at[0] < delay * 3 / 2,
                 qPrintable(QString::number(at[0])));
        QVERIFY2(at[2] >= delay * 3 / 2 * 9 / 10, qPrintable(QString::number(at[2])));
        QVERIFY(!QFile::exists(statePath("Deck4.lastplayed")));

        parser->stopWatching();
        QCOMPARE(parser->sourceStatus(), "stopped");
        QCOMPARE(stateFiles(), QStringList());
        writeFile(file, "unwatched", true);
        parser->startWatching(0);
        QCOMPARE(parser->sourceStatus(),
                 "watching folder " + QDir(sessions->path()).absolutePath());
        // The decks' memory is gone: the same entries count as new again, and
        // delay 0 reports at once (the repeat floor is for reviews that found nothing).
        clock.restart();
        writeFile(file, "more", true);
        QTRY_COMPARE(spy.count(), 6);
        QVERIFY2(at[5] < 500, qPrintable(QString::number(at[5])));
        QCOMPARE(reports(spy), expected + expected);
        SeratoFileParser missing(QDir(sessionPath("missing")), state->path());
        missing.startWatching(0);
        QCOMPARE(missing.sourceStatus(), "folder " + sessionPath("missing") + " is missing");
    }

    void stateFilesFromEarlierRun_data()
    {
        QTest::addColumn<QByteArray>("played"); // empty: no file
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<bool>("reviewed");
        QTest::addColumn<bool>("reported");
        // The file's newest entry on deck 1 is row 103.
        QTest::newRow("no memory") << QByteArray() << QByteArray() << true << true;
        QTest::newRow("older rows") << stateText(100, "B") << stateText(100, "B") << true << true;
        QTest::newRow("played already")
            << stateText(103, "B") << stateText(90, "B") << false << false;
        QTest::newRow("played later") << stateText(120, "B") << QByteArray() << false << false;
        QTest::newRow("posted already")
            << stateText(50, "B") << stateText(103, "B") << true << false;
        QTest::newRow("garbage") << QByteArray() << QByteArray("not a number\r\n") << true << true;
    }
    void stateFilesFromEarlierRun()
    {
        QFETCH(QByteArray, played);
        QFETCH(QByteArray, posted);
        QFETCH(bool, reviewed);
        QFETCH(bool, reported);
        if (!played.isEmpty())
            writeFile(statePath("Deck1.lastplayed"), played);
        if (!posted.isEmpty())
            writeFile(statePath("Deck1.lastposted"), posted);
        const QString file = sessionPath(QStringLiteral("84.session"));
        writeFile(file, dataFile("mac24_84_two_decks.session"));
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(0);
        QCOMPARE(stateFiles().size(), int(!played.isEmpty() + !posted.isEmpty())); // only watching
        writeFile(file, chunk("oren", QByteArray(12, 'x')), true);
        // Deck 2 (no memory) is reported after deck 1 has been reviewed.
        QTRY_VERIFY(reports(spy).value(spy.count() - 1).startsWith('2'));
        const QString deck1 = "1|" + live + "|Lakini's Juice";
        QCOMPARE(reports(spy), (reported ? QStringList{deck1} : QStringList()) +
                                   QStringList{"2|" + live + "|Take My Anthem"});
        const QByteArray newest = stateText(103, "Lakini's Juice");
        QCOMPARE(stateFile("Deck1.lastplayed"), reviewed ? newest : played);
        QCOMPARE(stateFile("Deck1.lastposted"), reported ? newest : posted);
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
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("shared");
        QTest::newRow("ours, open to all") << "open" << true;
        QTest::newRow("another user's") << "foreign" << false;
        QTest::newRow("symbolic link") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
    }
    void stateFolderIsPrivate()
    {
        QFETCH(QString, kind);
        const QString tmp = state->path();
        const QString folder = tmp + QStringLiteral("/FENK");
        const QByteArray native = QFile::encodeName(folder);
        if (kind == "open") {
            QVERIFY(QDir(tmp).mkdir("FENK") && ::chmod(native.constData(), 0777) == 0);
        } else if (kind == "foreign") {
            if (::geteuid() != 0)
                QSKIP("needs root to give a folder to another user");
            QVERIFY(QDir(tmp).mkdir("FENK") && ::chown(native.constData(), 65534, 65534) == 0);
        } else if (kind == "link") {
            QVERIFY(QDir(tmp).mkdir("elsewhere") && QFile::link(tmp + "/elsewhere", folder));
        } else {
            writeFile(folder, "x");
        }
        // The fallback is missing: it is made, private.
        const QString fallback = tmp + "/home/.cache/FENK";
        const QString chosen = SeratoFileParser::stateFolderFor(folder, fallback);
        QTEST(chosen == folder, "shared");
        struct stat info;
        QCOMPARE(::lstat(QFile::encodeName(chosen).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode) && info.st_uid == ::geteuid());
        QCOMPARE(int(info.st_mode & 0777), 0700);
    }

    void openSession_data()
    {
        // Session 3 is closed but newer than session 2: it is read only when 2 is closed.
        QTest::addColumn<QByteArray>("endTime"); // of session 2
        QTest::addColumn<QString>("deck2");
        QTest::newRow("0") << QByteArray("0") << "2|Artist Two|Track Two";
        QTest::newRow("-1") << QByteArray("-1") << "2|Artist Two|Track Two";
        QTest::newRow("NULL") << QByteArray("NULL") << "2|Artist Two|Track Two";
        QTest::newRow("closed") << QByteArray("1767300000") << "3|Decoy|Closed";
    }
    void openSession()
    {
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        QFETCH(QByteArray, endTime);
        const QString db = makeDatabase("master.sqlite");
        QVERIFY(
            !db.isEmpty() &&
            sqlite(db, "INSERT INTO history_session VALUES (3, 1767290000, 1767291000, 'x');\n" +
                           insertEntry(3, 2, "Decoy", "Closed") +
                           "UPDATE history_session SET end_time = " + endTime + " WHERE id = 2;"));
        SeratoDatabase database(db);
        std::array<SeratoDatabase::Entry, SeratoDatabase::deckCount> decks;
        QCOMPARE(database.read(decks), SeratoDatabase::Result::Changed);
        QTEST(QString::number(decks[1].session) + '|' + decks[1].artist + '|' + decks[1].title,
              "deck2");
        QCOMPARE(database.read(decks), SeratoDatabase::Result::Unchanged);
    }

    void databaseFaultsAndRecovery()
    {
        // Errors show in the status; the watcher recovers once the file is good again.
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        const QString good = makeDatabase("master.sqlite");
        const QString db = sessionPath(QStringLiteral("library/master.sqlite"));
        const QString other = sessionPath(QStringLiteral("other.sqlite"));
        QVERIFY(!good.isEmpty() && sqlite(other, "CREATE TABLE history_session (id INTEGER);"));
        auto parser = makeParser(db);
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QSignalSpy status(parser.get(), &SeratoFileParser::sourceStatusChanged);
        parser->startWatching(250);
        QCOMPARE(parser->sourceStatus(), "database " + db + " is missing");
        // The folder appears later: found by the fallback poll.
        QVERIFY(QDir(sessions->path()).mkdir("library"));
        QCOMPARE(::mkfifo(QFile::encodeName(db).constData(), 0600), 0);
        QTRY_COMPARE_WITH_TIMEOUT(parser->sourceStatus(), "database " + db + ": not a regular file",
                                  5000);
        QVERIFY(QFile::remove(db));
        writeFile(sessionPath("x"), QByteArray(4096, 'x'));
        QVERIFY(replace(sessionPath("x"), db));
        QTRY_COMPARE_WITH_TIMEOUT(parser->sourceStatus(),
                                  "database " + db + ": file is not a database", 5000);
        QVERIFY(replace(other, db));
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + ": no such column: end_time");
        // Replaced by the real database: its rows are new to the decks.
        QVERIFY(replace(good, db));
        QTRY_COMPARE(spy.count(), 2);
        // Replaced while open: the new file is read, not the one still open.
        const QString newer = makeDatabase("newer.sqlite");
        QVERIFY(sqlite(newer, insertEntry(2, 4, "New", "File")) && replace(newer, db));
        QTRY_COMPARE(spy.count(), 3);
        // Removed and restored: nothing new, until a row comes.
        QVERIFY(QFile::rename(db, good));
        QTRY_COMPARE(parser->sourceStatus(), "database " + db + " is missing");
        QVERIFY(QFile::rename(good, db));
        QTRY_COMPARE(parser->sourceStatus(), "reading database " + db);
        QVERIFY(sqlite(db, insertEntry(2, 3, "Back", "Again")));
        QTRY_COMPARE(spy.count(), 4);
        // Each state was shown once, however often it was polled.
        QStringList shown;
        for (const QList<QVariant>& args : status)
            shown.append(args.at(0).toString().remove(db));
        QCOMPARE(shown, (QStringList{"database  is missing", "database : not a regular file",
                                     "database : file is not a database",
                                     "database : no such column: end_time", "reading database ",
                                     "database  is missing", "reading database "}));

        // Restarted: the rows there are only noted; the next change brings every
        // deck's newest. A row counted as played is the same row: no second report.
        parser->stopWatching();
        parser->startWatching(250);
        QCOMPARE(stateFiles(), QStringList());
        QVERIFY(sqlite(db, insertEntry(2, 1, "DJ A", "Loaded")));
        QTRY_COMPARE(spy.count(), 8);
        QVERIFY(sqlite(db, "UPDATE history_entry SET played = 1 WHERE name = 'Loaded';"));
        // Replaced before the delay runs out.
        QVERIFY(sqlite(db, insertEntry(2, 2, "DJ B", "Replaced")));
        QTRY_VERIFY(stateFile("Deck2.lastplayed").contains("Replaced"));
        QVERIFY(sqlite(db, insertEntry(2, 2, "DJ B", "Kept")));
        QTRY_COMPARE(spy.count(), 9);
        // A writer that keeps its connection open: the row stays in the -wal file.
        QProcess open;
        open.start("sqlite3", writer + QStringList(db));
        open.write("PRAGMA wal_autocheckpoint = 0;\n" + insertEntry(2, 4, "DJ C", "In WAL"));
        QTRY_COMPARE(spy.count(), 10);
        QVERIFY(QFileInfo(db + "-wal").size() > 0);
        open.closeWriteChannel();
        QVERIFY(open.waitForFinished(5000));
        QCOMPARE(reports(spy),
                 (QStringList{"1|Artist Three|Track Three", "2|Artist Two|Track Two", "4|New|File",
                              "3|Back|Again", "1|DJ A|Loaded", "2|Artist Two|Track Two",
                              "3|Back|Again", "4|New|File", "2|DJ B|Kept", "4|DJ C|In WAL"}));
        // The session id is the entry's further number.
        QVERIFY(stateFile("Deck4.lastposted").endsWith("\r\n2\r\nIn WAL\r\nDJ C\r\n"));
    }
};

FENK_TEST_GUILESS_MAIN(TestSerato)
#include "tst_serato.moc"
