// The Ableton listener: the OSC decoder on bytes in reads of any size, then the
// listener over real sockets with oscsend and hostile clients.
#include "logcapture.h"
#include "messanger.h"
#include "peers.h"
#include "testhome.h"

#include "osc_parser.h"
#include "oscthread.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// The hub's reports in order, queued across threads as in the window.
struct Recorder : QObject
{
    explicit Recorder(Messanger* hub)
    {
        connect(hub, qOverload<QString>(&Messanger::sendStat), this,
                [this](const QString& tempo) { events << "tempo:" + tempo; });
        connect(hub, qOverload<QStringList>(&Messanger::sendStat), this,
                [this](const QStringList& clip) { events << "clip:" + clip.join('|'); });
    }
    QStringList events;
};

} // namespace

class TestAbleton : public QObject
{
    Q_OBJECT

    std::unique_ptr<OscThread> m_thread;
    int m_port = 0;
    QStringList m_failures;

    // OSC as senders write it: strings with at least one NUL, padded to 4 bytes,
    // big-endian numbers, and for TCP a length before every packet.
    static QByteArray str(const QByteArray& s) { return s + QByteArray(4 - s.size() % 4, 0); }
    template <typename T> static QByteArray be(T value)
    {
        QByteArray out(4, '\0');
        qToBigEndian(value, out.data());
        return out;
    }
    static QByteArray tempo(float f) { return str("/pelmora/ableton/tempo") + str(",f") + be(f); }
    static QByteArray clip(qint32 first, const QByteArray& a, qint32 second, const QByteArray& b)
    {
        return str("/pelmora/ableton/clip") + str(",isis") + be(first) + str(a) + be(second) +
               str(b);
    }
    static QByteArray framed(const QByteArray& message) { return be(message.size()) + message; }
    static QByteArray bundle(const QByteArrayList& elements)
    {
        QByteArray out = str("#bundle") + be(0) + be(1);
        for (const QByteArray& e : elements)
            out += framed(e);
        return out;
    }
    static std::unique_ptr<QTcpSocket>
    connectTo(int port, const QHostAddress& host = QHostAddress("127.0.0.2"))
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(host, quint16(port));
        socket->waitForConnected(5000);
        return socket;
    }
    static bool closedByPeer(QTcpSocket& socket)
    {
        return socket.state() == QAbstractSocket::UnconnectedState ||
               QSignalSpy(&socket, &QTcpSocket::disconnected).wait(5000);
    }

private Q_SLOTS:
    void cleanup() { m_thread.reset(); }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("expected");
        const QByteArray clipAB = clip(2, "Track A", 5, "Clip B");
        const QStringList fourth{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000",
                                 "tempo:60.000000"};
        QTest::newRow("tempos") << tempo(-127.3f) + tempo(-INFINITY) + tempo(NAN) + tempo(-1e-39f)
                                << QStringList{"tempo:-127.300003", "tempo:-inf", "tempo:inf",
                                               "tempo:-0.000000"};
        QTest::newRow("clips, UTF-8 and empty texts")
            << clip(-3, "Keys", 65537, "A") + clip(1, "Caf\xc3\xa9 \xe2\x99\xab", 3, "")
            << QStringList{"clip:0|Keys|65537|A", QString("clip:1|Caf\u00e9 \u266b|3|")};
        QByteArray forty;
        QStringList fortyReports;
        for (int k = 100; k < 140; ++k)
            forty += framed(tempo(k)), fortyReports << QString("tempo:%1.000000").arg(k);
        QTest::newRow("40 framed tempos") << forty << fortyReports;
        QTest::newRow("both framings mixed")
            << framed(tempo(120)) + clipAB + framed(tempo(128)) + tempo(60) << fourth;
        QTest::newRow("bundles, framed and not, nested")
            << framed(bundle({tempo(120), bundle({clipAB})})) + bundle({tempo(128)}) + tempo(60)
            << fourth;
        QTest::newRow("other messages, wrong and unknown tags")
            << str("/pelmora/ableton/clip") + str(",iiss") + be(2) + be(5) + str("a") + str("b") +
                   str("/other") + str(",ibTs") + be(1) + be(3) + "abc\0" + str("x") + str("/x") +
                   str(",q") + tempo(120)
            << QStringList{"tempo:120.000000"};
        QTest::newRow("noise before a tempo")
            << QByteArray(5, '\0') + "noise" + QByteArray(3, '\0') + tempo(120)
            << QStringList{"tempo:120.000000"};
        QTest::newRow("noise, a zero length, an oversized frame, an oversized message")
            << QByteArray(5, '\0') + "noise" + QByteArray(3, '\0') + tempo(120) + be(0) +
                   be(70000) + QByteArray(70000, '/') + tempo(128) +
                   str("/" + QByteArray(70000, 'a')) + tempo(60)
            << QStringList{"tempo:120.000000", "tempo:128.000000", "tempo:60.000000"};
    }

    // In reads of every size (of every 997th size and whole for the long rows):
    // the same reports in the same order, nothing lost or invented.
    void decode()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, expected);
        const int step = stream.size() > 2000 ? 997 : 1;
        for (int chunk = step; chunk < stream.size() + step; chunk += step) {
            Messanger hub;
            Recorder recorder(&hub);
            osc_parser parser(&hub, "test: ");
            for (int offset = 0; offset < stream.size(); offset += chunk)
                parser.feed(stream.mid(offset, chunk));
            QVERIFY2(recorder.events == expected,
                     qPrintable(QString("reads of %1: ").arg(chunk) + recorder.events.join(' ')));
        }
    }

    // A port in use ends the thread with the reason; another port brings it back,
    // on the configured address only. Silent connections fill every place and
    // the next is refused; they are closed when idle, and real senders get in
    // again, oscsend among them, one with a message split across reads. A stop
    // closes the connections at once.
    void connections()
    {
        FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");
        LogCapture log;
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        osc_server_options options;
        options.listen_address = "127.0.0.2";
        options.max_connections = 3;
        options.idle_timeout = std::chrono::milliseconds(300);
        m_thread = std::make_unique<OscThread>(squatter.serverPort(), nullptr, options);
        Recorder recorder(m_thread->hub);
        connect(m_thread.get(), &OscThread::listening, this, [this](int p) { m_port = p; });
        connect(m_thread.get(), &OscThread::listenFailed, this,
                [this](const QString& e) { m_failures << e; });
        m_thread->start();
        QTRY_COMPARE(m_failures, QStringList{"bind: Address already in use"});
        QVERIFY(m_thread->wait(5000));
        m_thread->restart(0);
        QTRY_VERIFY(m_port != 0);
        QVERIFY(closedByPeer(*connectTo(m_port, QHostAddress::LocalHost)));
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int k = 0; k < 3; ++k)
            silent.push_back(connectTo(m_port));
        silent.back()->write(tempo(1));
        QTRY_COMPARE(recorder.events.size(), 1);
        QVERIFY(closedByPeer(*connectTo(m_port)));
        QTRY_VERIFY(log.text().contains("\tWRN\tOSC connection from 127.0.0."));
        for (auto& s : silent)
            QVERIFY(closedByPeer(*s));
        for (const char* message :
             {"/pelmora/ableton/tempo f 127.3", "/pelmora/ableton/clip isis 1 Keys 0 A"}) {
            QProcess oscsend;
            oscsend.start("oscsend", QStringList{QString("osc.tcp://127.0.0.2:%1").arg(m_port)} +
                                         QString(message).split(' '));
            QVERIFY(oscsend.waitForFinished(10000));
            QCOMPARE(oscsend.exitCode(), 0);
        }
        auto sender = connectTo(m_port);
        sender->write(framed(tempo(120)) + clip(2, "a", 3, "b").left(20));
        QVERIFY(sender->waitForBytesWritten(5000));
        QTRY_COMPARE(recorder.events.size(), 4);
        sender->write(clip(2, "a", 3, "b").mid(20));
        QTRY_COMPARE(recorder.events,
                     (QStringList{"tempo:1.000000", "tempo:127.300003", "clip:1|Keys|0|A",
                                  "tempo:120.000000", "clip:2|a|3|b"}));
        QVERIFY(log.text().contains(": clip 1, Keys, 0, A\n"));
        m_thread->stop();
        QVERIFY(closedByPeer(*sender));
    }
};

FENK_TEST_GUILESS_MAIN(TestAbleton)
#include "tst_ableton.moc"
