#include "freeport.h"
#include "logcapture.h"
#include "messanger.h"
#include "osc_server.h"
#include "oscmessages.h"
#include "oscthread.h"
#include "peers.h"
#include "testhome.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace oscmsg;

namespace {

// Moves the thread to a port that was free a moment ago. Another process may
// take it between the probe and the bind, so a few ports are tried.
int restartOnFreePort(OscThread& thread)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = freePort();
        thread.restart(port);
        if (QTest::qWaitFor([&] { return thread.listeningPort() == port || thread.isFinished(); },
                            5000) &&
            thread.listeningPort() == port)
            return port;
    }
    return 0;
}

std::unique_ptr<QTcpSocket> connectTo(int port, const QHostAddress& host = QHostAddress::LocalHost)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(host, quint16(port));
    socket->waitForConnected(5000);
    return socket;
}

void send(QTcpSocket& socket, const QByteArray& bytes)
{
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
}

// Waits until the server has closed the client's connection.
bool closedByPeer(QTcpSocket& socket)
{
    if (socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
    return disconnected.wait(5000);
}

} // namespace

class TestOscThread : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void oscsendMessages_data();
    void oscsendMessages();
    void severalConnections();
    void portInUse();
    void restartOnAnotherPort();
    void stopRightAfterStart();
    void stopWithOpenConnections();
    void bindsConfiguredAddressOnly();
    void connectionLimit();
    void acceptRetriesAfterDescriptorShortage();
};

void TestOscThread::oscsendMessages_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("tempo 120") << QStringList{"/pelmora/ableton/tempo", "f", "120"}
                               << "tempo:120.000000";
    QTest::newRow("tempo 127.3") << QStringList{"/pelmora/ableton/tempo", "f", "127.3"}
                                 << "tempo:127.300003";
    QTest::newRow("clip")
        << QStringList{"/pelmora/ableton/clip", "isis", "2", "Track A", "5", "Clip B"}
        << "clip:2|Track A|5|Clip B";
    QTest::newRow("clip UTF-8") << QStringList{"/pelmora/ableton/clip",     "isis", "1",
                                               QStringLiteral("L\u012aVE"), "3",    "x"}
                                << QStringLiteral("clip:1|L\u012aVE|3|x");
}

void TestOscThread::oscsendMessages()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    FENK_REQUIRE_PROGRAM("oscsend", "liblo-tools");

    OscThread thread(0);
    Recorder recorder(thread.messanger());
    thread.start();
    QTRY_VERIFY(thread.listeningPort() != 0);

    QProcess oscsend;
    oscsend.start(
        QStringLiteral("oscsend"),
        QStringList{QStringLiteral("osc.tcp://127.0.0.1:%1").arg(thread.listeningPort())} +
            arguments);
    QVERIFY(oscsend.waitForFinished(10000));
    QCOMPARE(oscsend.exitCode(), 0);
    QTRY_COMPARE(recorder.events, QStringList{expected});
}

void TestOscThread::severalConnections()
{
    OscThread thread(0);
    Recorder recorder(thread.messanger());
    thread.start(QThread::IdlePriority);
    QTRY_VERIFY(thread.listeningPort() != 0);

    auto first = connectTo(thread.listeningPort());
    auto second = connectTo(thread.listeningPort());
    QCOMPARE(first->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(second->state(), QAbstractSocket::ConnectedState);
    // Each read stands on its own: the clip cut across two reads is lost, the
    // messages around it are not. The reports in between show that a read was
    // done before the next one is sent.
    const QByteArray cut = clip(7, "Deck", 9, "Loop");
    send(*first, tempo(120) + cut.left(30));
    QTRY_COMPARE(recorder.events.size(), 1);
    send(*second, clip(2, "Track A", 5, "Clip B"));
    QTRY_COMPARE(recorder.events.size(), 2);
    send(*first, cut.mid(30) + tempo(128));
    QTRY_COMPARE(recorder.events,
                 (QStringList{"tempo:120.000000", "clip:2|Track A|5|Clip B", "tempo:128.000000"}));

    // A sender that goes away leaves the others alone.
    first->disconnectFromHost();
    send(*second, tempo(90));
    QTRY_COMPARE(recorder.events.size(), 4);
    QCOMPARE(recorder.events.last(), QStringLiteral("tempo:90.000000"));
}

void TestOscThread::portInUse()
{
    LogCapture log;
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));

    OscThread thread(other.serverPort());
    Recorder recorder(thread.messanger());
    thread.start();
    QVERIFY(thread.wait(10000));
    QCOMPARE(thread.listeningPort(), 0);
    QVERIFY2(log.text().contains(QLatin1String("\tERR\tException: bind: Address already in use\n")),
             qPrintable(log.text()));
    QVERIFY(thread.listenFailed());

    // Another port brings it back; the stop that came after the thread had
    // ended must not end that run.
    thread.stop();
    QVERIFY(!thread.listenFailed());
    thread.restart(0);
    QTRY_VERIFY(thread.listeningPort() != 0);
    auto socket = connectTo(thread.listeningPort());
    send(*socket, tempo(120));
    QTRY_COMPARE(recorder.events, QStringList{"tempo:120.000000"});
    QVERIFY(thread.isRunning());
}

void TestOscThread::restartOnAnotherPort()
{
    OscThread thread(0);
    Recorder recorder(thread.messanger());
    thread.start(QThread::IdlePriority);
    QTRY_VERIFY(thread.listeningPort() != 0);
    const int oldPort = thread.listeningPort();
    auto oldSocket = connectTo(oldPort);
    // The same port again changes nothing: the connection stays.
    thread.restart(0);
    send(*oldSocket, tempo(120));
    QTRY_COMPARE(recorder.events.size(), 1);

    const int newPort = restartOnFreePort(thread);
    QVERIFY(newPort != 0 && newPort != oldPort);

    // The old connection was closed and the old port is no longer open.
    QVERIFY(closedByPeer(*oldSocket));
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, quint16(oldPort));
    QVERIFY(!refused.waitForConnected(5000));

    auto socket = connectTo(newPort);
    send(*socket, tempo(128));
    QTRY_COMPARE(recorder.events, (QStringList{"tempo:120.000000", "tempo:128.000000"}));

    // And back again, twice in a row.
    thread.restart(oldPort);
    QVERIFY(restartOnFreePort(thread) != 0);
    auto last = connectTo(thread.listeningPort());
    send(*last, tempo(100));
    QTRY_COMPARE(recorder.events.size(), 3);
    QVERIFY(closedByPeer(*socket));
}

void TestOscThread::stopRightAfterStart()
{
    // The stop may reach the server before it listens or after; it must end
    // the thread either way.
    OscThread thread(0);
    for (int round = 0; round < 20; ++round) {
        thread.start();
        thread.stop();
        QVERIFY(thread.isFinished());
        QCOMPARE(thread.listeningPort(), 0);
    }
}

void TestOscThread::stopWithOpenConnections()
{
    auto thread = std::make_unique<OscThread>(0);
    thread->start();
    QTRY_VERIFY(thread->listeningPort() != 0);
    auto first = connectTo(thread->listeningPort());
    auto second = connectTo(thread->listeningPort());
    send(*first, tempo(120).left(10));
    thread->stop();
    QVERIFY(thread->isFinished());
    QVERIFY(closedByPeer(*first));
    QVERIFY(closedByPeer(*second));
    // Destroying a running thread object stops it first.
    thread->start();
    QTRY_VERIFY(thread->listeningPort() != 0);
    thread.reset();
}

void TestOscThread::bindsConfiguredAddressOnly()
{
    {
        QSettings store;
        store.setValue(QStringLiteral("advanced/ListenAddress"), QStringLiteral("127.0.0.2"));
    }
    OscThread thread(0);
    {
        QSettings store;
        store.remove(QStringLiteral("advanced/ListenAddress"));
    }
    Recorder recorder(thread.messanger());
    thread.start();
    QTRY_VERIFY(thread.listeningPort() != 0);

    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress::LocalHost, quint16(thread.listeningPort()));
    QVERIFY(!elsewhere.waitForConnected(5000));

    auto socket = connectTo(thread.listeningPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    send(*socket, tempo(120));
    QTRY_COMPARE(recorder.events, QStringList{"tempo:120.000000"});
}

void TestOscThread::connectionLimit()
{
    LogCapture log;
    OscThread thread(0);
    Recorder recorder(thread.messanger());
    thread.start();
    QTRY_VERIFY(thread.listeningPort() != 0);

    // A report from each shows that it was accepted, not only queued.
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (std::size_t k = 0; k < osc_server::maxConnections; ++k) {
        open.push_back(connectTo(thread.listeningPort()));
        send(*open.back(), tempo(1));
    }
    QTRY_COMPARE(std::size_t(recorder.events.size()), osc_server::maxConnections);

    auto refused = connectTo(thread.listeningPort());
    const quint16 refusedPort = refused->localPort();
    QVERIFY(closedByPeer(*refused));
    QTRY_VERIFY(log.text().contains(
        QStringLiteral("\tWRN\tOSC connection from 127.0.0.1:%1 refused: %2 connections open\n")
            .arg(refusedPort)
            .arg(osc_server::maxConnections)));

    // The open ones go on; a freed place can be taken again once the server
    // has seen the close.
    send(*open.front(), tempo(2));
    QTRY_COMPARE(recorder.events.last(), QStringLiteral("tempo:2.000000"));
    open.back()->disconnectFromHost();
    std::unique_ptr<QTcpSocket> next;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            next = connectTo(thread.listeningPort());
            send(*next, tempo(3));
            return QTest::qWaitFor([&] { return recorder.events.last() == "tempo:3.000000"; }, 200);
        }(),
        5000);
}

void TestOscThread::acceptRetriesAfterDescriptorShortage()
{
    // Out of file descriptors for a moment, accept() fails; the listener must
    // come back once descriptors are free again instead of staying deaf.
    LogCapture log;
    OscThread thread(0);
    thread.oscServer()->setAcceptRetryDelay(std::chrono::milliseconds(20));
    Recorder recorder(thread.messanger());
    thread.start();
    QTRY_VERIFY(thread.listeningPort() != 0);

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(client >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(thread.listeningPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    std::vector<int> fillers;
    const auto freeDescriptors = [&] {
        for (int fd : fillers)
            ::close(fd);
        fillers.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved);
    };
    auto restore = qScopeGuard([&] {
        freeDescriptors();
        ::close(client);
    });
    // No descriptor number is left below the limit.
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(client + 1);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
    for (int fd; (fd = ::dup(client)) >= 0;)
        fillers.push_back(fd);

    QVERIFY(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    QTRY_VERIFY(
        log.text().contains(QLatin1String("\tWRN\tOSC accept failed: system:24, retrying")));

    freeDescriptors();
    const QByteArray message = tempo(120);
    QCOMPARE(::send(client, message.constData(), size_t(message.size()), 0),
             ssize_t(message.size()));
    QTRY_COMPARE(recorder.events, QStringList{"tempo:120.000000"});
}

FENK_TEST_GUILESS_MAIN(TestOscThread)
#include "tst_oscthread.moc"
