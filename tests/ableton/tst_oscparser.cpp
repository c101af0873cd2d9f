#include "messanger.h"
#include "osc_parser.h"
#include "oscmessages.h"
#include "testhome.h"

#include <QtTest>

using namespace oscmsg;

class TestOscParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void feed_data();
    void feed();
    void shortClipTypeTag();
    void everySplitOfAStream();
};

void TestOscParser::feed_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QStringList>("expected");

    const QByteArray clipAB = clip(2, "Track A", 5, "Clip B");
    const QByteArray tempo1273 = tempo(127.3f);

    QTest::newRow("tempo 120") << QByteArrayList{tempo(120)} << QStringList{"tempo:120.000000"};
    QTest::newRow("negative tempo")
        << QByteArrayList{tempo(-120)} << QStringList{"tempo:-120.000000"};
    QTest::newRow("tempo 127.3 last in read")
        << QByteArrayList{tempo1273} << QStringList{"tempo:127.300003"};
    QTest::newRow("tempo 127.3 runs into clip")
        << QByteArrayList{tempo1273 + clipAB} << QStringList{"clip:2|Track A|5|Clip B"};
    QTest::newRow("tempo 0 then another message: value taken from the type tag token")
        << QByteArrayList{tempo(0) + tempo(120)}
        << QStringList{"tempo:0.000000", "tempo:120.000000"};
    QTest::newRow("tempo 0 alone: fewer than three tokens")
        << QByteArrayList{tempo(0)} << QStringList{};
    QTest::newRow("largest float") << QByteArrayList{tempoWithBits(0x7f7fffff)}
                                   << QStringList{"tempo:340282346638528859811704183484516925440."
                                                  "000000"};
    QTest::newRow("exponent 255 is infinity")
        << QByteArrayList{tempoWithBits(0x7fc01111), tempoWithBits(0xffffffff)}
        << QStringList{"tempo:inf", "tempo:-inf"};
    QTest::newRow("exponent 0 with sign prints as -0")
        << QByteArrayList{tempoWithBits(0x807fffff)} << QStringList{"tempo:-0.000000"};
    QTest::newRow("tempo value split by a 0 byte")
        << QByteArrayList{tempoWithBits(0x42f00001)} << QStringList{};
    QTest::newRow("tempo without type tag")
        << QByteArrayList{str("/pelmora/ableton/tempo") + str(",i") + int32(0x42f00001)}
        << QStringList{};

    QTest::newRow("clip") << QByteArrayList{clipAB} << QStringList{"clip:2|Track A|5|Clip B"};
    QTest::newRow("negative integers") << QByteArrayList{clip(-3, "Track A", -7, "Clip B")}
                                       << QStringList{"clip:0|Track A|0|Clip B"};
    QTest::newRow("integers without 0 bytes")
        << QByteArrayList{clip(0x01020304, "abc", 0x7fffffff, "defgh")}
        << QStringList{"clip:16909060|abc|2147483647|defgh"};
    QTest::newRow("integer 65537 splits into tokens")
        << QByteArrayList{clip(65537, "Track A", 5, "Clip B")} << QStringList{};
    QTest::newRow("UTF-8 texts")
        << QByteArrayList{clip(1, "Caf\xc3\xa9 \xe2\x99\xab", 3, "\xd0\xaf\xd0\xb1")}
        << QStringList{QStringLiteral("clip:1|Caf\u00e9 \u266b|3|\u042f\u0431")};
    QTest::newRow("empty texts") << QByteArrayList{clip(2, "", 5, "")} << QStringList{"clip:2||5|"};
    QTest::newRow("clip with wrong type tags")
        << QByteArrayList{str("/pelmora/ableton/clip") + str(",iiss") + int32(2) + int32(5) +
                          str("a") + str("b")}
        << QStringList{};

    QTest::newRow("zeros and noise before the message")
        << QByteArrayList{QByteArray(5, '\0') + "noise" + QByteArray(3, '\0') + tempo(120)}
        << QStringList{"tempo:120.000000"};

    // liblo's TCP transport puts the length before each message: its bytes join
    // the float token before it, which is then longer than 4 bytes.
    QTest::newRow("two length-prefixed tempos in one read")
        << QByteArrayList{framed(tempo(120)) + framed(tempo(128))}
        << QStringList{"tempo:128.000000"};

    // Each read stands on its own.
    QTest::newRow("clip cut in its last text")
        << QByteArrayList{clipAB.left(clipAB.size() - 4), clipAB.right(4)}
        << QStringList{"clip:2|Track A|5|Clip"};
    QTest::newRow("address at the end of a read, type tag and value in the next")
        << QByteArrayList{QByteArray("abc\0", 4) + tempo(120).left(24), tempo(120).mid(24) + "xyz",
                          tempo(128)}
        << QStringList{"tempo:128.000000"};
}

void TestOscParser::feed()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(QStringList, expected);

    Messanger hub;
    Recorder recorder(&hub);
    osc_parser parser(&hub);
    for (const QByteArray& read : reads)
        parser.feed(read);
    QCOMPARE(recorder.events, expected);
}

void TestOscParser::shortClipTypeTag()
{
    // A type tag token shorter than 8 bytes is the one malformed input that is
    // remarked on.
    Messanger hub;
    Recorder recorder(&hub);
    osc_parser parser(&hub);
    QTest::ignoreMessage(QtDebugMsg, "Error");
    parser.feed(str("/pelmora/ableton/clip") + QByteArray(",isis\0\0", 7) + "\x01" + str("a") +
                int32(0x01010101) + str("b"));
    QVERIFY(recorder.events.isEmpty());
}

void TestOscParser::everySplitOfAStream()
{
    // Wherever a stream of whole messages is cut, the first read never reports
    // something the whole stream would not, and nothing that starts in the
    // first read is reported from the second.
    const QByteArray stream =
        tempo(120) + clip(2, "Track A", 5, "Clip B") + tempo(128) + clip(7, "Deck", 9, "Loop");
    const QStringList whole{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000",
                            "clip:7|Deck|9|Loop"};
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Messanger hub;
        Recorder recorder(&hub);
        osc_parser parser(&hub);
        parser.feed(stream.left(cut));
        const int firstCount = int(recorder.events.size());
        parser.feed(stream.mid(cut));
        for (int k = 0; k < recorder.events.size(); ++k) {
            const QString& event = recorder.events.at(k);
            // A cut last text is the only report that differs from the whole.
            if (k == firstCount - 1 && !whole.contains(event)) {
                QVERIFY2(event.startsWith(QLatin1String("clip:")), qPrintable(event));
                continue;
            }
            QVERIFY2(whole.contains(event), qPrintable(QString::number(cut) + ": " + event));
        }
        QVERIFY(recorder.events.size() <= whole.size());
    }
}

FENK_TEST_GUILESS_MAIN(TestOscParser)
#include "tst_oscparser.moc"
