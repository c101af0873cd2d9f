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

QString dataFile(const char* name)
{
    return QStringLiteral(FENK_TEST_DATA_DIR "/") + QLatin1String(name);
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

// "row|further number|title|artist" of deck's newest entry in data.
QString latest(const QByteArray& data, int deck)
{
    AdatChunkParser parser;
    parser.parse(data);
    qint32 row = -1;
    qint32 field48 = -1;
    QString title;
    QString artist;
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

// The sqlite3 command-line tool: a writer of its own, as Serato is (without
// waiting for the disk, which only slows the tests down).
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
    return QByteArrayLiteral(
               "INSERT INTO history_entry (session_id, deck, artist, name) VALUES (") +
           QByteArray::number(session) + ",'" + QByteArray::number(deck) + "','" + artist + "','" +
           title + "');\n";
}

const QString live = QStringLiteral("L\u012aVE");

} // namespace

class TestSerato : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();

    void realFiles_data();
    void realFiles();
    void cutAtEveryOffset_data();
    void cutAtEveryOffset();
    void syntheticEntries_data();
    void syntheticEntries();

    void growingSessionFile_data();
    void growingSessionFile();
    void newSessionFileAppears();
    void reviewDelayPerDeck();
    void stopThenStart();
    void stateFilesFromEarlierRun_data();
    void stateFilesFromEarlierRun();
    void reportedTexts_data();
    void reportedTexts();
    void stateFolderIsPrivate_data();
    void stateFolderIsPrivate();

    void databaseSet_data();
    void databaseSet();
    void databaseFaultsAndRecovery();

private:
    QString sessionPath(const QString& name) const { return sessions->filePath(name); }
    QString statePath(const char* name) const { return state->filePath(QLatin1String(name)); }
    QByteArray stateFile(const char* name) const { return readAll(statePath(name)); }
    QByteArray allStates() const
    {
        QByteArray all;
        for (const QString& name : QDir(state->path()).entryList(QDir::Files, QDir::Name))
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
        QFile schema(dataFile("serato4/master.sql"));
        if (!schema.open(QIODevice::ReadOnly) || !sqlite(db, schema.readAll()))
            return QString();
        return db;
    }

    std::unique_ptr<QTemporaryDir> sessions;
    std::unique_ptr<QTemporaryDir> state;
};

void TestSerato::init()
{
    sessions = std::make_unique<QTemporaryDir>();
    state = std::make_unique<QTemporaryDir>();
    QVERIFY(sessions->isValid() && state->isValid());
}

void TestSerato::realFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("chunks"); // top-level chunks read, 0 for all
    QTest::addColumn<int>("deck");
    QTest::addColumn<QString>("expected");
    const auto add = [](const char* file, int deck, const QString& expected, int chunks = 0) {
        QTest::addRow("%s deck %d, %d chunks", file, deck, chunks)
            << dataFile(file) << chunks << deck << expected;
    };
    add("serato/mac24_80_open_entry.session", 1, "82|80|Big Time Sensuality|Bj\u00f6rk");
    add("serato/mac24_84_two_decks.session", 1, "103|84|Lakini's Juice|" + live);
    add("serato/mac24_84_two_decks.session", 2, "93|84|Take My Anthem|" + live);
    add("serato/mac24_1_appended_duplicates.session", 2,
        "9|1|(What's So Funny 'Bout) Peace, Love and Understanding|Matthew Sweet & Susanna Hoffs");
    add("serato/win25_1_u64_timestamps.session", 1, "5|1|Heaven|Bio Unit");
    add("serato/win25_1_u64_timestamps.session", 2, "4|1|Night Owl|Broke For Free");
    // The header and the first entry, which has no artist field.
    add("serato/win25_1_u64_timestamps.session", 1,
        "3|1|Origami Repetika - Get Suzie With The Corks|", 2);
    add("serato/win_tidal_86_unplayed.session", 2, "107|86|Laser Evolution|Doomroar");
    add("serato/win_tidal_86_unplayed.session", 4, "-1|-1||");
}

void TestSerato::realFiles()
{
    QFETCH(QString, file);
    QFETCH(int, chunks);
    QFETCH(int, deck);
    QByteArray data = readAll(file);
    QVERIFY2(!data.isEmpty(), qPrintable(file));
    if (chunks > 0)
        data.truncate(topLevelEnds(data).value(chunks - 1));
    QTEST(latest(data, deck), "expected");
}

void TestSerato::cutAtEveryOffset_data()
{
    QTest::addColumn<QByteArray>("data");
    for (const char* name :
         {"serato/win25_1_u64_timestamps.session", "serato/win_tidal_86_unplayed.session"})
        QTest::newRow(name) << readAll(dataFile(name));
    QTest::newRow("synthetic, surrogate pairs") << sessionFile(
        {{1, 1, "Song \U0001F3B5", "A"}, {2, 2, "\u6771\u4eac", "\u0416"}, {3, 1, "Third", "B"}});
}

void TestSerato::cutAtEveryOffset()
{
    // The writer appends while we read: whatever the cut, only whole entries
    // may come out, and the newest whole one per deck.
    QFETCH(QByteArray, data);
    const QList<int> ends = topLevelEnds(data);
    QCOMPARE(ends.last(), data.size());
    for (int cut = 0; cut <= data.size(); ++cut) {
        int whole = 0;
        while (whole < ends.size() && ends.at(whole) <= cut)
            ++whole;
        const QByteArray complete = data.left(whole > 0 ? ends.at(whole - 1) : 0);
        for (int deck = 1; deck <= 2; ++deck)
            QCOMPARE(latest(data.left(cut), deck), latest(complete, deck));
    }
}

void TestSerato::syntheticEntries_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("deck");
    QTest::addColumn<QString>("expected");
    const QByteArray one =
        chunk("adat", intField(1, 5) + intField(31, 2) + textField(6, "T") + textField(7, "A"));
    const QByteArray inner =
        chunk("adat", intField(1, 8) + intField(31, 1) + textField(6, "in") + textField(7, "x"));
    const QByteArray outer =
        intField(1, 2) + intField(31, 1) + textField(6, "out") + textField(7, "x");
    const QByteArray session = sessionFile({{1, 1, "a", "b"}});
    const auto titled = [](const char* hex) {
        return chunk("adat", intField(1, 1) + intField(31, 1) + field(6, QByteArray::fromHex(hex)) +
                                 textField(7, "x"));
    };
    const auto row = [](const char* name, const QByteArray& data, int deck, const QString& e) {
        QTest::newRow(name) << data << deck << e;
    };
    row("plain bytes", "no entries, ada dat", 1, "-1|-1||");
    row("one entry, asked deck", one, 2, "5|-1|T|A");
    row("one entry, other deck", one, 1, "-1|-1||");
    row("rows 7 then 3", sessionFile({{7, 1, "seven", "A"}, {3, 1, "three", "A"}}), 1,
        "7|7|seven|A");
    row("same row on two decks", sessionFile({{4, 1, "first", "A"}, {4, 2, "second", "A"}}), 1,
        "4|7|second|A");
    row("negative row", sessionFile({{-5, 1, "neg", "A"}}), 1, "-1|-1||");
    row("no row field", chunk("adat", intField(31, 1) + textField(6, "T") + textField(7, "A")), 1,
        "-1|-1||");
    row("later field replaces earlier",
        chunk("adat", intField(1, 2) + intField(31, 1) + textField(6, "old") + textField(7, "A") +
                          textField(6, "T")),
        1, "2|-1|T|A");
    // Integer fields are 4 bytes whatever their length says.
    row("row field of length 8",
        chunk("adat", field(1, be32(6) + be32(31) + be32(4) + be32(1)) + textField(6, "T") +
                          textField(7, "A")),
        1, "6|-1|T|A");
    row("unknown field longer than payload",
        chunk("adat", intField(1, 3) + intField(31, 1) + textField(6, "T") + textField(7, "A") +
                          be32(99) + be32(1000) + textField(6, "lost")),
        1, "3|-1|T|A");
    row("title cut at payload end",
        chunk("adat", intField(1, 3) + intField(31, 1) + textField(7, "A") + be32(6) + be32(40) +
                          utf16be("Cut")),
        1, "3|-1|Cut|A");
    row("adat inside a payload", chunk("adat", outer + field(17, inner)), 1, "8|-1|in|x");
    row("torn adat inside a payload", chunk("adat", outer + field(17, inner.chopped(3))), 1,
        "2|-1|out|x");
    row("length past the end", session + inner.left(20), 1, "1|7|a|b");
    row("length field cut", session + QByteArray("adat\0\0", 6), 1, "1|7|a|b");
    row("negative length", session + "adat" + be32(0xfffffff0u) + inner.mid(8), 1, "1|7|a|b");
    row("latin-1 in utf-16", titled("004100720074"), 1, "1|-1|Art|x");
    row("euro sign", titled("20ac0000"), 1, "1|-1|\u20ac|x");
    row("surrogate pair", titled("d83cdfb50000"), 1, "1|-1|\U0001F3B5|x");
    row("lone surrogates", titled("d83c0041dfb5"), 1, "1|-1|\ufffdA\ufffd|x");
    row("byte order mark", titled("feff00410000"), 1, "1|-1|A|x");
    row("odd length", titled("4100e9fc00"), 1, "1|-1|A\u00e9\u00fc|x");
}

void TestSerato::syntheticEntries()
{
    QFETCH(QByteArray, data);
    QFETCH(int, deck);
    QTEST(latest(data, deck), "expected");
}

void TestSerato::growingSessionFile_data()
{
    QTest::addColumn<QByteArray>("data");
    for (const char* name :
         {"serato/mac24_1_appended_duplicates.session", "serato/win25_1_u64_timestamps.session"})
        QTest::newRow(name) << readAll(dataFile(name));
    QTest::newRow("synthetic, four decks") << sessionFile({{1, 1, "One", "\u0416\u0443\u043a"},
                                                           {2, 3, "Two \U0001F3B5", "B"},
                                                           {3, 4, "\u6771\u4eac", "C"},
                                                           {4, 2, "Four", "D"}});
}

void TestSerato::growingSessionFile()
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

void TestSerato::newSessionFileAppears()
{
    const QString older = sessionPath(QStringLiteral("1.session"));
    writeFile(older, sessionFile({{1, 1, "Old", "A"}}));
    QFile f(older);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                          QFileDevice::FileModificationTime));
    f.close();
    QVERIFY(QDir(sessions->path()).mkdir(QStringLiteral("3.session"))); // a folder is no file
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);

    writeFile(sessionPath(QStringLiteral("2.session")), sessionFile({{5, 2, "New", "B"}}));
    QTRY_COMPARE(spy.count(), 1);
    // The older file's entry was not read: it would have come before this one.
    writeFile(sessionPath(QStringLiteral("2.session")), oent({6, 2, "Newer", "B"}), true);
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(reports(spy), (QStringList{"2|B|New", "2|B|Newer"}));
}

void TestSerato::reviewDelayPerDeck()
{
    // Deck 3 is replaced before its delay runs out: only the second entry
    // counts, a full delay after it. Deck 2 arriving does not hold up deck 1.
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

    writeFile(file, oent({1, 1, "One", "A"}) + oent({2, 3, "First", "C"}), true);
    clock.start();
    parser->OnFileChanged(file);
    QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= delay / 2; }));
    writeFile(file, oent({3, 2, "Two", "B"}) + oent({4, 3, "Second", "C"}), true);
    parser->OnFileChanged(file);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 5000);
    QCOMPARE(reports(spy), (QStringList{"1|A|One", "2|B|Two", "3|C|Second"}));
    // Coarse timers may fire up to 5 % early.
    QVERIFY2(at[0] >= delay * 9 / 10 && at[0] < delay * 3 / 2, qPrintable(QString::number(at[0])));
    QVERIFY2(at[2] >= delay * 3 / 2 * 9 / 10, qPrintable(QString::number(at[2])));
}

void TestSerato::stopThenStart()
{
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, sessionFile({{3, 1, "Three", "A"}}));
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    writeFile(file, "tail", true);
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(QFile::exists(statePath("Deck1.lastposted")));

    parser->stopWatching();
    QCOMPARE(parser->sourceStatus(), "stopped");
    SeratoFileParser missing(QDir(sessionPath("missing")), state->path());
    missing.startWatching(0);
    QCOMPARE(missing.sourceStatus(), "folder " + sessionPath("missing") + " is missing");
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty());
    writeFile(file, "unwatched", true);
    parser->startWatching(0);
    // The deck's memory is gone: the same entry counts as new again.
    writeFile(file, "more", true);
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(reports(spy), (QStringList{"1|A|Three", "1|A|Three"}));
}

void TestSerato::stateFilesFromEarlierRun_data()
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
    QTest::newRow("garbage state")
        << QByteArray() << QByteArray("not a number\r\n") << true << true;
}

void TestSerato::stateFilesFromEarlierRun()
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
    QVERIFY(QFile::copy(dataFile("serato/mac24_84_two_decks.session"), file));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    const QByteArray before = allStates();
    parser->startWatching(0);
    QCOMPARE(parser->sourceStatus(), "watching folder " + QDir(sessions->path()).absolutePath());
    QCOMPARE(allStates(), before); // starting only puts the file under watch
    writeFile(file, chunk("oren", QByteArray(12, 'x')), true);
    // Deck 2 (no memory) is reported after deck 1 has been reviewed.
    QTRY_VERIFY(reports(spy).value(spy.count() - 1).startsWith('2'));
    const QString deck1 = "1|" + live + "|Lakini's Juice";
    const QString deck2 = "2|" + live + "|Take My Anthem";
    QCOMPARE(reports(spy), reported ? (QStringList{deck1, deck2}) : QStringList(deck2));
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

void TestSerato::reportedTexts_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("states");                  // state files written
    const QByteArray end = oent({99, 4, "End", "Z"}); // reported last, after the other decks
    QTest::newRow("incomplete, then lower row")
        << sessionFile({{5, 1, "No artist", ""}}) +
               chunk("oent",
                     chunk("adat", intField(1, 6) + intField(31, 2) + textField(7, "No title"))) +
               oent({4, 1, "Lower", "A"}) + end
        << QStringList{"4|Z|End"} << 2;
    QTest::newRow("trimmed, one line, non-BMP")
        << sessionFile({{1, 1, "  Padded  ", "\tTabbed "},
                        {2, 2, "Two\nLines", "Smile \U0001F600"},
                        {3, 3, "H\u00fcsker", "D\u00fc"}}) +
               end
        << QStringList{"1|Tabbed|Padded", "2|Smile \U0001F600|Two Lines", "3|D\u00fc|H\u00fcsker",
                       "4|Z|End"}
        << 8;
}

void TestSerato::reportedTexts()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, expected);
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, data);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    QElapsedTimer clock;
    clock.start();
    parser->OnFileChanged(file);
    QTRY_VERIFY(reports(spy).value(spy.count() - 1).startsWith('4'));
    // Delay 0 reports at once; the repeat floor is for reviews that found nothing.
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(reports(spy), expected);
    QTEST(int(QDir(state->path()).entryList(QDir::Files).size()), "states");
}

void TestSerato::stateFolderIsPrivate_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("shared");
    QTest::newRow("missing") << "missing" << true;
    QTest::newRow("ours, open to all") << "open" << true;
    QTest::newRow("another user's") << "foreign" << false;
    QTest::newRow("symbolic link") << "link" << false;
    QTest::newRow("plain file") << "file" << false;
}

void TestSerato::stateFolderIsPrivate()
{
    QFETCH(QString, kind);
    QFETCH(bool, shared);
    const QString tmp = state->path();
    const QString folder = tmp + QStringLiteral("/FENK");
    const QByteArray native = QFile::encodeName(folder);
    if (kind == "open") {
        QVERIFY(QDir(tmp).mkdir("FENK"));
        QCOMPARE(::chmod(native.constData(), 0777), 0);
    } else if (kind == "foreign") {
        if (::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        QVERIFY(QDir(tmp).mkdir("FENK"));
        QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
    } else if (kind == "link") {
        QVERIFY(QDir(tmp).mkdir("elsewhere"));
        QVERIFY(QFile::link(tmp + "/elsewhere", folder));
    } else if (kind == "file") {
        writeFile(folder, "x");
    }
    const QString chosen = SeratoFileParser::stateFolderFor(folder, tmp + "/home/.cache/FENK");
    QCOMPARE(chosen, shared ? folder : tmp + "/home/.cache/FENK");
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(chosen).constData(), &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(int(info.st_mode & 0777), 0700);
    QCOMPARE(info.st_uid, ::geteuid());
}

void TestSerato::databaseSet_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<int>("session");
    QTest::addColumn<QString>("deck2"); // the read session's deck 2 at start
    // Session 3 is closed but newer than the open session 2: it is read only
    // when no session is open.
    const QByteArray closed = "INSERT INTO history_session VALUES (3, 1767290000, 1767291000, 'x');"
                              "\n" +
                              insertEntry(3, 2, "Decoy", "Closed");
    const auto end = [](const char* value) {
        return "UPDATE history_session SET end_time = " + QByteArray(value) + " WHERE id = 2;";
    };
    QTest::newRow("open: end_time 0") << closed << 2 << "2|Artist Two|Track Two";
    QTest::newRow("open: end_time -1") << closed + end("-1") << 2 << "2|Artist Two|Track Two";
    QTest::newRow("open: end_time NULL") << closed + end("NULL") << 2 << "2|Artist Two|Track Two";
    QTest::newRow("none open: newest") << closed + end("1767300000") << 3 << "2|Decoy|Closed";
}

void TestSerato::databaseSet()
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
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty()); // the rows there are only noted

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
    QCOMPARE(reports(spy), (QStringList{"1|DJ A|Loaded", deck2, "2|DJ B|Kept", "4|DJ C|In WAL"}));
    // The session id is the entry's further number.
    QVERIFY(stateFile("Deck4.lastposted")
                .endsWith("\r\n" + QByteArray::number(session) + "\r\nIn WAL\r\nDJ C\r\n"));
}

void TestSerato::databaseFaultsAndRecovery()
{
    // Errors show in the status and the watcher recovers once the file is good again.
    FENK_REQUIRE_PROGRAM("sqlite3", "sqlite3");
    const QString good = makeDatabase();
    QVERIFY(!good.isEmpty());
    const QString db = sessionPath(QStringLiteral("library/master.sqlite"));
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
    QTRY_COMPARE_WITH_TIMEOUT(parser->sourceStatus(), "database " + db + ": file is not a database",
                              5000);
    const QString other = sessionPath(QStringLiteral("other.sqlite"));
    QVERIFY(sqlite(other, "CREATE TABLE history_session (id INTEGER);"));
    QVERIFY(replace(other, db));
    QTRY_COMPARE(parser->sourceStatus(), "database " + db + ": no such column: end_time");

    // Replaced by the real database: its rows are new to the decks.
    QVERIFY(replace(good, db));
    QTRY_COMPARE(parser->sourceStatus(), "reading database " + db);
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

FENK_TEST_GUILESS_MAIN(TestSerato)
#include "tst_serato.moc"
