#include "adatchunkparser.h"
#include "seratodatabase.h"
#include "seratofileparser.h"
#include "seratotestdata.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>

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
    sqlite3* writer = nullptr; // stays open, as Serato's connection does
    ~Db() { sqlite3_close(writer); }
    void exec(const QByteArray& sql)
    {
        if (sqlite3_exec(writer, sql.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            qFatal("%s", sqlite3_errmsg(writer));
    }
};

// The schema of the test data with 1,000 sessions of 100 entries on four decks,
// the last session open.
std::unique_ptr<Db> databaseOf100kRows()
{
    auto db = std::make_unique<Db>();
    QFile schema(QStringLiteral(FENK_DATABASE_SCHEMA));
    if (!schema.open(QIODevice::ReadOnly) ||
        sqlite3_open(QFile::encodeName(db->path).constData(), &db->writer) != SQLITE_OK)
        qFatal("cannot build the database");
    db->exec(schema.readAll());
    db->exec(
        "BEGIN; DELETE FROM history_entry; DELETE FROM history_session;"
        "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 1000)"
        " INSERT INTO history_session (id, start_time, end_time)"
        " SELECT i, 1700000000 + i * 7200, CASE WHEN i = 1000 THEN 0 ELSE 1700003600 + i * 7200"
        " END FROM s;"
        "WITH RECURSIVE e(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM e WHERE i < 99999)"
        " INSERT INTO history_entry (session_id, deck, artist, name, played)"
        " SELECT 1 + i / 100, CAST(1 + i % 4 AS TEXT), 'Artist ' || (i % 97),"
        " 'Track number ' || i || ' (Extended Mix)', 1 FROM e; COMMIT;");
    return db;
}

void BM_DatabasePoll(benchmark::State& state)
{
    const auto db = databaseOf100kRows();
    SeratoDatabase reader(db->path);
    std::array<SeratoDatabase::Entry, SeratoDatabase::deckCount> decks;
    for (auto _ : state) {
        if (reader.read(decks) == SeratoDatabase::Result::Failed)
            state.SkipWithError(qPrintable(reader.error()));
        benchmark::DoNotOptimize(decks);
    }
    state.counters["rows"] = 100000;
}

// From the commit of a new row to the watcher's report, with delay 0.
void BM_CommittedRowToReport(benchmark::State& state)
{
    const auto db = databaseOf100kRows();
    QTemporaryDir stateFolder;
    SeratoFileParser watcher(QDir(db->dir.path()), stateFolder.path());
    watcher.setDatabasePath(db->path);
    watcher.startWatching(0);
    QEventLoop loop;
    QObject::connect(&watcher, &SeratoFileParser::SeratoDataReady, &loop, &QEventLoop::quit);
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    int n = 0;
    for (auto _ : state) {
        const QByteArray sql = "INSERT INTO history_entry (session_id, deck, artist, name) VALUES"
                               " (1000, '1', 'Bench', 'Row " +
                               QByteArray::number(++n) + "')";
        db->exec(sql);
        QElapsedTimer clock; // from the commit on
        clock.start();
        timeout.start(5000);
        if (loop.exec() != 0)
            state.SkipWithError("no report within 5 s");
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
    }
}

} // namespace

BENCHMARK(BM_ParseSession)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeText);
BENCHMARK(BM_DatabasePoll)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommittedRowToReport)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // the watcher's notices and timers
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
