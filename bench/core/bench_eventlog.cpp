// Benchmarks of the event log: the cost of one line as the listeners pay it,
// with no sink, with the formatting alone, and written to a rotating file.
#include "eventlog.h"
#include "eventlogfile.h"

#include <benchmark/benchmark.h>

#include <boost/format.hpp>

#include <QTemporaryDir>

namespace {

void BM_RecordWithoutSink(benchmark::State& state)
{
    event_log::instance().set_sink(nullptr);
    int session = 0;
    for (auto _ : state)
        event_log::write(boost::format("Session %1%: stream ended") % ++session, event_log::info,
                         1);
}
BENCHMARK(BM_RecordWithoutSink);

void BM_FormatLine(benchmark::State& state)
{
    std::int64_t time = 1489483613;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            event_log::format_line(++time, event_log::info, "Session 1: stream ended"));
}
BENCHMARK(BM_FormatLine);

// At a 64 KiB limit a new file starts every 1,300 lines or so; 5 MB is the default.
void BM_WriteToRotatingFile(benchmark::State& state)
{
    QTemporaryDir dir;
    const EventLogFile file(dir.path(), static_cast<std::uint64_t>(state.range(0)));
    int session = 0;
    for (auto _ : state)
        event_log::write(boost::format("Session %1%: stream ended") % ++session, event_log::info,
                         1);
    state.SetBytesProcessed(state.iterations() * 52); // bytes of one line
}
BENCHMARK(BM_WriteToRotatingFile)->Arg(64 * 1024)->Arg(EventLogFile::defaultSizeLimit);

} // namespace

BENCHMARK_MAIN();
