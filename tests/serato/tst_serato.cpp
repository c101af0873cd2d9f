#include "adatchunkparser.h"
#include "fenktestconfig.h"
#include "peers.h"
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
QByteArray stateText(int row, int field48, const QString& title, const QString& artist)
{
    return QByteArray::number(row) + "\r\n" + QByteArray::number(field48) + "\r\n" +
           title.toUtf8() + "\r\n" + artist.toUtf8() + "\r\n";
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
    QByteArray allStates() const
    {
        QByteArray all;
        for (const QString& name : stateFiles())
            all += name.toUtf8() + readAll(state->filePath(name));
        return all;
    }
    std::unique_ptr<SeratoFileParser> makeParser(const QString& database = QString())
    {
        auto parser = std::make_unique<SeratoFileParser>(QDir(sessions->path()), state->path());
        parser->setDatabasePath(database);
        return parser;
    }
    QString makeDatabase(const QString& name = QStringLiteral("master.sqlite"))
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

    void entries_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("deck");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const QByteArray& data, int deck, const QString& e) {
            QTest::newRow(name) << data << deck << e;
        };
        const QByteArray twoDecks = dataFile("mac24_84_two_decks.session");
        const QByteArray win25 = dataFile("win25_1_u64_timestamps.session");
        const QByteArray unplayed = dataFile("win_tidal_86_unplayed.session");
        row("open entry", dataFile("mac24_80_open_entry.session"), 1,
            "82|80|Big Time Sensuality|Bj\u00f6rk");
        row("two decks, 1", twoDecks, 1, "103|84|Lakini's Juice|" + live);
        row("two decks, 2", twoDecks, 2, "93|84|Take My Anthem|" + live);
        row("appended duplicates", dataFile("mac24_1_appended_duplicates.session"), 2,
            "9|1|(What's So Funny 'Bout) Peace, Love and Understanding|Matthew Sweet & Susanna "
            "Hoffs");
        row("u64 timestamps, 1", win25, 1, "5|1|Heaven|Bio Unit");
        row("u64 timestamps, 2", win25, 2, "4|1|Night Owl|Broke For Free");
        row("first entry, no artist", win25.left(topLevelEnds(win25).at(1)), 1,
            "3|1|Origami Repetika - Get Suzie With The Corks|");
        row("unplayed", unplayed, 2, "107|86|Laser Evolution|Doomroar");
        row("unused deck", unplayed, 4, "-1|-1||");

        const QByteArray inner = adat(8, 1, texts("in", "x"));
        const QByteArray outer = intField(1, 2) + intField(31, 1) + texts("out", "x");
        const auto titled = [](const char* hex) {
            return adat(1, 1, field(6, QByteArray::fromHex(hex)) + textField(7, "x"));
        };
        row("plain bytes", "no entries, ada dat", 1, "-1|-1||");
        row("other deck", adat(5, 2, texts("T", "A")), 1, "-1|-1||");
        row("rows 7 then 3", sessionFile({{7, 1, "seven", "A"}, {3, 1, "three", "A"}}), 1,
            "7|7|seven|A");
        row("same row on two decks", sessionFile({{4, 1, "first", "A"}, {4, 2, "second", "A"}}), 1,
            "4|7|second|A");
        row("negative row", adat(-5, 1, texts("T", "A")), 1, "-1|-1||");
        row("no row field", chunk("adat", intField(31, 1) + texts("T", "A")), 1, "-1|-1||");
        row("later field wins", adat(2, 1, texts("old", "A") + textField(6, "T")), 1, "2|-1|T|A");
        // Integer fields are 4 bytes whatever their length says.
        row("row field of length 8",
            chunk("adat", field(1, be32(6) + be32(31) + be32(4) + be32(1)) + texts("T", "A")), 1,
            "6|-1|T|A");
        row("field longer than payload",
            adat(3, 1, texts("T", "A") + be32(99) + be32(1000) + textField(6, "lost")), 1,
            "3|-1|T|A");
        row("title cut at payload end",
            adat(3, 1, textField(7, "A") + be32(6) + be32(40) + utf16be("Cut")), 1, "3|-1|Cut|A");
        row("adat inside a payload", chunk("adat", outer + field(17, inner)), 1, "8|-1|in|x");
        row("torn adat inside", chunk("adat", outer + field(17, inner.chopped(3))), 1,
            "2|-1|out|x");
        row("negative length",
            sessionFile({{1, 1, "a", "b"}}) + "adat" + be32(0xfffffff0u) + inner.mid(8), 1,
            "1|7|a|b");
        row("surrogate pair", titled("d83cdfb50000"), 1, "1|-1|\U0001F3B5|x");
        row("lone surrogates", titled("d83c0041dfb5"), 1, "1|-1|\ufffdA\ufffd|x");
        row("byte order mark", titled("feff00410000"), 1, "1|-1|A|x");
        row("odd length", titled("4100e9fc00"), 1, "1|-1|A\u00e9\u00fc|x");
    }
    void entries()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, deck);
        QVERIFY(!data.isEmpty());
        QTEST(latest(data, deck), "expected");
    }

    void cutAtEveryOffset_data()
    {
        QTest::addColumn<QByteArray>("data");
        for (const char* name : {"win25_1_u64_timestamps.session", "win_tidal_86_unplayed.session"})
            QTest::newRow(name) << dataFile(name);
        QTest::newRow("surrogate pairs") << sessionFile({{1, 1, "Song \U0001F3B5", "A"},
                                                         {2, 2, "\u6771\u4eac", "\u0416"},
                                                         {3, 1, "Third", "B"}});
    }
    void cutAtEveryOffset()
    {
        // The writer appends while we read: whatever the cut, only whole entries
        // may come out, and the newest whole one per deck.
        QFETCH(QByteArray, data);
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

    void growingSessionFile_data()
    {
        QTest::addColumn<QByteArray>("data");
        for (const char* name :
             {"mac24_1_appended_duplicates.session", "win25_1_u64_timestamps.session"})
            QTest::newRow(name) << dataFile(name);
        QTest::newRow("four decks") << sessionFile({{1, 1, "One", "\u0416\u0443\u043a"},
                                                    {2, 3, "Two \U0001F3B5", "B"},
                                                    {3, 4, "\u6771\u4eac", "C"},
                                                    {4, 2, "Four", "D"}});
    }
    void growingSessionFile()
    {
        // The file grows as the writer grows it, one entry at a time.
        QFETCH(QByteArray, data);
        const QList<int> ends = topLevelEnds(data);
        const QString file = sessionPath(QStringLiteral("1.session"));
        writeFile(file, data.left(ends.first()));
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(5);
        QStringList expected;
        QMap<int, int> reportedRow;
        for (int i = 1; i < ends.size(); ++i) {
            const QByteArray entry = data.mid(ends.at(i - 1), ends.at(i) - ends.at(i - 1));
            int deck = 1;
            while (latest(entry, deck).startsWith("-1|"))
                ++deck;
            const QStringList e = latest(entry, deck).split('|'); // row, number, title, artist
            const QByteArray before = allStates();
            writeFile(file, entry, true);
            if (e[0].toInt() > reportedRow.value(deck, -1) && !e[2].isEmpty() && !e[3].isEmpty()) {
                expected.append(QStringLiteral("%1|%2|%3").arg(deck).arg(e[3], e[2]));
                reportedRow[deck] = e[0].toInt();
                QVERIFY(spy.wait(5000)); // only the watcher's notice can bring it
            } else {
                parser->OnFileChanged(file);
                QCOMPARE(allStates(), before); // no review started
            }
        }
        QCOMPARE(reports(spy), expected);
    }

    void newestFileStopAndStart()
    {
        const QString older = sessionPath(QStringLiteral("1.session"));
        const QString newer = sessionPath(QStringLiteral("2.session"));
        writeFile(older, sessionFile({{1, 1, "Old", "A"}}));
        QFile f(older);
        QVERIFY(f.open(QIODevice::ReadWrite) &&
                f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
        f.close();
        QVERIFY(QDir(sessions->path()).mkdir(QStringLiteral("3.session"))); // a folder is no file
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(0);
        writeFile(newer, sessionFile({{5, 2, "New", "B"}}));
        QTRY_COMPARE(spy.count(), 1);
        // The older file's entry was not read: it would have come before this one.
        writeFile(newer, oent({6, 2, "Newer", "B"}), true);
        QTRY_COMPARE(spy.count(), 2);

        parser->stopWatching();
        QCOMPARE(parser->sourceStatus(), "stopped");
        QCOMPARE(stateFiles(), QStringList());
        writeFile(newer, "unwatched", true);
        parser->startWatching(0);
        // The decks' memory is gone: the same entry counts as new again.
        writeFile(newer, "more", true);
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(reports(spy), (QStringList{"2|B|New", "2|B|Newer", "2|B|Newer"}));
        SeratoFileParser missing(QDir(sessionPath("missing")), state->path());
        missing.startWatching(0);
        QCOMPARE(missing.sourceStatus(), "folder " + sessionPath("missing") + " is missing");
    }

    void reviewDelayPerDeck()
    {
        // Deck 3 is replaced before its delay runs out: only the second entry
        // counts, a full delay after it. Deck 2 arriving does not hold up deck 1.
        // Deck 4's newest entry lacks its title: no older entry takes its place.
        const int delay = 400;
        const QString file = sessionPath(QStringLiteral("1.session"));
        writeFile(file, header());
        auto parser = makeParser();
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QList<qint64> at;
        QElapsedTimer clock;
        connect(parser.get(), &SeratoFileParser::SeratoDataReady, this,
                [&] { at.append(clock.elapsed()); });
        parser->startWatching(delay);
        writeFile(file,
                  oent({1, 1, "  Padded  ", "\tTabbed "}) + oent({2, 3, "First", "C"}) +
                      oent({3, 4, "Lower", "D"}) + oent({9, 4, "", "No title"}),
                  true);
        clock.start();
        parser->OnFileChanged(file);
        QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= delay / 2; }));
        writeFile(file,
                  oent({4, 2, "Two\nLines", "Smile \U0001F600"}) + oent({5, 3, "Second", "C"}),
                  true);
        parser->OnFileChanged(file);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 5000);
        QCOMPARE(reports(spy),
                 (QStringList{"1|Tabbed|Padded", "2|Smile \U0001F600|Two Lines", "3|C|Second"}));
        // Coarse timers may fire up to 5 % early.
        QVERIFY2(at[0] >= delay * 9 / 10 && at[0] < delay * 3 / 2,
                 qPrintable(QString::number(at[0])));
        QVERIFY2(at[2] >= delay * 3 / 2 * 9 / 10, qPrintable(QString::number(at[2])));
        QVERIFY(!QFile::exists(statePath("Deck4.lastplayed")));
    }

    void stateFilesFromEarlierRun_data()
    {
        QTest::addColumn<QByteArray>("played"); // empty: no file
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<bool>("reviewed");
        QTest::addColumn<bool>("reported");
        // The file's newest entry on deck 1 is row 103.
        const auto state = [](int row) { return stateText(row, 84, "Before", "B"); };
        QTest::newRow("no memory") << QByteArray() << QByteArray() << true << true;
        QTest::newRow("older rows") << state(100) << state(100) << true << true;
        QTest::newRow("played already") << state(103) << state(90) << false << false;
        QTest::newRow("played later") << state(120) << QByteArray() << false << false;
        QTest::newRow("posted already") << state(50) << state(103) << true << false;
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
        const QByteArray before = allStates();
        parser->startWatching(0);
        QCOMPARE(parser->sourceStatus(),
                 "watching folder " + QDir(sessions->path()).absolutePath());
        QCOMPARE(allStates(), before); // starting only puts the file under watch
        QElapsedTimer clock;
        clock.start();
        writeFile(file, chunk("oren", QByteArray(12, 'x')), true);
        // Deck 2 (no memory) is reported after deck 1 has been reviewed.
        QTRY_VERIFY(reports(spy).value(spy.count() - 1).startsWith('2'));
        // Delay 0 reports at once; the repeat floor is for reviews that found nothing.
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        const QString deck1 = "1|" + live + "|Lakini's Juice";
        QCOMPARE(reports(spy), (reported ? QStringList{deck1} : QStringList()) +
                                   QStringList{"2|" + live + "|Take My Anthem"});
        const QByteArray newest = stateText(103, 84, "Lakini's Juice", live);
        QCOMPARE(stateFile("Deck1.lastplayed"), reviewed ? newest : played);
        if (reported)
            QCOMPARE(stateFile("Deck1.lastposted"), newest);
        QCOMPARE(stateFile("Deck2.lastposted"), stateText(93, 84, "Take My Anthem", live));
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
        QTest::newRow("missing") << "missing" << true;
        QTest::newRow("ours, open to all") << "open" << true;
        QTest::newRow("another user's") << "foreign" << false;
        QTest::newRow("symbolic link") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
    }
    void stateFolderIsPrivate()
    {
        QFETCH(QString, kind);
        QFETCH(bool, shared);
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
        } else if (kind == "file") {
            writeFile(folder, "x");
        }
        const QString fallback = tmp + "/home/.cache/FENK";
        const QString chosen = SeratoFileParser::stateFolderFor(folder, fallback);
        QCOMPARE(chosen, shared ? folder : fallback);
        struct stat info;
        QCOMPARE(::lstat(QFile::encodeName(chosen).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(int(info.st_mode & 0777), 0700);
        QCOMPARE(info.st_uid, ::geteuid());
    }

    void databaseSet_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<int>("session");
        QTest::addColumn<QString>("deck2"); // the read session's deck 2 at start
        // Session 3 is closed but newer than the open session 2: it is read only
        // when no session is open.
        const QByteArray closed =
            "INSERT INTO history_session VALUES (3, 1767290000, 1767291000, 'x');\n" +
            insertEntry(3, 2, "Decoy", "Closed");
        const auto end = [](const char* value) {
            return "UPDATE history_session SET end_time = " + QByteArray(value) + " WHERE id = 2;";
        };
        const QString two = QStringLiteral("2|Artist Two|Track Two");
        QTest::newRow("open: end_time 0") << closed << 2 << two;
        QTest::newRow("open: end_time -1") << closed + end("-1") << 2 << two;
        QTest::newRow("open: end_time NULL") << closed + end("NULL") << 2 << two;
        QTest::newRow("none open: newest") << closed + end("1767300000") << 3 << "2|Decoy|Closed";
    }
    void databaseSet()
    {
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        QFETCH(QByteArray, setup);
        QFETCH(int, session);
        QFETCH(QString, deck2);
        const QString db = makeDatabase();
        QVERIFY(!db.isEmpty() && sqlite(db, setup));
        auto parser = makeParser(db);
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        parser->startWatching(250);
        QCOMPARE(parser->sourceStatus(), "reading database " + db);
        QCOMPARE(stateFiles(), QStringList()); // the rows there are only noted
        // Loaded on deck 1 (not yet played): the first change brings every deck's newest.
        QVERIFY(sqlite(db, insertEntry(session, 1, "DJ A", "Loaded")));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 5000);
        // Counted as played: the same row, no second report.
        QVERIFY(sqlite(db, "UPDATE history_entry SET played = 1 WHERE name = 'Loaded';"));
        // Replaced before the delay runs out.
        QVERIFY(sqlite(db, insertEntry(session, 2, "DJ B", "Replaced")));
        QTRY_VERIFY(stateFile("Deck2.lastplayed").contains("Replaced"));
        QVERIFY(sqlite(db, insertEntry(session, 2, "DJ B", "Kept")));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 5000);
        // A writer that keeps its connection open: the row stays in the -wal file.
        QProcess open;
        open.start("sqlite3", writer + QStringList(db));
        open.write("PRAGMA wal_autocheckpoint = 0;\n" + insertEntry(session, 4, "DJ C", "In WAL"));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 4, 5000);
        QVERIFY(QFileInfo(db + "-wal").size() > 0);
        open.closeWriteChannel();
        QVERIFY(open.waitForFinished(5000));
        QCOMPARE(reports(spy),
                 (QStringList{"1|DJ A|Loaded", deck2, "2|DJ B|Kept", "4|DJ C|In WAL"}));
        // The session id is the entry's further number.
        QVERIFY(stateFile("Deck4.lastposted")
                    .endsWith("\r\n" + QByteArray::number(session) + "\r\nIn WAL\r\nDJ C\r\n"));
    }

    void databaseFaultsAndRecovery()
    {
        // Errors show in the status; the watcher recovers once the file is good again.
        FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
        const QString good = makeDatabase();
        const QString db = sessionPath(QStringLiteral("library/master.sqlite"));
        const QString other = sessionPath(QStringLiteral("other.sqlite"));
        QVERIFY(!good.isEmpty() && sqlite(other, "CREATE TABLE history_session (id INTEGER);"));
        auto parser = makeParser(db);
        QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
        QSignalSpy status(parser.get(), &SeratoFileParser::sourceStatusChanged);
        parser->startWatching(0);
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
        QCOMPARE(reports(spy), (QStringList{"1|Artist Three|Track Three", "2|Artist Two|Track Two",
                                            "4|New|File", "3|Back|Again"}));
        // Each state was shown once, however often it was polled.
        QStringList shown;
        for (const QList<QVariant>& args : status)
            shown.append(args.at(0).toString().remove(db));
        QCOMPARE(shown, (QStringList{"database  is missing", "database : not a regular file",
                                     "database : file is not a database",
                                     "database : no such column: end_time", "reading database ",
                                     "database  is missing", "reading database "}));
    }
};

FENK_TEST_GUILESS_MAIN(TestSerato)
#include "tst_serato.moc"
