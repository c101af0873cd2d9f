#include "adatchunkparser.h"
#include "fenktestconfig.h"
#include "seratotestdata.h"
#include "testhome.h"

#include <QtTest>

using namespace seratotest;

namespace {

QString dataFile(const char* name)
{
    return QStringLiteral(FENK_TEST_DATA_DIR "/serato/") + QLatin1String(name);
}

struct Latest
{
    qint32 row = -1;
    qint32 field48 = -1;
    QString title;
    QString artist;
};

Latest latest(const AdatChunkParser& parser, int deck)
{
    Latest l;
    parser.latestEntry(deck, l.row, l.field48, l.title, l.artist);
    return l;
}

Latest latestIn(const QByteArray& data, int deck)
{
    AdatChunkParser parser;
    parser.parse(data);
    return latest(parser, deck);
}

} // namespace

class TestSeratoChunkParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void realFiles_data();
    void realFiles();
    void cutAtEveryOffset_data();
    void cutAtEveryOffset();
    void syntheticEntries_data();
    void syntheticEntries();
    void text_data();
    void text();
    void chunkFinding_data();
    void chunkFinding();
};

void TestSeratoChunkParser::realFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("chunks"); // top-level chunks read, 0 for all
    QTest::addColumn<int>("deck");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("field48");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("artist");

    const auto add = [](const char* file, int deck, int row, int field48, const QString& title,
                        const QString& artist, int chunks = 0) {
        QTest::addRow("%s deck %d, %d chunks", file, deck, chunks)
            << dataFile(file) << chunks << deck << row << field48 << title << artist;
    };
    add("mac24_80_open_entry.session", 1, 82, 80, QStringLiteral("Big Time Sensuality"),
        QStringLiteral("Bj\u00f6rk"));
    add("mac24_80_open_entry.session", 2, -1, -1, QString(), QString());
    add("mac24_84_two_decks.session", 1, 103, 84, QStringLiteral("Lakini's Juice"),
        QStringLiteral("L\u012aVE"));
    add("mac24_84_two_decks.session", 2, 93, 84, QStringLiteral("Take My Anthem"),
        QStringLiteral("L\u012aVE"));
    add("mac24_84_two_decks.session", 3, -1, -1, QString(), QString());
    add("mac24_1_appended_duplicates.session", 1, 10, 1, QStringLiteral("All I Need"),
        QStringLiteral("L\u012aVE"));
    add("mac24_1_appended_duplicates.session", 2, 9, 1,
        QStringLiteral("(What's So Funny 'Bout) Peace, Love and Understanding"),
        QStringLiteral("Matthew Sweet & Susanna Hoffs"));
    add("win25_1_u64_timestamps.session", 1, 5, 1, QStringLiteral("Heaven"),
        QStringLiteral("Bio Unit"));
    add("win25_1_u64_timestamps.session", 2, 4, 1, QStringLiteral("Night Owl"),
        QStringLiteral("Broke For Free"));
    // The header and the first entry, which has no artist field.
    add("win25_1_u64_timestamps.session", 1, 3, 1,
        QStringLiteral("Origami Repetika - Get Suzie With The Corks"), QString(), 2);
    add("win_tidal_86_unplayed.session", 1, 106, 86, QStringLiteral("BAYAREA.BMP"),
        QStringLiteral("MASTER BOOT RECORD"));
    add("win_tidal_86_unplayed.session", 2, 107, 86, QStringLiteral("Laser Evolution"),
        QStringLiteral("Doomroar"));
    add("win_tidal_86_unplayed.session", 4, -1, -1, QString(), QString());
}

void TestSeratoChunkParser::realFiles()
{
    QFETCH(QString, file);
    QFETCH(int, chunks);
    QFETCH(int, deck);
    QByteArray data = readAll(file);
    QVERIFY2(!data.isEmpty(), qPrintable(file));
    if (chunks > 0)
        data.truncate(topLevelEnds(data).value(chunks - 1));
    const Latest l = latestIn(data, deck);
    QTEST(int(l.row), "row");
    QTEST(int(l.field48), "field48");
    QTEST(l.title, "title");
    QTEST(l.artist, "artist");
}

void TestSeratoChunkParser::cutAtEveryOffset_data()
{
    QTest::addColumn<QByteArray>("data");
    for (const char* name :
         {"mac24_84_two_decks.session", "win25_1_u64_timestamps.session",
          "win_tidal_86_unplayed.session", "mac24_1_appended_duplicates.session"})
        QTest::newRow(name) << readAll(dataFile(name));
    QTest::newRow("synthetic, surrogate pairs") << sessionFile(
        {{1, 1, QStringLiteral("Song \U0001F3B5"), QStringLiteral("A")},
         {2, 2, QStringLiteral("\u6771\u4eac"), QStringLiteral("\u0416\u0443\u043a")},
         {3, 1, QStringLiteral("Third"), QStringLiteral("B \U0001F600")}});
}

void TestSeratoChunkParser::cutAtEveryOffset()
{
    // The writer appends while we read: whatever the cut, only whole entries
    // may come out, and the newest whole one per deck.
    QFETCH(QByteArray, data);
    QVERIFY(!data.isEmpty());
    const QList<int> ends = topLevelEnds(data);
    QCOMPARE(ends.last(), data.size());

    for (int cut = 0; cut <= data.size(); ++cut) {
        const QByteArray prefix = data.left(cut);
        AdatChunkParser parser;
        parser.parse(prefix);
        // The entries whole in the prefix are those of the chunks ending at or before the cut.
        int whole = 0;
        while (whole < ends.size() && ends.at(whole) <= cut)
            ++whole;
        const int wholeEntries = whole > 0 ? whole - 1 : 0; // the first chunk is the header
        QCOMPARE(parser.rowsByDeck().size(), wholeEntries);
        AdatChunkParser expected;
        expected.parse(data.left(whole > 0 ? ends.at(whole - 1) : 0));
        for (int deck = 1; deck <= 4; ++deck) {
            const Latest got = latest(parser, deck);
            const Latest want = latest(expected, deck);
            QCOMPARE(got.row, want.row);
            QCOMPARE(got.title, want.title);
            QCOMPARE(got.artist, want.artist);
        }
    }
}

void TestSeratoChunkParser::syntheticEntries_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("deck");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("artist");

    const QString t = QStringLiteral("T");
    const QString a = QStringLiteral("A");
    QTest::newRow("plain bytes") << QByteArray("no entries in here at all, ada dat") << 1 << -1
                                 << QString() << QString();
    QTest::newRow("one entry, asked deck")
        << chunk("adat", intField(1, 5) + intField(31, 2) + textField(6, t) + textField(7, a)) << 2
        << 5 << t << a;
    QTest::newRow("one entry, other deck")
        << chunk("adat", intField(1, 5) + intField(31, 2) + textField(6, t) + textField(7, a)) << 1
        << -1 << QString() << QString();
    QTest::newRow("rows 3 then 7")
        << sessionFile({{3, 1, QStringLiteral("three"), a}, {7, 1, QStringLiteral("seven"), a}})
        << 1 << 7 << QStringLiteral("seven") << a;
    QTest::newRow("rows 7 then 3")
        << sessionFile({{7, 1, QStringLiteral("seven"), a}, {3, 1, QStringLiteral("three"), a}})
        << 1 << 7 << QStringLiteral("seven") << a;
    QTest::newRow("same row on two decks, deck 1")
        << sessionFile({{4, 1, QStringLiteral("first"), a}, {4, 2, QStringLiteral("second"), a}})
        << 1 << 4 << QStringLiteral("second") << a;
    QTest::newRow("negative row never chosen")
        << sessionFile({{-5, 1, QStringLiteral("neg"), a}}) << 1 << -1 << QString() << QString();
    QTest::newRow("chunk without row")
        << chunk("adat", intField(31, 1) + textField(6, t) + textField(7, a)) << 1 << -1
        << QString() << QString();
    QTest::newRow("later field replaces earlier")
        << chunk("adat", intField(1, 2) + intField(31, 1) + textField(6, QStringLiteral("old")) +
                             textField(7, a) + textField(6, t))
        << 1 << 2 << t << a;
    // Integer fields are taken as 4 bytes whatever their length says; the
    // remaining bytes are then read as the next field id.
    QTest::newRow("row field of length 8")
        << chunk("adat", field(1, be32(6) + be32(31) + be32(4) + be32(1)) + textField(6, t) +
                             textField(7, a))
        << 1 << 6 << t << a;
    QTest::newRow("unknown field longer than payload ends chunk")
        << chunk("adat", intField(1, 3) + intField(31, 1) + textField(6, t) + textField(7, a) +
                             be32(99) + be32(1000) + textField(6, QStringLiteral("lost")))
        << 1 << 3 << t << a;
    QTest::newRow("title cut at payload end")
        << chunk("adat", intField(1, 3) + intField(31, 1) + textField(7, a) + be32(6) + be32(40) +
                             utf16be(QStringLiteral("Cut")))
        << 1 << 3 << QStringLiteral("Cut") << a;
}

void TestSeratoChunkParser::syntheticEntries()
{
    QFETCH(QByteArray, data);
    QFETCH(int, deck);
    const Latest l = latestIn(data, deck);
    QTEST(int(l.row), "row");
    QTEST(l.title, "title");
    QTEST(l.artist, "artist");
    if (l.row < 0)
        QCOMPARE(l.field48, -1);
}

void TestSeratoChunkParser::text_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("latin-1 in utf-16") << QByteArray::fromHex("004100720074") << "Art";
    QTest::newRow("terminator dropped") << QByteArray::fromHex("00410000") << "A";
    QTest::newRow("terminator only") << QByteArray::fromHex("0000") << "";
    QTest::newRow("euro sign") << QByteArray::fromHex("20ac") << QStringLiteral("\u20ac");
    QTest::newRow("cyrillic, japanese")
        << utf16be(QStringLiteral("\u0416\u0443\u043a \u6771\u4eac"))
        << QStringLiteral("\u0416\u0443\u043a \u6771\u4eac");
    QTest::newRow("surrogate pair")
        << QByteArray::fromHex("d83cdfb50000") << QStringLiteral("\U0001F3B5");
    QTest::newRow("lone high surrogate")
        << QByteArray::fromHex("d83c0041") << QStringLiteral("\ufffdA");
    QTest::newRow("lone low surrogate at end")
        << QByteArray::fromHex("0041dfb5") << QStringLiteral("A\ufffd");
    QTest::newRow("pair in wrong order")
        << QByteArray::fromHex("dfb5d83c") << QStringLiteral("\ufffd\ufffd");
    QTest::newRow("byte order mark") << QByteArray::fromHex("feff00410000") << "A";
    QTest::newRow("no-break space inside kept")
        << QByteArray::fromHex("0041feff") << QStringLiteral("A\ufeff");
    QTest::newRow("odd length: byte rule")
        << QByteArray::fromHex("4100e9fc00") << QStringLiteral("A\u00e9\u00fc");
    QTest::newRow("empty") << QByteArray() << "";
}

void TestSeratoChunkParser::text()
{
    QFETCH(QByteArray, bytes);
    QTEST(ChunkParser::bytesToText(bytes), "text");
    // The same bytes as a title field give the same text.
    const QByteArray data =
        chunk("adat", intField(1, 1) + intField(31, 1) + field(6, bytes) + textField(7, "x"));
    QTEST(latestIn(data, 1).title, "text");
}

void TestSeratoChunkParser::chunkFinding_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("deck1Row");

    const QByteArray inner =
        chunk("adat", intField(1, 8) + intField(31, 1) + textField(6, "in") + textField(7, "x"));
    const QByteArray outerFields = intField(1, 2) + intField(31, 1) + textField(6, "out") +
                                   textField(7, "x") + field(17, inner);
    QTest::newRow("adat inside a payload") << chunk("adat", outerFields) << 2 << 8;
    QByteArray tornInner = inner;
    tornInner.chop(3);
    QTest::newRow("torn adat inside a payload")
        << chunk("adat", intField(1, 2) + intField(31, 1) + textField(6, "out") +
                             textField(7, "x") + field(17, tornInner))
        << 1 << 2;
    QTest::newRow("length past the end")
        << (sessionFile({{1, 1, "a", "b"}}) + inner.left(20)) << 1 << 1;
    QTest::newRow("length field cut")
        << (sessionFile({{1, 1, "a", "b"}}) + QByteArray("adat\0\0", 6)) << 1 << 1;
    QTest::newRow("negative length")
        << (sessionFile({{1, 1, "a", "b"}}) + QByteArray("adat") + be32(0xfffffff0u) + inner.mid(8))
        << 1 << 1;
    QTest::newRow("empty payload") << chunk("adat", QByteArray()) << 1 << -1;
}

void TestSeratoChunkParser::chunkFinding()
{
    QFETCH(QByteArray, data);
    AdatChunkParser parser;
    parser.parse(data);
    QTEST(int(parser.rowsByDeck().size()), "entries");
    QTEST(int(latest(parser, 1).row), "deck1Row");
}

FENK_TEST_GUILESS_MAIN(TestSeratoChunkParser)
#include "tst_seratochunkparser.moc"
