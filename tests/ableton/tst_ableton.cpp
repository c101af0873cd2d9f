// The Ableton listener: the OSC decoder on bytes as any split of reads delivers
// them, then the listener over real sockets with oscsend and hostile clients.
#include "logcapture.h"
#include "oscmessages.h"
#include "peers.h"
#include "testhome.h"

#include "osc_parser.h"
#include "oscthread.h"

#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

using namespace oscmsg;

namespace {

QByteArray bundle(const QByteArrayList& elements)
{
    QByteArray out = QByteArray("#bundle\0", 8) + int32(0) + int32(1);
    for (const QByteArray& e : elements)
        out += framed(e);
    return out;
}

std::unique_ptr<QTcpSocket> connectTo(int port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, quint16(port));
    socket->waitForConnected(5000);
    return socket;
}

bool closedByPeer(QTcpSocket& socket)
{
    return socket.state() == QAbstractSocket::UnconnectedState ||
           QSignalSpy(&socket, &QTcpSocket::disconnected).wait(5000);
}

} // namespace

class TestAbleton : public QObject
{
    Q_OBJECT

    std::unique_ptr<OscThread> m_thread;
    std::unique_ptr<Recorder> m_recorder;
    int m_port = 0;

    void startListener(osc_server_options options = {})
    {
        m_thread = std::make_unique<OscThread>(0, nullptr, options);
        m_recorder = std::make_unique<Recorder>(m_thread->hub);
        m_port = 0;
        connect(m_thread.get(), &OscThread::listening, this, [this](int p) { m_port = p; });
        m_thread->start();
        QTRY_VERIFY(m_port != 0);
    }

private Q_SLOTS:
    void cleanup()
    {
        m_thread.reset();
        m_recorder.reset();
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("expected");

        const QByteArray clipAB = clip(2, "Track A", 5, "Clip B");
        QTest::newRow("tempos") << tempo(120) + tempo(-127.3f) + tempo(0)
                                << QStringList{"tempo:120.000000", "tempo:-127.300003",
                                               "tempo:0.000000"};
        QTest::newRow("infinity, NaN, negative zero")
            << tempoWithBits(0xff800000) + tempoWithBits(0x7fc01111) + tempoWithBits(0x807fffff)
            << QStringList{"tempo:-inf", "tempo:inf", "tempo:-0.000000"};
        QTest::newRow("clips") << clip(1, "Drums", 0, "Intro") + clip(-3, "Keys", 65537, "A")
                               << QStringList{"clip:1|Drums|0|Intro", "clip:0|Keys|65537|A"};
        QTest::newRow("UTF-8 and empty texts")
            << clip(1, "Caf\xc3\xa9 \xe2\x99\xab", 3, "") + tempo(90)
            << QStringList{QStringLiteral("clip:1|Caf\u00e9 \u266b|3|"), "tempo:90.000000"};
        QByteArray forty;
        QStringList fortyReports;
        for (int k = 0; k < 40; ++k) {
            forty += framed(tempo(float(100 + k)));
            fortyReports << QStringLiteral("tempo:%1.000000").arg(100 + k);
        }
        QTest::newRow("40 framed tempos") << forty << fortyReports;
        QTest::newRow("both framings mixed")
            << framed(tempo(120)) + clipAB + framed(tempo(128)) + tempo(60)
            << QStringList{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000",
                           "tempo:60.000000"};
        QTest::newRow("bundles, framed and not, nested")
            << framed(bundle({tempo(120), bundle({clipAB})})) + bundle({tempo(128)}) + tempo(60)
            << QStringList{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000",
                           "tempo:60.000000"};
        QTest::newRow("other messages, wrong and unknown tags")
            << str("/pelmora/ableton/clip") + str(",iiss") + int32(2) + int32(5) + str("a") +
                   str("b") + str("/other") + str(",ibTs") + int32(1) + int32(3) + "abc\0" +
                   str("x") + str("/x") + str(",q") + tempo(120)
            << QStringList{"tempo:120.000000"};
        QTest::newRow("noise, a zero length, an oversized frame")
            << QByteArray(5, '\0') + "noise" + QByteArray(3, '\0') + tempo(120) + int32(0) +
                   int32(70000) + QByteArray(70000, '/') + tempo(128)
            << QStringList{"tempo:120.000000", "tempo:128.000000"};
        QTest::newRow("unframed message over the limit")
            << str("/" + QByteArray(70000, 'a')) + tempo(128) << QStringList{"tempo:128.000000"};
    }

    // Whole, and cut at every byte into two reads (and into reads of 3 bytes for
    // the long rows): the same reports in the same order, nothing lost or invented.
    void decode()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, expected);
        const int step = stream.size() > 2000 ? 997 : 1;
        for (int cut = 0; cut <= stream.size(); cut += step) {
            Messanger hub;
            Recorder recorder(&hub);
            osc_parser parser(&hub, "test: ");
            if (stream.size() > 2000 && cut > 0) {
                for (int offset = 0; offset < stream.size(); offset += cut)
                    parser.feed(stream.mid(offset, cut));
            } else {
                parser.feed(stream.left(cut));
                parser.feed(stream.mid(cut));
            }
            QVERIFY2(recorder.events == expected,
                     qPrintable(QStringLiteral("cut %1: ").arg(cut) + recorder.events.join(' ')));
        }
    }

    void oscsend_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("record");
        QTest::newRow("tempo 127.3")
            << QStringList{"/pelmora/ableton/tempo", "f", "127.3"} << "tempo:127.300003"
            << "INF\tOSC connection 1: tempo 127.300003";
        QTest::newRow("clip with a second integer 0 and short texts")
            << QStringList{"/pelmora/ableton/clip", "isis", "1", "Keys", "0", "A"}
            << "clip:1|Keys|0|A"
            << "INF\tOSC connection 1: clip 1, Keys, 0, A";
    }

    // A real sender, whose TCP transport puts a length before every message.
    void oscsend()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QFETCH(QString, record);
        FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");
        LogCapture log;
        startListener();
        QProcess oscsend;
        oscsend.start(QStringLiteral("oscsend"),
                      QStringList{QStringLiteral("osc.tcp://127.0.0.1:%1").arg(m_port)} +
                          arguments);
        QVERIFY(oscsend.waitForFinished(10000));
        QCOMPARE(oscsend.exitCode(), 0);
        QTRY_COMPARE(m_recorder->events, QStringList{expected});
        QTRY_VERIFY2(log.contains(record), qPrintable(log.records().join('\n')));
    }

    // Silent connections fill every place and the next is refused; they are
    // closed when idle, and a real sender gets in again. The others go on.
    void idleConnectionsMakeRoom()
    {
        LogCapture log;
        osc_server_options options;
        options.max_connections = 3;
        options.idle_timeout = std::chrono::milliseconds(300);
        startListener(options);
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int k = 0; k < 3; ++k)
            silent.push_back(connectTo(m_port));
        silent.back()->write(tempo(1));
        QTRY_COMPARE(m_recorder->events.size(), 1);
        auto refused = connectTo(m_port);
        QVERIFY(closedByPeer(*refused));
        QTRY_VERIFY(log.text().contains(QLatin1String("\tWRN\tOSC connection from 127.0.0.1:")));
        for (auto& s : silent)
            QVERIFY(closedByPeer(*s));
        auto sender = connectTo(m_port);
        sender->write(framed(tempo(120)) + clip(2, "a", 3, "b").left(20));
        QVERIFY(sender->waitForBytesWritten(5000));
        QTRY_COMPARE(m_recorder->events.size(), 2);
        sender->write(clip(2, "a", 3, "b").mid(20));
        QTRY_COMPARE(m_recorder->events,
                     (QStringList{"tempo:1.000000", "tempo:120.000000", "clip:2|a|3|b"}));
    }
};

FENK_TEST_GUILESS_MAIN(TestAbleton)
#include "tst_ableton.moc"
