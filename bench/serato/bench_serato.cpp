#include "adatchunkparser.h"
#include "seratodatabase.h"
#include "seratofileparser.h"
#include "seratotestdata.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

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

struct Db
{
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("master.sqlite"));
    sqlite3* writer = nullptr;
    ~Db() { sqlite3_close(writer); }
    void exec(const QByteArray& sql)
    {
        if (sqlite3_exec(writer, sql.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            qFatal("%s", sqlite3_errmsg(writer));
    }
};

QByteArray insertRow(int n)
{
    return "INSERT INTO history_entry (session_id, deck, artist, name) VALUES (1, '" +
           QByteArray::number(1 + n % 2) + "', 'Bench', 'Row " + QByteArray::number(n) + "');";
}

// The schema of the test data with one long open session of rows on two decks.
std::unique_ptr<Db> databaseOf100kRows(int rows = 100000)
{
    auto db = std::make_unique<Db>();
    QFile schema(QStringLiteral(FENK_DATABASE_SCHEMA));
    if (!schema.open(QIODevice::ReadOnly) ||
        sqlite3_open(QFile::encodeName(db->path).constData(), &db->writer) != SQLITE_OK)
        qFatal("cannot build the database");
    db->exec(schema.readAll());
    db->exec("BEGIN; DELETE FROM history_entry; DELETE FROM history_session;"
             "INSERT INTO history_session (id, start_time, end_time) VALUES (1, 1700000000, 0);"
             "WITH RECURSIVE e(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM e WHERE i < " +
             QByteArray::number(rows - 1) +
             ")"
             " INSERT INTO history_entry (session_id, deck, artist, name, played)"
             " SELECT 1, CAST(1 + i % 2 AS TEXT), 'Artist ' || (i % 97),"
             " 'Track number ' || i || ' (Extended Mix)', 1 FROM e; COMMIT;");
    return db;
}

// One read of the worker: range(0) = 1 when a row was committed before it.
void BM_DatabaseRead(benchmark::State& state)
{
    const auto db = databaseOf100kRows();
    SeratoDatabase reader(db->path);
    reader.read(); // the baseline
    const quint64 before = reader.queries();
    int n = 0;
    for (auto _ : state) {
        if (state.range(0) != 0) {
            state.PauseTiming();
            db->exec(insertRow(++n));
            state.ResumeTiming();
        }
        const SeratoDatabase::Snapshot read = reader.read();
        if (read.result == SeratoDatabase::Result::Failed)
            state.SkipWithError(qPrintable(read.error));
        benchmark::DoNotOptimize(read);
    }
    state.counters["queries per read"] = double(reader.queries() - before) / state.iterations();
    state.counters["rows"] = 100000;
}

// Start on a long open session (range(0) rows, two decks, deck 3 and 4 without
// any): what startWatching() costs the window's thread, the first snapshot
// included.
void BM_Start(benchmark::State& state)
{
    const auto db = databaseOf100kRows(int(state.range(0)));
    QTemporaryDir stateFolder;
    SeratoFileParser watcher(QDir(db->dir.path()), stateFolder.path());
    watcher.setDatabasePath(db->path);
    for (auto _ : state) {
        watcher.startWatching(60000);
        state.PauseTiming();
        watcher.stopWatching();
        state.ResumeTiming();
    }
}

qint64 threadCpuNs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// How late a 1 ms timer fires at worst within a second: the longest the
// thread was kept from its events (the machine's own load included).
template <typename Run> double maxStallMs(Run runFor)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 stall = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        stall = std::max(stall, clock.nsecsElapsed() - last - 1000000);
        last = clock.nsecsElapsed();
    });
    probe.start(1);
    runFor(1000);
    return double(stall) / 1e6;
}

// What the polls cost the window's thread while a second process keeps the
// file open: its CPU time per poll (the event loop's own wake-ups included),
// then its longest stall (how late a 1 ms probe timer fires at worst). Polled
// every 5 ms instead of every 2 s.
void BM_WindowThreadPerPoll(benchmark::State& state)
{
    const auto db = databaseOf100kRows();
    QProcess serato;
    serato.start(QStringLiteral("sqlite3"), {db->path});
    serato.write("PRAGMA wal_autocheckpoint = 0;\n" + insertRow(0) + '\n');
    QTemporaryDir stateFolder;
    SeratoFileParser watcher(QDir(db->dir.path()), stateFolder.path());
    watcher.setDatabasePath(db->path);
    const int pollMs = 5;
    watcher.setDatabasePollInterval(pollMs);
    watcher.startWatching(60000);
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    runFor(500); // past the start's reads
    for (auto _ : state) {
        const qint64 cpu = threadCpuNs();
        runFor(1000);
        state.SetIterationTime(double(threadCpuNs() - cpu) / 1e9 / (1000 / pollMs));
    }
    state.counters["max stall ms"] = maxStallMs(runFor);
    watcher.stopWatching();
    state.counters["max stall ms, idle"] = maxStallMs(runFor);
    serato.closeWriteChannel();
    serato.waitForFinished();
}

// From a second process's commit of a new row to the watcher's report, with
// delay 0; the clock starts when the row is handed to the writer, so the
// writer's own work counts too. Rows half a second apart.
void BM_CommittedRowToReport(benchmark::State& state)
{
    const auto db = databaseOf100kRows();
    QProcess serato; // keeps its connection open, as Serato does
    serato.start(QStringLiteral("sqlite3"), {db->path});
    if (!serato.waitForStarted())
        state.SkipWithError("sqlite3 is missing");
    QTemporaryDir stateFolder;
    SeratoFileParser watcher(QDir(db->dir.path()), stateFolder.path());
    watcher.setDatabasePath(db->path);
    watcher.startWatching(0);
    QEventLoop loop;
    QObject::connect(&watcher, &SeratoFileParser::SeratoDataReady, &loop, &QEventLoop::quit);
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    std::vector<double> ms;
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QEventLoop pause; // the start's report, then the last row's settle reads
        QTimer::singleShot(500, &pause, &QEventLoop::quit);
        pause.exec();
        state.ResumeTiming();
        QElapsedTimer clock;
        clock.start();
        serato.write(insertRow(++n) + '\n');
        timeout.start(5000);
        if (loop.exec() != 0)
            state.SkipWithError("no report within 5 s");
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        state.SetIterationTime(ms.back() / 1e3);
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median ms"] = ms[ms.size() / 2];
    state.counters["max ms"] = ms.back();
    serato.closeWriteChannel();
    serato.waitForFinished();
}

} // namespace

BENCHMARK(BM_ParseSession)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeText);
BENCHMARK(BM_DatabaseRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Start)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowThreadPerPoll)->UseManualTime()->Iterations(3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommittedRowToReport)->UseManualTime()->Iterations(21)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // the watcher's notices and timers
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
