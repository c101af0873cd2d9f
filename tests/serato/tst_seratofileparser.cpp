#include "adatchunkparser.h"
#include "fenktestconfig.h"
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
    return QStringLiteral(FENK_TEST_DATA_DIR "/serato/") + QLatin1String(name);
}

void writeFile(const QString& path, const QByteArray& data, QIODevice::OpenMode mode)
{
    QFile file(path);
    QVERIFY2(file.open(mode), qPrintable(path));
    QCOMPARE(file.write(data), qint64(data.size()));
}

void append(const QString& path, const QByteArray& data)
{
    writeFile(path, data, QIODevice::WriteOnly | QIODevice::Append);
}

void setModified(const QString& path, const QDateTime& when)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

QByteArray stateText(int row, int field48, const QString& title, const QString& artist)
{
    return QByteArray::number(row) + "\r\n" + QByteArray::number(field48) + "\r\n" +
           title.toUtf8() + "\r\n" + artist.toUtf8() + "\r\n";
}

struct Report
{
    int deck;
    QString artist;
    QString title;
    bool operator==(const Report& o) const
    {
        return deck == o.deck && artist == o.artist && title == o.title;
    }
};

QList<Report> reports(const QSignalSpy& spy)
{
    QList<Report> out;
    for (const QList<QVariant>& args : spy)
        out.append({args.at(0).toInt(), args.at(1).toString(), args.at(2).toString()});
    return out;
}

bool anyReviewPending(const SeratoFileParser& parser)
{
    for (int deck = 1; deck <= 4; ++deck) {
        if (parser.reviewTimer(deck).isActive())
            return true;
    }
    return false;
}

} // namespace

class TestSeratoFileParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void existingFileIsReadOnlyAfterItChanges();
    void growingSessionFile_data();
    void growingSessionFile();
    void newSessionFileAppears();
    void newerEntryRestartsDelay();
    void decksAreIndependent();
    void zeroDelayReportsAtOnce();
    void repeatsHaveAFloor();
    void stopThenStart();
    void stateFilesFromEarlierRun_data();
    void stateFilesFromEarlierRun();
    void incompleteEntriesAreNotReported();
    void textsPassThroughStateFiles();
    void missingSessionFolder();
    void stateFolderIsPrivate_data();
    void stateFolderIsPrivate();
    void defaultStateFolderInTemp();

private:
    QString sessionPath(const QString& name) const { return sessions->filePath(name); }
    QString statePath(const char* name) const { return state->filePath(QLatin1String(name)); }
    QByteArray stateFile(const char* name) const { return readAll(statePath(name)); }
    std::unique_ptr<SeratoFileParser> makeParser()
    {
        return std::make_unique<SeratoFileParser>(QDir(sessions->path()), state->path());
    }

    std::unique_ptr<QTemporaryDir> sessions;
    std::unique_ptr<QTemporaryDir> state;
};

void TestSeratoFileParser::init()
{
    sessions = std::make_unique<QTemporaryDir>();
    state = std::make_unique<QTemporaryDir>();
    QVERIFY(sessions->isValid());
    QVERIFY(state->isValid());
}

void TestSeratoFileParser::cleanup()
{
    sessions.reset();
    state.reset();
}

void TestSeratoFileParser::existingFileIsReadOnlyAfterItChanges()
{
    const QString file = sessionPath(QStringLiteral("84.session"));
    QVERIFY(QFile::copy(dataFile("mac24_84_two_decks.session"), file));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(10);
    QVERIFY(parser->isRunning());
    QCOMPARE(parser->watchedFiles(), QStringList{QFileInfo(file).absoluteFilePath()});
    // Starting only puts the file under watch.
    QVERIFY(!anyReviewPending(*parser));
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty());

    append(file, chunk("oren", QByteArray(12, 'x')));
    QTRY_COMPARE(spy.count(), 2);
    const QList<Report> got = reports(spy);
    QCOMPARE(got.at(0), (Report{1, QStringLiteral("L\u012aVE"), QStringLiteral("Lakini's Juice")}));
    QCOMPARE(got.at(1), (Report{2, QStringLiteral("L\u012aVE"), QStringLiteral("Take My Anthem")}));
    QVERIFY(!anyReviewPending(*parser));
    QCOMPARE(stateFile("Deck2.lastposted"),
             stateText(93, 84, QStringLiteral("Take My Anthem"), QStringLiteral("L\u012aVE")));
}

void TestSeratoFileParser::growingSessionFile_data()
{
    QTest::addColumn<QByteArray>("data");
    for (const char* name : {"mac24_84_two_decks.session", "mac24_1_appended_duplicates.session",
                             "win25_1_u64_timestamps.session", "win_tidal_86_unplayed.session"})
        QTest::newRow(name) << readAll(dataFile(name));
    QTest::newRow("synthetic, four decks")
        << sessionFile({{1, 1, QStringLiteral("One"), QStringLiteral("\u0416\u0443\u043a")},
                        {2, 3, QStringLiteral("Two \U0001F3B5"), QStringLiteral("B")},
                        {3, 4, QStringLiteral("\u6771\u4eac"), QStringLiteral("C")},
                        {4, 2, QStringLiteral("Four"), QStringLiteral("D")},
                        {5, 3, QStringLiteral("Five"), QStringLiteral("E")}});
}

void TestSeratoFileParser::growingSessionFile()
{
    // The file grows the way the writer grows it during a set: one entry at a
    // time, each entry possibly seen half-written.
    QFETCH(QByteArray, data);
    const QList<int> ends = topLevelEnds(data);
    QVERIFY(ends.size() > 1);
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, data.left(ends.first()), QIODevice::WriteOnly);

    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(5);
    QVERIFY(parser->isRunning());

    QList<Report> expected;
    QMap<int, qint32> reportedRow;
    for (int i = 1; i < ends.size(); ++i) {
        const QByteArray entry = data.mid(ends.at(i - 1), ends.at(i) - ends.at(i - 1));
        AdatChunkParser one;
        one.parse(entry);
        QCOMPARE(one.rowsByDeck().size(), 1);
        const int deck = one.rowsByDeck().firstKey();
        Report r{deck, QString(), QString()};
        qint32 row = -1;
        qint32 field48 = -1;
        one.latestEntry(deck, row, field48, r.title, r.artist);

        // Seen half-written and then all but its last bytes: nothing may come
        // of a torn entry.
        const int half = entry.size() / 2;
        const int most = entry.size() - 3;
        append(file, entry.left(half));
        parser->OnFileChanged(file);
        QVERIFY2(!anyReviewPending(*parser), qPrintable(QStringLiteral("entry %1").arg(i)));
        append(file, entry.mid(half, most - half));
        parser->OnFileChanged(file);
        QVERIFY2(!anyReviewPending(*parser), qPrintable(QStringLiteral("entry %1").arg(i)));
        append(file, entry.mid(most));

        const bool isNew =
            row > reportedRow.value(deck, -1) && !r.title.isEmpty() && !r.artist.isEmpty();
        if (isNew) {
            expected.append(r);
            reportedRow[deck] = row;
            // Only the watcher's notice of the last append can bring it.
            QVERIFY(spy.wait(5000));
            QCOMPARE(spy.count(), expected.size());
        } else {
            parser->OnFileChanged(file);
            QVERIFY2(!anyReviewPending(*parser), qPrintable(QStringLiteral("entry %1").arg(i)));
        }
    }
    QVERIFY(!anyReviewPending(*parser));
    QCOMPARE(reports(spy), expected);
}

void TestSeratoFileParser::newSessionFileAppears()
{
    const QString older = sessionPath(QStringLiteral("1.session"));
    writeFile(older, sessionFile({{1, 1, QStringLiteral("Old"), QStringLiteral("A")}}),
              QIODevice::WriteOnly);
    setModified(older, QDateTime::currentDateTime().addSecs(-3600));
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);

    const QString newer = sessionPath(QStringLiteral("2.session"));
    writeFile(newer, sessionFile({{5, 2, QStringLiteral("New"), QStringLiteral("B")}}),
              QIODevice::WriteOnly);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(reports(spy).first(), (Report{2, QStringLiteral("B"), QStringLiteral("New")}));
    QTRY_VERIFY(!anyReviewPending(*parser));
    QCOMPARE(spy.count(), 1); // the older file's entry is not read
    QStringList watched = parser->watchedFiles();
    watched.sort();
    QCOMPARE(watched, (QStringList{QFileInfo(older).absoluteFilePath(),
                                   QFileInfo(newer).absoluteFilePath()}));

    // A folder (even one named like a session file) is not taken as a session file.
    QVERIFY(QDir(sessions->path()).mkdir(QStringLiteral("3.session")));
    parser->OnDirectoryChanged(sessions->path());
    QCOMPARE(parser->watchedFiles().size(), 2);
}

void TestSeratoFileParser::newerEntryRestartsDelay()
{
    const int delay = 400;
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, header(), QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(delay);

    append(file, oent({1, 1, QStringLiteral("First"), QStringLiteral("A")}));
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(1).isActive());
    QTRY_VERIFY(parser->reviewTimer(1).remainingTime() < delay / 2);

    append(file, oent({2, 1, QStringLiteral("Second"), QStringLiteral("A")}));
    QElapsedTimer clock;
    clock.start();
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(1).remainingTime() > delay * 3 / 4);
    QVERIFY(spy.wait(5000));
    // CoarseTimer may fire up to 5% early.
    QVERIFY2(clock.elapsed() >= delay * 9 / 10, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(reports(spy), (QList<Report>{{1, QStringLiteral("A"), QStringLiteral("Second")}}));
    QTRY_VERIFY(!anyReviewPending(*parser));
    QCOMPARE(spy.count(), 1);
}

void TestSeratoFileParser::decksAreIndependent()
{
    const int delay = 400;
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, header(), QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(delay);

    append(file, oent({1, 1, QStringLiteral("Deck one"), QStringLiteral("A")}));
    parser->OnFileChanged(file);
    QTRY_VERIFY(parser->reviewTimer(1).remainingTime() < delay / 2);
    const int deck1Left = parser->reviewTimer(1).remainingTime();

    append(file, oent({2, 2, QStringLiteral("Deck two"), QStringLiteral("B")}));
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(1).remainingTime() <= deck1Left);
    QVERIFY(parser->reviewTimer(2).remainingTime() > delay * 3 / 4);

    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 5000);
    QCOMPARE(reports(spy), (QList<Report>{{1, QStringLiteral("A"), QStringLiteral("Deck one")},
                                          {2, QStringLiteral("B"), QStringLiteral("Deck two")}}));
}

void TestSeratoFileParser::zeroDelayReportsAtOnce()
{
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, header(), QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);

    append(file, oent({1, 3, QStringLiteral("Now"), QStringLiteral("A")}));
    QElapsedTimer clock;
    clock.start();
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(3).isActive());
    QVERIFY(spy.wait(5000));
    // The floor is for repeats only: the first look comes at the delay.
    QVERIFY2(clock.elapsed() < SeratoFileParser::defaultRepeatFloorMs / 2,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(reports(spy), (QList<Report>{{3, QStringLiteral("A"), QStringLiteral("Now")}}));
    QVERIFY(!parser->reviewTimer(3).isActive());
}

void TestSeratoFileParser::repeatsHaveAFloor()
{
    // An earlier run already posted a higher row on deck 1: the review finds
    // nothing to report and keeps looking, no faster than the floor.
    writeFile(statePath("Deck1.lastposted"),
              stateText(50, 1, QStringLiteral("Posted"), QStringLiteral("P")),
              QIODevice::WriteOnly);
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, sessionFile({{7, 1, QStringLiteral("Seven"), QStringLiteral("S")}}),
              QIODevice::WriteOnly);
    auto parser = makeParser();
    parser->setRepeatFloorMs(60);
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    parser->OnFileChanged(file);
    QCOMPARE(parser->reviewTimer(1).interval(), 0);
    QTRY_COMPARE(parser->reviewTimer(1).interval(), 60);
    QVERIFY(parser->reviewTimer(1).isActive());
    QCOMPARE(spy.count(), 0);

    // The repeats still report once the guard allows it.
    QVERIFY(QFile::remove(statePath("Deck1.lastposted")));
    QVERIFY(spy.wait(5000));
    QCOMPARE(reports(spy), (QList<Report>{{1, QStringLiteral("S"), QStringLiteral("Seven")}}));
    QVERIFY(!parser->reviewTimer(1).isActive());

    // A new entry starts again from the review delay, not from the floor.
    append(file, oent({8, 1, QStringLiteral("Eight"), QStringLiteral("S")}));
    parser->OnFileChanged(file);
    QCOMPARE(parser->reviewTimer(1).interval(), 0);
    QVERIFY(spy.wait(5000));
}

void TestSeratoFileParser::stopThenStart()
{
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, sessionFile({{3, 1, QStringLiteral("Three"), QStringLiteral("A")}}),
              QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    append(file, QByteArray("tail"));
    QTRY_COMPARE(spy.count(), 1);
    QTRY_VERIFY(!anyReviewPending(*parser));
    QVERIFY(QFile::exists(statePath("Deck1.lastplayed")));
    QVERIFY(QFile::exists(statePath("Deck1.lastposted")));

    parser->stopWatching();
    QVERIFY(!parser->isRunning());
    QVERIFY(parser->watchedFiles().isEmpty());
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty());
    parser->startWatching(0);
    QVERIFY(parser->isRunning());
    QVERIFY(!anyReviewPending(*parser));

    // The deck's memory is gone: the same entry counts as new again.
    append(file, QByteArray("more"));
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(reports(spy).at(1), (Report{1, QStringLiteral("A"), QStringLiteral("Three")}));

    // Stopping while a review is pending drops it.
    append(file, oent({4, 1, QStringLiteral("Four"), QStringLiteral("A")}));
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(1).isActive());
    parser->stopWatching();
    QVERIFY(!anyReviewPending(*parser));
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty());
}

void TestSeratoFileParser::stateFilesFromEarlierRun_data()
{
    QTest::addColumn<QByteArray>("played"); // empty: no file
    QTest::addColumn<QByteArray>("posted");
    QTest::addColumn<bool>("reviewed");
    QTest::addColumn<bool>("reported");
    // The file's newest entry on deck 1 is row 103.
    const auto state = [](int row) { return stateText(row, 84, "Before", "B"); };
    QTest::newRow("older rows") << state(100) << state(100) << true << true;
    QTest::newRow("played already") << state(103) << state(90) << false << false;
    QTest::newRow("played later") << state(120) << QByteArray() << false << false;
    QTest::newRow("posted already") << state(50) << state(103) << true << false;
    QTest::newRow("garbage state")
        << QByteArray() << QByteArray("not a number\r\n") << true << true;
}

void TestSeratoFileParser::stateFilesFromEarlierRun()
{
    QFETCH(QByteArray, played);
    QFETCH(QByteArray, posted);
    QFETCH(bool, reviewed);
    QFETCH(bool, reported);
    if (!played.isEmpty())
        writeFile(statePath("Deck1.lastplayed"), played, QIODevice::WriteOnly);
    if (!posted.isEmpty())
        writeFile(statePath("Deck1.lastposted"), posted, QIODevice::WriteOnly);

    const QString file = sessionPath(QStringLiteral("84.session"));
    QVERIFY(QFile::copy(dataFile("mac24_84_two_decks.session"), file));
    auto parser = makeParser();
    parser->setRepeatFloorMs(30);
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    parser->OnFileChanged(file);
    QCOMPARE(parser->reviewTimer(1).isActive(), reviewed);
    QVERIFY(parser->reviewTimer(2).isActive()); // no memory of deck 2

    // Deck 2's report shows that the reviews have run.
    QTRY_VERIFY(!reports(spy).isEmpty() && reports(spy).last().deck == 2);
    QTRY_COMPARE(parser->reviewTimer(1).isActive() ? parser->reviewTimer(1).interval() : -1,
                 reviewed && !reported ? 30 : -1);
    QList<Report> want;
    if (reported)
        want.append({1, QStringLiteral("L\u012aVE"), QStringLiteral("Lakini's Juice")});
    want.append({2, QStringLiteral("L\u012aVE"), QStringLiteral("Take My Anthem")});
    QCOMPARE(reports(spy), want);

    const QByteArray newest =
        stateText(103, 84, QStringLiteral("Lakini's Juice"), QStringLiteral("L\u012aVE"));
    QCOMPARE(stateFile("Deck1.lastplayed"), reviewed ? newest : played);
    if (reported)
        QCOMPARE(stateFile("Deck1.lastposted"), newest);
}

void TestSeratoFileParser::incompleteEntriesAreNotReported()
{
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, header(), QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);

    append(file, oent({5, 1, QStringLiteral("No artist"), QString()}));
    append(file, chunk("oent", chunk("adat", intField(1, 6) + intField(31, 2) +
                                                 textField(7, QStringLiteral("No title")))));
    parser->OnFileChanged(file);
    QVERIFY(!anyReviewPending(*parser));
    QVERIFY(QDir(state->path()).entryList(QDir::Files).isEmpty());

    // A later, lower row on the same deck still counts: it is compared with
    // the last played row, which the incomplete entry did not move.
    append(file, oent({4, 1, QStringLiteral("Four"), QStringLiteral("A")}));
    parser->OnFileChanged(file);
    QVERIFY(!parser->reviewTimer(1).isActive()); // row 5 is still the newest on deck 1
    append(file, oent({7, 1, QStringLiteral("Seven"), QStringLiteral("A")}));
    parser->OnFileChanged(file);
    QVERIFY(parser->reviewTimer(1).isActive());
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(reports(spy).first(), (Report{1, QStringLiteral("A"), QStringLiteral("Seven")}));
}

void TestSeratoFileParser::textsPassThroughStateFiles()
{
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file,
              sessionFile({{1, 1, QStringLiteral("  Padded  "), QStringLiteral("\tTabbed ")},
                           {2, 2, QStringLiteral("Two\nLines"), QStringLiteral("Smile \U0001F600")},
                           {3, 3, QStringLiteral("H\u00fcsker"), QStringLiteral("D\u00fc")}}),
              QIODevice::WriteOnly);
    auto parser = makeParser();
    QSignalSpy spy(parser.get(), &SeratoFileParser::SeratoDataReady);
    parser->startWatching(0);
    parser->OnFileChanged(file);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(reports(spy),
             (QList<Report>{{1, QStringLiteral("Tabbed"), QStringLiteral("Padded")},
                            {2, QStringLiteral("Smile \U0001F600"), QStringLiteral("Two Lines")},
                            {3, QStringLiteral("D\u00fc"), QStringLiteral("H\u00fcsker")}}));
    // A line break would have shifted the lines of the state file.
    QCOMPARE(stateFile("Deck2.lastposted"),
             stateText(2, 7, QStringLiteral("Two Lines"), QStringLiteral("Smile \U0001F600")));
}

void TestSeratoFileParser::missingSessionFolder()
{
    SeratoFileParser parser(QDir(sessions->filePath(QStringLiteral("missing"))), state->path());
    parser.startWatching(0);
    QVERIFY(!parser.isRunning());
    QVERIFY(parser.watchedFiles().isEmpty());
    parser.stopWatching();
    QVERIFY(!parser.isRunning());
}

void TestSeratoFileParser::stateFolderIsPrivate_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("shared");
    QTest::newRow("missing") << "missing" << true;
    QTest::newRow("ours, open to all") << "open" << true;
    QTest::newRow("another user's") << "foreign" << false;
    QTest::newRow("symbolic link") << "link" << false;
    QTest::newRow("plain file") << "file" << false;
}

void TestSeratoFileParser::stateFolderIsPrivate()
{
    QFETCH(QString, kind);
    QFETCH(bool, shared);
    const QString tmp = state->path();
    const QString folder = tmp + QStringLiteral("/FENK");
    const QString fallback = tmp + QStringLiteral("/home/.cache/FENK");
    if (kind == QLatin1String("open")) {
        QVERIFY(QDir(tmp).mkdir(QStringLiteral("FENK")));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
    } else if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        QVERIFY(QDir(tmp).mkdir(QStringLiteral("FENK")));
        QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
    } else if (kind == QLatin1String("link")) {
        QVERIFY(QDir(tmp).mkdir(QStringLiteral("elsewhere")));
        QVERIFY(QFile::link(tmp + QStringLiteral("/elsewhere"), folder));
    } else if (kind == QLatin1String("file")) {
        writeFile(folder, "x", QIODevice::WriteOnly);
    }

    const QString chosen = SeratoFileParser::stateFolderFor(folder, fallback);
    QCOMPARE(chosen, shared ? folder : fallback);
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(chosen).constData(), &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(int(info.st_mode & 0777), 0700);
    QCOMPARE(info.st_uid, ::geteuid());

    // The watcher writes its state into the chosen folder only.
    const QString file = sessionPath(QStringLiteral("1.session"));
    writeFile(file, sessionFile({{1, 1, QStringLiteral("T"), QStringLiteral("A")}}),
              QIODevice::WriteOnly);
    SeratoFileParser parser(QDir(sessions->path()), chosen);
    QSignalSpy spy(&parser, &SeratoFileParser::SeratoDataReady);
    parser.startWatching(0);
    parser.OnFileChanged(file);
    QVERIFY(QFile::exists(chosen + QStringLiteral("/Deck1.lastplayed")));
    QTRY_COMPARE(spy.count(), 1);
    if (kind == QLatin1String("link"))
        QVERIFY(QDir(tmp + QStringLiteral("/elsewhere")).entryList(QDir::Files).isEmpty());
}

void TestSeratoFileParser::defaultStateFolderInTemp()
{
    // The default folder lives in the temporary directory; point that at ours.
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(state->path()));
    const QString folder = SeratoFileParser::defaultStateFolder();
    if (oldTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTmp);
    QCOMPARE(folder, QDir(state->path()).absolutePath() + QStringLiteral("/FENK"));
    QCOMPARE(int(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ReadOther)), 0);
}

FENK_TEST_GUILESS_MAIN(TestSeratoFileParser)
#include "tst_seratofileparser.moc"
