// The Ableton listener: one decoder table fed by bytes and by real senders, then
// the listener's connections under hostile clients.
#include "logcapture.h"
#include "messanger.h"
#include "peers.h"
#include "testhome.h"

#include "osc_parser.h"
#include "oscthread.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>

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

// The log lines of reported values and of unusable or broken input.
QStringList logged(const LogCapture& log)
{
    return log.records()
        .replaceInStrings(QRegularExpression("^[A-Z]{3}\t"), "log:")
        .filter(QRegularExpression("^log:OSC (tempo|clip) |(ignored|escape dropped)$"));
}

// osc.js's TCP port frames every packet with SLIP; it takes oscsend's arguments.
const char* const oscjs =
    R"(const osc = require('osc'), [port, address, types, ...values] = process.argv.slice(1);
const args = [...types].map((type, k) => ({type, value: type == 's' ? values[k] : +values[k]}));
const tcp = new osc.TCPSocketPort({port: +port}).on('error', () => process.exit(1));
tcp.on('ready', () => { tcp.send({address, args}); tcp.socket.end(); }).open();)";

} // namespace

class TestAbleton : public QObject
{
    Q_OBJECT

    std::unique_ptr<OscThread> m_thread;
    int m_port = 0;
    QStringList m_errors;

    // OSC as senders write it: strings with at least one NUL, padded to 4 bytes,
    // big-endian numbers, and for TCP a length or SLIP around every packet.
    static QByteArray str(const QByteArray& s) { return s + QByteArray(4 - s.size() % 4, 0); }
    template <typename T> static QByteArray be(T value)
    {
        QByteArray out(sizeof value, '\0');
        qToBigEndian(value, out.data());
        return out;
    }
    static QByteArray tempo(const QByteArray& tags, const QByteArray& value)
    {
        return str("/pelmora/ableton/tempo") + str(tags) + value;
    }
    static QByteArray tempo(float f) { return tempo(",f", be(f)); }
    static QByteArray clip(qint32 first, const QByteArray& a, qint32 second, const QByteArray& b,
                           const QByteArray& tags = ",isis")
    {
        return str("/pelmora/ableton/clip") + str(tags) + be(first) + str(a) + be(second) + str(b);
    }
    static QByteArray framed(const QByteArray& message) { return be(message.size()) + message; }
    static QByteArray slip(QByteArray packet)
    {
        return "\xc0" + packet.replace("\xdb", "\xdb\xdd").replace("\xc0", "\xdb\xdc") + "\xc0";
    }
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
    bool listen(int port, const osc_server_options& options)
    {
        m_port = 0;
        m_thread = std::make_unique<OscThread>(port, nullptr, options);
        connect(m_thread.get(), &OscThread::listening, this, [this](int p) { m_port = p; });
        connect(m_thread.get(), &OscThread::listenFailed, this,
                [this](QString e) { m_errors << e; });
        m_thread->start();
        return QTest::qWaitFor([this] { return m_port != 0 || !m_errors.isEmpty(); }, 5000);
    }

private Q_SLOTS:
    void cleanup() { m_thread.reset(); }
    void decode_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QString bytesOnly;
        const QByteArray clipAB = clip(2, "Track A", 5, "Clip B");
        const QStringList fourth{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000",
                                 "tempo:60.000000"};
        QTest::newRow("tempos") << bytesOnly
                                << tempo(-127.3f) + tempo(-INFINITY) + tempo(NAN) + tempo(-1e-39f)
                                << QStringList{"tempo:-127.300003", "tempo:-inf", "tempo:inf",
                                               "tempo:-0.000000"};
        QTest::newRow("clips, UTF-8 and empty texts")
            << bytesOnly
            << clip(-3, "Keys", 65537, "A") + clip(1, "Caf\xc3\xa9 \xe2\x99\xab", 3, "")
            << QStringList{"clip:0|Keys|65537|A", QString("clip:1|Caf\u00e9 \u266b|3|")};
        QTest::newRow("both framings mixed")
            << bytesOnly << framed(tempo(120)) + clipAB + framed(tempo(128)) + tempo(60) << fourth;
        QTest::newRow("bundles, framed and not, nested")
            << bytesOnly
            << framed(bundle({tempo(120), bundle({clipAB})})) + bundle({tempo(128)}) + tempo(60)
            << fourth;
        QTest::newRow("types: d, i, h, S; unusable ones logged once")
            << bytesOnly
            << tempo(",d", be(127.3)) + tempo(",i", be(-96)) + tempo(",s", str("96")) +
                   tempo(",", "") + clip(7, "a", 9, "b", ",iiss") + clip(7, "a", 9, "b", ",iSiS") +
                   str("/pelmora/ableton/clip") + str(",hshs") + be(Q_INT64_C(-1)) + str("a") +
                   be(Q_INT64_C(4294967296)) + str("b") + str("/other") + str(",ibTs") + be(1) +
                   be(3) + "abc\0" + str("x") + str("/x") + str(",q") + tempo(120)
            << QStringList{"tempo:127.300000", "tempo:-96.000000", "clip:7|a|9|b",
                           "clip:0|a|4294967296|b", "tempo:120.000000"} +
                   QStringList{"log:tempo message with type tags \",s\" ignored",
                               "log:clip message with type tags \",iiss\" ignored"};
        QTest::newRow("noise, a zero length, an oversized frame, an oversized message")
            << bytesOnly
            << QByteArray(5, '\0') + "noise" + QByteArray(3, '\0') + tempo(120) + be(0) +
                   be(70000) + QByteArray(70000, '/') + tempo(128) +
                   str("/" + QByteArray(70000, 'a')) + tempo(60)
            << QStringList{"tempo:120.000000", "tempo:128.000000", "tempo:60.000000"};
        const QByteArray slipClip = slip(clip(192, "\xdb\x80 Arabic", 219, "End"));
        const QString slipClipReport("clip:192|\u06c0 Arabic|219|End");
        QTest::newRow("SLIP: escapes, bad escapes, empty and undecodable frames")
            << bytesOnly
            << slip(tempo(96)) + "\xc0\xc0" + slip(bundle({tempo(128.75f)})) + "/x\xdb\x01" +
                   tempo(1) + "\xc0/y\xdb\xc0" + slip("noise") + slipClip
            << QStringList{"tempo:96.000000", "tempo:128.750000", slipClipReport,
                           "log:SLIP frame with a bad escape dropped"};
        QTest::newRow("SLIP: an oversized frame")
            << bytesOnly << slipClip + slip(QByteArray(70000, '/')) + slipClip
            << QStringList{slipClipReport, slipClipReport};
        QTest::newRow("UDP bundle")
            << QString("udp") << bundle({tempo(120), clipAB})
            << QStringList{"tempo:120.000000", "clip:2|Track A|5|Clip B",
                           "log:OSC tempo 120.000000", "log:OSC clip 2, Track A, 5, Clip B"};
        const QList<QStringList> sent{{"tempo", "f", "96", "tempo:96.000000"},
                                      {"tempo", "f", "128.75", "tempo:128.750000"},
                                      {"tempo", "d", "127.3", "tempo:127.300000"},
                                      {"tempo", "i", "120", "tempo:120.000000"},
                                      {"clip", "isis", "192", "\u06c0 Arabic", "219", "End",
                                       "clip:192|\u06c0 Arabic|219|End"},
                                      {"clip", "hShS", "7", "Keys", "-2", "B", "clip:7|Keys|0|B"}};
        for (const QString sender : {"oscsend osc.tcp", "oscsend osc.udp", "osc.js"})
            for (QStringList message : sent) {
                if (sender == "osc.js" && message[1].contains('h'))
                    continue; // it has no 64-bit integers of plain numbers
                const QString report = message.takeLast();
                const QString line = QString(report).replace(report.indexOf(':'), 1, ' ');
                message[0].prepend("/pelmora/ableton/");
                QTest::newRow(qPrintable(sender + ' ' + message.join(' ')))
                    << sender << message.join('\n').toUtf8()
                    << QStringList{report, "log:OSC " + line.split('|').join(", ")};
            }
    }

    // Bytes in reads of every size (of every 997th size and whole for the long
    // rows): the same reports in the same order, nothing lost or invented. A
    // sender's message through the listener: its report and value log line.
    void decode()
    {
        QFETCH(QString, sender);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        const int step = bytes.size() > 2000 ? 997 : 1;
        for (int chunk = step; sender.isEmpty() && chunk < bytes.size() + step; chunk += step) {
            Messanger hub;
            Recorder recorder(&hub);
            LogCapture log;
            osc_parser parser(&hub, "");
            for (int offset = 0; offset < bytes.size(); offset += chunk)
                parser.feed(bytes.mid(offset, chunk));
            const QStringList seen = recorder.events + logged(log);
            QVERIFY2(seen == expected, qPrintable(QString::number(chunk) + ": " + seen.join(' ')));
        }
        if (sender.isEmpty())
            return;
        if (sender == "osc.js")
            FENK_REQUIRE_PROGRAM("node", "nodejs");
        FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");
        LogCapture log;
        QVERIFY(listen(0, {}));
        Recorder recorder(m_thread->hub);
        const QStringList message = QString::fromUtf8(bytes).split('\n');
        const QString url = QString("%1://127.0.0.1:%2").arg(sender.section(' ', 1)).arg(m_port);
        QProcess peer;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("NODE_PATH", FENK_OSCJS_DIR "/node_modules");
        peer.setProcessEnvironment(environment);
        if (sender == "udp")
            QUdpSocket().writeDatagram(bytes, QHostAddress::LocalHost, quint16(m_port));
        else if (sender == "osc.js")
            peer.start("node", QStringList{"-e", oscjs, QString::number(m_port)} + message);
        else
            peer.start("oscsend", QStringList{url} + message);
        QVERIFY(peer.program().isEmpty() || (peer.waitForFinished(10000) && peer.exitCode() == 0));
        QTRY_COMPARE(recorder.events + logged(log), expected);
    }

    // A port in use ends the thread with the reason; another port brings it back,
    // on the configured address only. At the cap a newcomer (oscsend) replaces
    // the connection idle longest; one that trickles bytes but no whole message
    // is closed, one that sends whole messages stays. A flood: every report,
    // a few value log lines; a stop writes the line still waiting.
    void connections()
    {
        FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");
        LogCapture log;
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        osc_server_options options;
        options.listen_address = "127.0.0.2";
        options.max_connections = 3;
        options.idle_timeout = std::chrono::milliseconds(1000);
        QVERIFY(listen(squatter.serverPort(), options));
        QCOMPARE(m_errors, QStringList{"bind: Address already in use"});
        QVERIFY(m_thread->wait(5000));
        m_thread->restart(0);
        QTRY_VERIFY(m_port != 0);
        Recorder recorder(m_thread->hub);
        QVERIFY(closedByPeer(*connectTo(m_port, QHostAddress::LocalHost)));
        auto silent = connectTo(m_port), trickler = connectTo(m_port), sender = connectTo(m_port);
        sender->write(framed(tempo(1)));
        QTRY_COMPARE(recorder.events, QStringList{"tempo:1.000000"});
        // A program started meanwhile (a browser) holds none of the listener's sockets.
        QCOMPARE(QProcess::execute("sh", {"-c", "! ls -l /proc/self/fd | grep socket:"}), 0);
        QVERIFY(QProcess::execute("oscsend", {QString("osc.tcp://127.0.0.2:%1").arg(m_port),
                                              "/pelmora/ableton/tempo", "f", "127.3"}) == 0);
        QVERIFY(closedByPeer(*silent));
        QTimer ticks;
        connect(&ticks, &QTimer::timeout, this, [&] {
            trickler->write("/");
            sender->write(framed(str("/ping") + str(",")));
        });
        ticks.start(50);
        QVERIFY(closedByPeer(*trickler));
        ticks.stop();
        QByteArray flood;
        QStringList floodReports{"tempo:1.000000", "tempo:127.300003"};
        for (int k = 100; k < 3100; ++k)
            flood += framed(tempo(k)), floodReports << QString("tempo:%1.000000").arg(k);
        sender->write(flood);
        QTRY_COMPARE(recorder.events, floodReports);
        const QRegularExpression summed(
            "OSC tempo 3099.000000 \\(\\d+ messages since the last line\\)$");
        QTRY_VERIFY(logged(log).join('\n').contains(summed));
        QVERIFY2(logged(log).size() <= 6, qPrintable(logged(log).join('\n')));
        QVERIFY(log.text().contains("3 connections open: the one idle longest closed for a"));
        QUdpSocket().writeDatagram(tempo(7), QHostAddress("127.0.0.2"), quint16(m_port));
        QTRY_COMPARE(recorder.events.last(), "tempo:7.000000");
        m_thread->stop();
        QVERIFY(log.text().contains("\tOSC tempo 7.000000\n"));
    }
};

FENK_TEST_GUILESS_MAIN(TestAbleton)
#include "tst_ableton.moc"
