#include "messanger.h"
#include "osc_parser.h"

#include <QCoreApplication>
#include <QObject>
#include <QtEndian>

#include <benchmark/benchmark.h>

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

// Messages per second through the parser, with a receiver on the hub's
// signals as the window would have.
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
