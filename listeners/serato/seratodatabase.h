#pragma once

#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Reads the play history that newer Serato versions keep in their library
// database (master.sqlite) instead of session files. The file is Serato's: it
// is opened read-only and nothing but SQLite's own WAL protocol ever touches
// it, so rows still in the -wal file are seen.
//
// Which rows are new is told by row id, never by a clock: the first read
// notes the largest id in the file, and every later read takes only the rows
// above the largest id seen so far. A read therefore costs the same at the
// start of a set as after a hundred thousand rows. Not thread-safe, except
// cancel(); meant to run on a worker thread of its own.
class SeratoDatabase
{
public:
    static constexpr int deckCount = 4;
    // The texts of a row are cut at this many characters, in SQLite already:
    // no row of a hostile file can make us copy megabytes.
    static constexpr int maxTextLength = 1024;

    struct Row
    {
        qint64 id = -1;
        qint64 session = -1;
        qint64 startTime = 0; // when the track was loaded, seconds
        int deck = 0;         // 1 to deckCount
        QString title;
        QString artist;
    };

    enum class Result {
        Unchanged, // nothing committed since the last read; no query was run
        Changed,   // the rows below are what was committed since the last read
        Missing,   // no file at the path
        Failed,    // error says why
    };

    // Device and inode, to tell a file from another put at the same path.
    using FileId = std::pair<quint64, quint64>;

    struct Snapshot
    {
        Result result = Result::Failed;
        // The first read: the rows already there are not new. rows holds at
        // most the one that started last, the track playing now.
        bool baseline = false;
        // The ids went back below the largest one seen: another history was
        // put in place, and this read is its baseline.
        bool restarted = false;
        // Each deck's newest new row of the open session, in the order the
        // rows started (start time, then id).
        std::vector<Row> rows;
        QString error;
        FileId file;
        FileId wal;
    };

    explicit SeratoDatabase(QString path, int busyTimeoutMs = 500);
    ~SeratoDatabase();
    SeratoDatabase(const SeratoDatabase&) = delete;
    SeratoDatabase& operator=(const SeratoDatabase&) = delete;

    // Opens the file on first use and again once it was replaced, removed or
    // failed; then reads what was committed since the last read, in one
    // snapshot.
    Snapshot read();
    // From any thread: a read in progress (a query, a wait for a lock) ends
    // at once as failed, and so does every later one.
    void cancel() { cancelled = true; }
    // Statements other than transaction control and the change counter that
    // ran since construction.
    quint64 queries() const { return queryCount; }

private:
    struct DbCloser
    {
        void operator()(sqlite3* db) const;
    };
    struct StmtFinalizer
    {
        void operator()(sqlite3_stmt* stmt) const;
    };
    using Statement = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

    bool open();
    bool prepare(Statement& statement, const char* sql);
    // Runs statement to its end; true if it ended well. Each row is handed to
    // onRow (if given).
    template <typename OnRow> bool run(sqlite3_stmt* statement, OnRow onRow);
    bool readNewRows(Snapshot& out);
    bool fail(Snapshot& out);
    void close();

    const QString filePath;
    const int busyTimeoutMs;
    std::atomic<bool> cancelled{false};
    std::unique_ptr<sqlite3, DbCloser> db;
    Statement begin;
    Statement end;
    Statement dataVersion;
    Statement openSession;
    Statement largestId;
    Statement rowsAfter;
    Statement newestInSession;
    qint64 lastDataVersion = -1;
    qint64 lastSeenId = -1; // -1: no read yet, the next one is the baseline
    FileId openFile;
    quint64 queryCount = 0;
};

// Runs the reads of one SeratoDatabase on the thread it is moved to. Requests
// and results pass through a hand-over under a lock of our own: Qt's event
// queue also orders them, but through locks the race checker cannot see.
class SeratoDatabaseWorker : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        quint64 seq;
        SeratoDatabase::Snapshot snapshot;
    };

    explicit SeratoDatabaseWorker(const QString& path) : database(path) {}
    ~SeratoDatabaseWorker() override;

    // From any thread. Reads run one at a time, in the order asked for.
    void request(quint64 seq);
    std::vector<Result> takeResults();
    // False if no read has finished within ms.
    bool waitForRead(int ms) { return finished.tryAcquire(1, ms); }
    void cancel() { database.cancel(); }

Q_SIGNALS:
    void resultsReady();

private Q_SLOTS:
    void readRequested();

private:
    SeratoDatabase database;
    std::mutex mutex;
    std::deque<quint64> requests;
    std::vector<Result> results;
    QSemaphore finished;
};
