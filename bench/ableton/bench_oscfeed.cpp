#include "benchmain.h"
#include "eventlogfile.h"
#include "freeport.h"
#include "listenercontrol.h"
#include "maindlg.h"
#include "messanger.h"
#include "offlinetwitter.h"
#include "osc_parser.h"
#include "oscthread.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QObject>
#include <QSettings>
#include <QTimer>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>

namespace {

// OSC 1.0 pieces: texts padded with NULs to a multiple of four, big-endian numbers.
QByteArray str(const QByteArray& text)
{
    return text + QByteArray(4 - text.size() % 4, '\0');
}
QByteArray be(quint32 value)
{
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian(value, out.data());
    return out;
}
QByteArray tempo(float bpm)
{
    quint32 bits;
    std::memcpy(&bits, &bpm, sizeof bits);
    return str("/pelmora/ableton/tempo") + str(",f") + be(bits);
}
QByteArray clip(int track, const QByteArray& name, int slot, const QByteArray& clipName)
{
    return str("/pelmora/ableton/clip") + str(",isis") + be(quint32(track)) + str(name) +
           be(quint32(slot)) + str(clipName);
}
QByteArray slip(QByteArray packet)
{
    return "\xc0" + packet.replace("\xdb", "\xdb\xdd").replace("\xc0", "\xdb\xdc") + "\xc0";
}

// One read as a busy sender would deliver it: tempo and clip messages back to
// back, about 64 KiB.
QByteArray busyRead(int& messages)
{
    QByteArray read;
    messages = 0;
    for (int k = 0; read.size() < 65536 - 128; ++k) {
        read += (k % 2 == 0) ? tempo(100.0f + float(k % 60))
                             : clip(k % 8, "Track " + QByteArray::number(k % 50), k % 16,
                                    "Clip " + QByteArray::number(k % 30));
        ++messages;
    }
    return read;
}

// Messages per second through the parser alone, with a receiver on the hub's
// signals in the same thread.
void BM_OscFeed(benchmark::State& state)
{
    Messanger hub;
    std::int64_t reports = 0;
    QObject receiver;
    if (state.range(0) != 0) {
        QObject::connect(&hub, qOverload<QString>(&Messanger::sendStat), &receiver,
                         [&](const QString&) { ++reports; });
        QObject::connect(&hub, qOverload<QStringList>(&Messanger::sendStat), &receiver,
                         [&](const QStringList&) { ++reports; });
    }
    osc_parser parser(&hub, "bench: ");
    int messages = 0;
    const QByteArray read = busyRead(messages);
    for (auto _ : state)
        parser.feed(read);
    state.SetItemsProcessed(state.iterations() * messages);
    state.SetBytesProcessed(state.iterations() * read.size());
    // Reports per read: shows that the messages were recognised, not skipped.
    state.counters["reports_per_read"] =
        benchmark::Counter(double(reports), benchmark::Counter::kAvgIterations);
    state.counters["messages_per_read"] = messages;
}
BENCHMARK(BM_OscFeed)->Arg(0)->Arg(1);

// Garbage that never begins a message: every byte is looked at once.
void BM_OscFeedGarbage(benchmark::State& state)
{
    Messanger hub;
    osc_parser parser(&hub, "bench: ");
    QByteArray read;
    while (read.size() < 65536)
        read += QByteArray("a\0", 2);
    for (auto _ : state)
        parser.feed(read);
    state.SetBytesProcessed(state.iterations() * read.size());
}
BENCHMARK(BM_OscFeedGarbage);

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A child process writes the whole stream to the listener and exits, so that
// its own CPU time is not counted.
pid_t sendFromChild(int port, const QByteArray& stream)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        _exit(1);
    for (qsizetype sent = 0; sent < stream.size();) {
        const ssize_t n = write(fd, stream.constData() + sent, std::size_t(stream.size() - sent));
        if (n <= 0)
            _exit(1);
        sent += n;
    }
    close(fd);
    _exit(0);
}

constexpr int floodMessages = 60000;

// 60,000 tempo messages, each a different value, length-prefixed or as SLIP frames.
QByteArray tempoFlood(bool slipFramed)
{
    QByteArray stream;
    for (int k = 0; k < floodMessages; ++k) {
        const QByteArray message = tempo(100.0f + float(k) / 1000.0f);
        stream += slipFramed ? slip(message) : be(quint32(message.size())) + message;
    }
    return stream;
}

// Both floods write the event log as the program does, to this folder's
// events.log (the test home's temporary folder).
QString logFolder()
{
    return QDir::tempPath();
}

// Each iteration a child sends stream to port, and the main thread's event loop
// runs until hub has delivered every message's tempo report to a receiver
// there (or a minute has passed). The CPU time counts every thread of the
// process.
void timeFloods(benchmark::State& state, int port, const QByteArray& stream, Messanger* hub)
{
    const QFileInfo log(QDir(logFolder()).filePath(QStringLiteral("events.log")));
    const qint64 logBefore = log.size();
    QObject receiver;
    std::int64_t reports = 0;
    QEventLoop flood;
    QObject::connect(hub, qOverload<QString>(&Messanger::sendStat), &receiver, [&] {
        if (++reports % floodMessages == 0)
            flood.quit();
    });
    double cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = sendFromChild(port, stream);
        QTimer::singleShot(60000, &flood, &QEventLoop::quit);
        flood.exec();
        const auto end = std::chrono::steady_clock::now();
        cpu += processCpuSeconds() - cpuBefore;
        int status = 0;
        waitpid(child, &status, 0);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    const std::int64_t sent = state.iterations() * floodMessages;
    if (reports != sent)
        state.SkipWithError("reports were lost");
    state.SetItemsProcessed(sent);
    state.counters["cpu_us_per_message"] = cpu * 1e6 / double(sent);
    state.counters["lost_reports"] = double(sent - reports);
    state.counters["log_bytes_per_flood"] =
        double(QFileInfo(log.filePath()).size() - logBefore) / double(state.iterations());
}

// The flood from a sender on TCP (length-prefixed, or SLIP with range(0) = 1)
// through the listener thread and the hub to the main thread's event loop, as
// the window has it.
void BM_OscListenerFlood(benchmark::State& state)
{
    const QByteArray stream = tempoFlood(state.range(0) == 1);
    const EventLogFile log(logFolder());

    OscThread thread(0);
    int port = 0;
    QEventLoop listening;
    QObject::connect(&thread, &OscThread::listening, &listening, [&](int p) {
        port = p;
        listening.quit();
    });
    thread.start();
    if (port == 0)
        listening.exec();

    timeFloods(state, port, stream, thread.hub);
    thread.stop();
}
BENCHMARK(BM_OscListenerFlood)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same flood into the whole program's window, before Start (range(0) = 0)
// and during a set (1): the listener, the hub, the listener control with the
// status line it keeps, the event log and a visible window. The receiver,
// connected after the window's own, marks that every report has reached it.
void BM_OscWindowFlood(benchmark::State& state)
{
    const QByteArray stream = tempoFlood(false);
    const EventLogFile log(logFolder());
    const int port = freePort();
    QSettings().setValue(QStringLiteral("ableton/Port"), port);
    QSettings().setValue(QStringLiteral("ableton/MasterClip"), true);
    QSettings().setValue(QStringLiteral("icecast/Port"), 0);
    MainDlg window;
    window.show();
    if (state.range(0) == 1)
        window.startStopServers();
    QEventLoop listening;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &listening, [&] {
        if (window.statusModel().line(QStringLiteral("ableton")).state == "listening")
            listening.quit();
    });
    poll.start(10);
    listening.exec();

    timeFloods(state, port, stream, window.listenerControl()->oscListener()->hub);
}
BENCHMARK(BM_OscWindowFlood)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

FENK_BENCHMARK_MAIN(QApplication, OfflineTwitter)
