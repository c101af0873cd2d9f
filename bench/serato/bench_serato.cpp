#include "adatchunkparser.h"
#include "seratotestdata.h"

#include <benchmark/benchmark.h>

namespace {

struct Session
{
    QByteArray data;
    int entries = 0;
};

// A long set: entries of realistic size on four decks until about 16 MB.
const Session& sessionOf16MB()
{
    static const Session session = [] {
        Session out{seratotest::header()};
        const qint64 target = 16 * 1024 * 1024;
        while (out.data.size() < target) {
            const qint32 row = ++out.entries;
            seratotest::Entry e{row, 1 + row % 4,
                                QStringLiteral("Track number %1 (Extended Mix)").arg(row),
                                QStringLiteral("Artist \u00c4\u012a %1").arg(row % 97), row};
            out.data += seratotest::oent(e);
        }
        return out;
    }();
    return session;
}

void BM_ParseSession(benchmark::State& state)
{
    const Session& session = sessionOf16MB();
    const QByteArray& data = session.data;
    for (auto _ : state) {
        AdatChunkParser parser;
        parser.parse(data);
        qint32 row = -1;
        qint32 field48 = -1;
        QString title;
        QString artist;
        for (int deck = 1; deck <= 4; ++deck)
            parser.latestEntry(deck, row, field48, title, artist);
        benchmark::DoNotOptimize(row);
    }
    state.SetBytesProcessed(state.iterations() * data.size());
    state.counters["entries"] = session.entries;
}

void BM_DecodeText(benchmark::State& state)
{
    const QByteArray bytes =
        seratotest::utf16be(QStringLiteral("Something I Learned Today \u2013 H\u00fcsker D\u00fc"));
    for (auto _ : state)
        benchmark::DoNotOptimize(ChunkParser::bytesToText(bytes));
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

} // namespace

BENCHMARK(BM_ParseSession)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeText);
BENCHMARK_MAIN();
