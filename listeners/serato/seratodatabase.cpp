#include "seratodatabase.h"

#include <QByteArray>
#include <QFile>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <type_traits>

#include <sys/stat.h>

namespace {

// The open session is marked by end_time 0, -1 or NULL, depending on the
// version; without one, the newest session is the one to read.
const char openSessionSql[] =
    "SELECT id FROM history_session"
    " ORDER BY (end_time IS NULL OR end_time IN (0, -1)) DESC, id DESC LIMIT 1";

#define FENK_ROW_COLUMNS                                                                           \
    "SELECT id, session_id, deck, start_time, substr(artist, 1, 1024), substr(name, 1, 1024)"      \
    " FROM history_entry "

// By the primary key: the cost is that of the rows returned.
constexpr int rowsPerStep = 256;
const char rowsAfterSql[] = FENK_ROW_COLUMNS "WHERE id > ?1 ORDER BY id LIMIT ?2";

// Serato's own session index, walked backwards from the newest row: the track
// playing now is among the last few rows, however long the session is.
const char newestInSessionSql[] =
    FENK_ROW_COLUMNS "WHERE session_id = ?1 ORDER BY id DESC LIMIT 64";

static_assert(SeratoDatabase::maxTextLength == 1024, "the queries cut texts at 1024");

SeratoDatabase::Row rowAt(sqlite3_stmt* statement)
{
    const auto text = [statement](int column) {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return data ? QString::fromUtf8(data, sqlite3_column_bytes(statement, column)) : QString();
    };
    SeratoDatabase::Row row;
    row.id = sqlite3_column_int64(statement, 0);
    row.session = sqlite3_column_int64(statement, 1);
    // Stored as text ('1'); anything but 1 to 4 is no deck of ours.
    bool isNumber = false;
    const int deck = text(2).toInt(&isNumber);
    row.deck = isNumber && deck >= 1 && deck <= SeratoDatabase::deckCount ? deck : 0;
    row.startTime = sqlite3_column_int64(statement, 3);
    row.artist = text(4);
    row.title = text(5);
    return row;
}

bool startedBefore(const SeratoDatabase::Row& a, const SeratoDatabase::Row& b)
{
    return std::make_pair(a.startTime, a.id) < std::make_pair(b.startTime, b.id);
}

// The stop flag is asked between statement steps and while waiting for a lock.
int stopRequested(void* flag)
{
    return static_cast<std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

} // namespace

void SeratoDatabase::DbCloser::operator()(sqlite3* db) const
{
    sqlite3_close_v2(db);
}

void SeratoDatabase::StmtFinalizer::operator()(sqlite3_stmt* stmt) const
{
    sqlite3_finalize(stmt);
}

SeratoDatabase::SeratoDatabase(QString path, int busyTimeoutMs)
    : filePath(std::move(path)), busyTimeoutMs(busyTimeoutMs)
{}

SeratoDatabase::~SeratoDatabase()
{
    close();
}

void SeratoDatabase::close()
{
    // Statements first: the connection closes for good only once they are gone.
    for (Statement* statement :
         {&begin, &end, &dataVersion, &openSession, &largestId, &rowsAfter, &newestInSession})
        statement->reset();
    db.reset();
    lastDataVersion = -1;
}

SeratoDatabase::Snapshot SeratoDatabase::read()
{
    Snapshot out;
    if (cancelled) {
        out.error = QStringLiteral("interrupted");
        return out;
    }
    const QByteArray native = QFile::encodeName(filePath);
    struct stat info;
    if (::stat((native + "-wal").constData(), &info) == 0)
        out.wal = {quint64(info.st_dev), quint64(info.st_ino)};
    if (::stat(native.constData(), &info) != 0) {
        const int error = errno;
        close();
        out.error = QString::fromLocal8Bit(std::strerror(error));
        out.result = error == ENOENT || error == ENOTDIR ? Result::Missing : Result::Failed;
        return out;
    }
    // Opening a pipe or a device could block for good.
    if (!S_ISREG(info.st_mode)) {
        close();
        out.error = QStringLiteral("not a regular file");
        return out;
    }
    out.file = {quint64(info.st_dev), quint64(info.st_ino)};
    // A file replaced under our open connection would never show another row.
    if (db && out.file != openFile)
        close();
    const bool fresh = !db;
    if (fresh) {
        if (!open()) {
            fail(out);
            return out;
        }
        openFile = out.file;
    }

    // One read transaction: the change counter and the rows are one snapshot.
    qint64 version = -1;
    if (!run(begin.get(), nullptr) ||
        !run(dataVersion.get(), [&] { version = sqlite3_column_int64(dataVersion.get(), 0); })) {
        fail(out);
        return out;
    }
    // A fresh connection has nothing to compare with: rows may have come
    // while the file could not be read.
    const bool unchanged = !fresh && version == lastDataVersion;
    if (!unchanged && !readNewRows(out))
        return out;
    if (!run(end.get(), nullptr)) {
        fail(out);
        return out;
    }
    lastDataVersion = version;
    out.result = unchanged ? Result::Unchanged : Result::Changed;
    return out;
}

bool SeratoDatabase::open()
{
    // Read-only by URI: SQLite then never writes the file nor changes its
    // journal mode, but still honours the -wal and -shm files of the writer.
    const QByteArray uri = QUrl::fromLocalFile(filePath).toEncoded() + "?mode=ro";
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(uri.constData(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK)
        return false;
    sqlite3_progress_handler(db.get(), 1000, stopRequested, &cancelled);
    sqlite3_busy_handler(
        db.get(),
        [](void* self, int attempt) {
            auto* reader = static_cast<SeratoDatabase*>(self);
            if (reader->cancelled || attempt >= reader->busyTimeoutMs)
                return 0;
            sqlite3_sleep(1);
            return 1;
        },
        this);
    // Preparing reads the schema: a file that is not a database, or one
    // without these tables and columns, fails here.
    return prepare(begin, "BEGIN") && prepare(end, "COMMIT") &&
           prepare(dataVersion, "PRAGMA data_version") && prepare(openSession, openSessionSql) &&
           prepare(largestId, "SELECT max(id) FROM history_entry") &&
           prepare(rowsAfter, rowsAfterSql) && prepare(newestInSession, newestInSessionSql);
}

bool SeratoDatabase::prepare(Statement& statement, const char* sql)
{
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
    statement.reset(raw);
    return rc == SQLITE_OK;
}

template <typename OnRow> bool SeratoDatabase::run(sqlite3_stmt* statement, OnRow onRow)
{
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if constexpr (!std::is_same_v<OnRow, std::nullptr_t>)
            onRow();
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return rc == SQLITE_DONE;
}

bool SeratoDatabase::readNewRows(Snapshot& out)
{
    queryCount += 2;
    qint64 session = -1;
    qint64 largest = 0;
    if (!run(openSession.get(), [&] { session = sqlite3_column_int64(openSession.get(), 0); }) ||
        !run(largestId.get(), [&] { largest = sqlite3_column_int64(largestId.get(), 0); }))
        return fail(out);

    std::vector<Row> rows;
    if (lastSeenId < 0 || largest < lastSeenId) {
        out.baseline = true;
        out.restarted = lastSeenId >= 0;
        // Rows newest first: the first on a deck is what that deck holds now,
        // and of those the one that started last is the track playing now.
        std::array<bool, deckCount> seen{};
        Row playing;
        sqlite3_stmt* query = newestInSession.get();
        sqlite3_bind_int64(query, 1, session);
        ++queryCount;
        const bool done = run(query, [&] {
            const Row row = rowAt(query);
            if (row.deck == 0 || std::exchange(seen[size_t(row.deck - 1)], true))
                return;
            if (playing.id < 0 || startedBefore(playing, row))
                playing = row;
        });
        if (!done)
            return fail(out);
        if (playing.id >= 0)
            rows.push_back(playing);
    } else {
        std::array<Row, deckCount> newest;
        qint64 seenId = lastSeenId;
        for (int count = rowsPerStep; count == rowsPerStep;) {
            count = 0;
            sqlite3_stmt* query = rowsAfter.get();
            sqlite3_bind_int64(query, 1, seenId);
            sqlite3_bind_int(query, 2, rowsPerStep);
            ++queryCount;
            const bool done = run(query, [&] {
                ++count;
                const Row row = rowAt(query);
                seenId = row.id;
                // Rows come in id order: a later one on the deck replaced it.
                if (row.deck != 0 && row.session == session)
                    newest[size_t(row.deck - 1)] = row;
            });
            if (!done)
                return fail(out);
        }
        largest = seenId;
        std::copy_if(newest.begin(), newest.end(), std::back_inserter(rows),
                     [](const Row& row) { return row.id >= 0; });
    }
    lastSeenId = largest;
    out.rows = std::move(rows);
    std::sort(out.rows.begin(), out.rows.end(), startedBefore);
    return true;
}

bool SeratoDatabase::fail(Snapshot& out)
{
    out.result = Result::Failed;
    out.error = cancelled ? QStringLiteral("interrupted")
                : db      ? QString::fromUtf8(sqlite3_errmsg(db.get()))
                          : QStringLiteral("cannot open (out of memory)");
    // Start over at the next read: the file may come back in a better shape.
    close();
    return false;
}

SeratoDatabaseWorker::~SeratoDatabaseWorker()
{
    // Destroyed once its thread has ended; taking the lock shows the race
    // checker that the thread's last read came before.
    const std::lock_guard<std::mutex> lock(mutex);
}

void SeratoDatabaseWorker::request(quint64 seq)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(seq);
    }
    // By name: the call is then built inside Qt, with nothing of ours in it.
    QMetaObject::invokeMethod(this, "readRequested", Qt::QueuedConnection);
}

std::vector<SeratoDatabaseWorker::Result> SeratoDatabaseWorker::takeResults()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(results, {});
}

void SeratoDatabaseWorker::readRequested()
{
    quint64 seq;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (requests.empty())
            return;
        seq = requests.front();
        requests.pop_front();
    }
    Result result{seq, database.read()};
    // Announced under the lock too: the destructor's lock then comes after
    // everything this thread did with the object.
    const std::lock_guard<std::mutex> lock(mutex);
    results.push_back(std::move(result));
    finished.release();
    Q_EMIT resultsReady();
}
