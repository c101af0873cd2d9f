#include "benchmain.h"
#include "messagecomposer.h"
#include "setcontroller.h"
#include "tracklistfile.h"
#include "tracklistoutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

const TrackListLocation location{QStringLiteral("Berlin"), QStringLiteral("Germany"),
                                 QStringLiteral("DE")};
const QDateTime start(QDate(2026, 12, 5), QTime(21, 3, 12));

QVector<TrackListFile::Entry> longSet(int tracks)
{
    QVector<TrackListFile::Entry> entries;
    for (int i = 0; i < tracks; ++i)
        entries.append({TrackListFile::dateText(start.addSecs(180 * i)),
                        QStringLiteral("Track number %1 (Extended Mix)").arg(i),
                        QStringLiteral("Artist %1 & Friend feat. Guest").arg(i % 97)});
    return entries;
}

// The 1,000th track of a set when the file was changed behind the object's
// back: read back and parse 999 entries, write 1,000 to a temporary file and
// rename it over the old one.
void BM_AppendThousandthTrackFileChanged(benchmark::State& state)
{
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    if (!file.create(TrackListFile::fileNameFor(start), location)) {
        state.SkipWithError("cannot create the tracklist");
        return;
    }
    const QByteArray before = file.document(location, longSet(999));
    for (auto _ : state) {
        state.PauseTiming();
        QFile disk(file.filePath());
        disk.open(QIODevice::WriteOnly | QIODevice::Truncate);
        disk.write(before);
        disk.close();
        state.ResumeTiming();
        if (!file.append(QStringLiteral("Artist & Friend"), QStringLiteral("Last Track"),
                         start.addSecs(180 * 999), location))
            state.SkipWithError("append failed");
    }
    state.counters["file_bytes"] = static_cast<double>(QFile(file.filePath()).size());
}
BENCHMARK(BM_AppendThousandthTrackFileChanged)->Unit(benchmark::kMillisecond);

// Tracks 1,000 and on, the file as the object left it: no parse, one
// atomic write of the whole set.
void BM_AppendAfterThousandTracks(benchmark::State& state)
{
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    file.create(TrackListFile::fileNameFor(start), location);
    QFile disk(file.filePath());
    disk.open(QIODevice::WriteOnly | QIODevice::Truncate);
    disk.write(file.document(location, longSet(999)));
    disk.close();
    // Parses the file once; from then on the object knows it.
    file.append(QStringLiteral("A"), QStringLiteral("T"), start, location);
    for (auto _ : state) {
        if (!file.append(QStringLiteral("Artist & Friend"), QStringLiteral("Next Track"),
                         start.addSecs(180 * 999), location))
            state.SkipWithError("append failed");
    }
    state.counters["tracks_at_end"] = file.entries().size();
}
BENCHMARK(BM_AppendAfterThousandTracks)->Unit(benchmark::kMillisecond);

void BM_ParseThousandTracks(benchmark::State& state)
{
    TrackListFile file(QString(), QStringLiteral("www.fenk.fm"));
    const QByteArray xml = file.document(location, longSet(1000));
    for (auto _ : state) {
        QVector<TrackListFile::Entry> entries;
        benchmark::DoNotOptimize(TrackListFile::readEntries(xml, &entries));
    }
    state.SetBytesProcessed(state.iterations() * xml.size());
}
BENCHMARK(BM_ParseThousandTracks)->Unit(benchmark::kMicrosecond);

void BM_WriteThousandTracks(benchmark::State& state)
{
    TrackListFile file(QString(), QStringLiteral("www.fenk.fm"));
    const auto entries = longSet(1000);
    for (auto _ : state)
        benchmark::DoNotOptimize(file.document(location, entries));
}
BENCHMARK(BM_WriteThousandTracks)->Unit(benchmark::kMicrosecond);

// One now-playing message with both hashtag options and four artists.
void BM_ComposeNowPlaying(benchmark::State& state)
{
    const QString artist = QStringLiteral("Xenia & Yannick feat Zoe with Walter");
    const QString track = QStringLiteral("Some Track (Original Mix)");
    for (auto _ : state)
        benchmark::DoNotOptimize(
            MessageComposer::nowPlaying(QStringLiteral("#nowplaying"), artist, track, true, true));
}
BENCHMARK(BM_ComposeNowPlaying);

// A burst of 4,000 short broadcast tracks into a running set: how long the
// GUI thread is busy handing them over (the set, the tracklist output), and
// how long until the worker has them all on disk.
void BM_TrackListBurst(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        SetController set;
        TrackListOutput trackList(dir.path(), QStringLiteral("www.fenk.fm"), nullptr);
        set.addOutput(&trackList);
        set.start();
        const QDateTime now = QDateTime::currentDateTime();
        QVector<Track> tracks;
        for (int i = 0; i < 4000; ++i)
            tracks.append(Track::broadcast(QStringLiteral("Artist %1").arg(i), QStringLiteral("T"),
                                           QStringLiteral("/live"), now));
        state.ResumeTiming();
        QElapsedTimer gui;
        gui.start();
        for (const Track& track : tracks)
            set.report(track);
        state.counters["gui_ms"] = double(gui.elapsed());
        set.stop();
        if (!trackList.waitForWrites(60000))
            state.SkipWithError("the writes did not finish");
        state.counters["all_written_ms"] = double(gui.elapsed());
    }
}
BENCHMARK(BM_TrackListBurst)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

FENK_BENCHMARK_MAIN(QCoreApplication)
