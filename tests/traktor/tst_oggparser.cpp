// Byte-level tests of the source handshake framing, the Ogg/Vorbis stream reader
// and the artist/title rules, without sockets.
#include "oggtestdata.h"
#include "peers.h"
#include "testhome.h"

#include "ogg_stream_reader.h"
#include "source_request_parser.h"
#include "track_comments.h"

#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QList<int> splits{1, 7, 137, 1400, 4096, 1 << 30};

// Drives the parser like a session does: bytes arrive in chunks, complete lines
// are taken one by one, and what is left after the request is returned.
QStringList parseRequest(const QByteArray& input, int chunk, QByteArray* rest)
{
    using S = source_request_parser::status;
    static const QMap<S, QString> refusals{
        {S::invalid_request, QStringLiteral("invalid")},
        {S::line_too_long, QStringLiteral("line too long")},
        {S::header_too_large, QStringLiteral("header too large")}};
    source_request_parser parser(8192, 65536);
    QStringList events;
    QByteArray buffer;
    int offset = 0;
    for (;;) {
        const auto r = parser.next(buffer.constData(), std::size_t(buffer.size()));
        if (r.what == S::need_more) {
            if (offset >= input.size())
                break;
            buffer.append(input.mid(offset, chunk));
            offset += chunk;
            continue;
        }
        if (refusals.contains(r.what)) {
            events << refusals.value(r.what);
            break;
        }
        buffer.remove(0, int(r.consumed));
        events << QStringLiteral("line:") + QString::fromStdString(r.text);
        if (r.what == S::done) {
            events << QStringLiteral("done");
            break;
        }
    }
    *rest = buffer + input.mid(offset);
    return events;
}

// Records what the reader saw, as text, and the tracks it would report.
class Recorder : public ogg_stream_reader::observer
{
public:
    QStringList events;
    QList<QPair<QString, QString>> reports;
    QList<QStringList> commentLists;

    void corrupt_data() override { events << QStringLiteral("corrupt"); }
    void stream_started() override { events << QStringLiteral("start"); }
    void stream_ended() override { events << QStringLiteral("end"); }
    void comments(const std::vector<std::string>& texts) override
    {
        QStringList list;
        for (const auto& t : texts)
            list << QString::fromStdString(t);
        commentLists << list;
        events << QStringLiteral("comments");
        const track_comments track = track_comments::from(list);
        if (track.reportable())
            reports << qMakePair(track.artist, track.title);
    }
};

void feedInChunks(ogg_stream_reader& reader, const QByteArray& data, int chunk)
{
    for (int offset = 0; offset < data.size(); offset += chunk) {
        const int n = qMin(chunk, data.size() - offset);
        char* target = reader.prepare(std::size_t(n));
        std::memcpy(target, data.constData() + offset, std::size_t(n));
        reader.commit(std::size_t(n));
    }
}

} // namespace

class TestOggParser : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray m_chain;
    QList<QPair<QString, QString>> m_chainReports;

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("oggenc", "vorbis-tools");
        m_chain = oggtest::sampleChain(m_dir.path(), &m_chainReports);
        QVERIFY(!m_chain.isEmpty());
    }

    void requestLines_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArray>("rest");

        QTest::newRow("request, two headers, empty line, stream bytes")
            << QByteArray("SOURCE /live.ogg HTTP/1.0\r\nAuthorization: Basic eDp5\r\n"
                          "Content-Type: application/ogg\r\n\r\n") +
                   QByteArray("OggS\0\2", 6)
            << QStringList{"line:SOURCE /live.ogg HTTP/1.0", "line:Authorization: Basic eDp5",
                           "line:Content-Type: application/ogg", "line:", "done"}
            << QByteArray("OggS\0\2", 6);
        QTest::newRow("bare line feeds")
            << QByteArray("SOURCE /m\nice-name: x\n\n")
            << QStringList{"line:SOURCE /m", "line:ice-name: x", "line:", "done"} << QByteArray();
        QTest::newRow("leading spaces before SOURCE")
            << QByteArray(" \t SOURCE /m HTTP/1.0\r\n\r\n")
            << QStringList{"line:SOURCE /m HTTP/1.0", "line:", "done"} << QByteArray();
        QTest::newRow("empty first line is rejected")
            << QByteArray("\r\nSOURCE /m\r\n\r\n") << QStringList{"invalid"} << QByteArray();
        QTest::newRow("later lines need not begin with SOURCE")
            << QByteArray("SOURCE\r\nGET /x\r\n   \r\n")
            << QStringList{"line:SOURCE", "line:GET /x", "line:", "done"} << QByteArray();
        QTest::newRow("no end of request yet")
            << QByteArray("SOURCE /m\r\nHost: x\r\nUser-")
            << QStringList{"line:SOURCE /m", "line:Host: x"} << QByteArray("User-");
        QTest::newRow("line of exactly the longest length")
            << QByteArray("SOURCE ") + QByteArray(8192 - 7, 'a') + "\n\n"
            << QStringList{"line:SOURCE " + QString(8192 - 7, 'a'), "line:", "done"}
            << QByteArray();
        QTest::newRow("endless header line")
            << QByteArray("SOURCE /m\r\nX: ") + QByteArray(9000, 'b') + "\r\n\r\n"
            << QStringList{"line:SOURCE /m", "line too long"} << QByteArray();
        QByteArray many("SOURCE /m\r\n");
        QStringList manyExpected{"line:SOURCE /m"};
        while (many.size() + 1002 <= 65536) {
            many += QByteArray(1000, 'h') + "\r\n";
            manyExpected << "line:" + QString(1000, 'h');
        }
        many += QByteArray(1000, 'h') + "\r\n\r\n";
        manyExpected << "header too large";
        QTest::newRow("header block beyond its allowance") << many << manyExpected << QByteArray();
    }

    void requestLines()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, expected);
        QFETCH(QByteArray, rest);
        for (const int chunk : splits) {
            QByteArray left;
            const QStringList events = parseRequest(input, chunk, &left);
            QCOMPARE(events, expected);
            // What follows the request (or the unfinished line) stays for the stream.
            if (expected.last() == QLatin1String("done") ||
                expected.last().startsWith(QLatin1String("line:")))
                QCOMPARE(left, rest);
        }
    }

    void artistAndTitle_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("reportable");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        // The sample chain covers the usual cases; these are the marker rules it does not.
        QTest::newRow("subtitle") << QStringList{"TITLE=T", "SUBTITLE=Y"} << true << ""
                                  << "SUBY";
        QTest::newRow("both markers count as artist")
            << QStringList{"ARTIST=TITLE=x"} << true << "TITLE=x"
            << "";
    }

    void artistAndTitle()
    {
        QFETCH(QStringList, texts);
        QFETCH(bool, reportable);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        const track_comments t = track_comments::from(texts);
        QCOMPARE(t.reportable(), reportable);
        QCOMPARE(t.artist, artist);
        QCOMPARE(t.title, title);
    }

    // The whole chain at every split: every track starts, is reported from its
    // comment header (or not, by the rules) and ends.
    void chainedTracks()
    {
        const int tracks = oggtest::sampleTracks().size();
        for (const int chunk : splits) {
            Recorder r;
            ogg_stream_reader reader(r);
            feedInChunks(reader, m_chain, chunk);
            QCOMPARE(r.reports, m_chainReports);
            QCOMPARE(r.events.count(QStringLiteral("start")), tracks);
            QCOMPARE(r.events.count(QStringLiteral("end")), tracks);
            QCOMPARE(r.events.count(QStringLiteral("comments")), tracks);
            QCOMPARE(r.events.count(QStringLiteral("corrupt")), 0);
            QCOMPARE(r.events.mid(0, 3), (QStringList{"start", "comments", "end"}));
        }
        Recorder r;
        ogg_stream_reader reader(r);
        reader.feed(m_chain.constData(), std::size_t(m_chain.size()));
        QCOMPARE(r.commentLists.value(1),
                 (QStringList{QStringLiteral("ARTIST=Zo\u00eb & R\u00f8yksopp <live>").toUtf8(),
                              "TITLE=a=b"}));
    }

    // An encoder that starts the next track without ending the previous one: the
    // new BOS page starts the new stream and its track is reported.
    void newTrackWithoutEndOfStream()
    {
        const QByteArray a =
            oggtest::withoutEos(oggtest::encode(m_dir.path(), {"ARTIST=First", "TITLE=A"}, 401));
        const QByteArray b = oggtest::encode(m_dir.path(), {"ARTIST=Second", "TITLE=B"}, 402);
        const QByteArray c = oggtest::encode(m_dir.path(), {"ARTIST=Third", "TITLE=C"}, 403);
        for (const int chunk : splits) {
            Recorder r;
            ogg_stream_reader reader(r);
            feedInChunks(reader, a + b + c, chunk);
            QCOMPARE(r.reports, (QList<QPair<QString, QString>>{
                                    {"First", "A"}, {"Second", "B"}, {"Third", "C"}}));
            QCOMPARE(r.events.count(QStringLiteral("start")), 3);
            QCOMPARE(r.events.count(QStringLiteral("end")), 3);
        }
    }

    void multiplexedStreams_data()
    {
        QTest::addColumn<bool>("vorbisFirst");
        QTest::newRow("Vorbis begins first") << true;
        QTest::newRow("another codec begins first") << false;
    }

    // Streams that begin beside a Vorbis stream, in the group of BOS pages that
    // opens a multiplexed broadcast, neither end it nor keep it from being read.
    void multiplexedStreams()
    {
        QFETCH(bool, vorbisFirst);
        const QList<QByteArray> vorbis =
            oggtest::pages(oggtest::encode(m_dir.path(), {"ARTIST=Main", "TITLE=A"}, 601));
        // A Vorbis BOS page whose packet type is spoiled stands for another codec.
        QByteArray other = oggtest::pages(oggtest::encode(m_dir.path(), {"TITLE=B"}, 602)).at(0);
        other[27 + static_cast<unsigned char>(other[26])] = 'X';
        oggtest::renewChecksum(other);
        QByteArray stream = vorbisFirst ? vorbis.at(0) + other : other + vorbis.at(0);
        for (int i = 1; i < vorbis.size(); ++i)
            stream += vorbis.at(i);
        Recorder r;
        ogg_stream_reader reader(r);
        reader.feed(stream.constData(), std::size_t(stream.size()));
        QCOMPARE(r.reports, (QList<QPair<QString, QString>>{{"Main", "A"}}));
    }

    // Damage between tracks and inside one: warnings, and every intact track is still
    // reported.
    void damagedBytes()
    {
        const QByteArray a = oggtest::encode(m_dir.path(), {"ARTIST=A1", "TITLE=T1"}, 501);
        QByteArray b = oggtest::encode(m_dir.path(), {"ARTIST=B1", "TITLE=T2"}, 502);
        const QByteArray c = oggtest::encode(m_dir.path(), {"ARTIST=C1", "TITLE=T3"}, 503);
        QByteArray garbage(3000, '\0');
        for (int i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919) & 0xff);
        // A flipped bit in the second track's comment page fails its checksum.
        const QList<QByteArray> bPages = oggtest::pages(b);
        const int commentPageStart = bPages.at(0).size();
        b[commentPageStart + 40] = char(b[commentPageStart + 40] ^ 0x10);
        Recorder r;
        ogg_stream_reader reader(r);
        feedInChunks(reader, a + garbage + b + c, 137);
        QVERIFY(r.events.count(QStringLiteral("corrupt")) >= 2);
        QVERIFY(r.reports.contains(qMakePair(QStringLiteral("A1"), QStringLiteral("T1"))));
        QVERIFY(!r.reports.contains(qMakePair(QStringLiteral("B1"), QStringLiteral("T2"))));
        QCOMPARE(r.reports.last(), qMakePair(QStringLiteral("C1"), QStringLiteral("T3")));
    }
};

FENK_TEST_GUILESS_MAIN(TestOggParser)
#include "tst_oggparser.moc"
