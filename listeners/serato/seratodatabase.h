#pragma once

#include <QString>
#include <QtGlobal>

#include <array>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

// Reads the play history that newer Serato versions keep in their library
// database (master.sqlite) instead of session files: for each deck, the newest
// entry of the open session. The file is Serato's: it is opened read-only and
// nothing but SQLite's own WAL protocol ever touches it, so rows still in the
// -wal file are seen.
class SeratoDatabase
{
public:
    static constexpr int deckCount = 4;

    // A deck's newest entry; row -1 when the deck has none.
    struct Entry
    {
        qint32 row = -1;
        qint32 session = -1;
        QString title;
        QString artist;
    };

    enum class Result {
        Unchanged, // nothing committed since the last read
        Changed,   // decks hold what the file holds now
        Missing,   // no file at the path
        Failed,    // error() says why
    };

    explicit SeratoDatabase(QString path, int busyTimeoutMs = 100);
    ~SeratoDatabase();
    SeratoDatabase(const SeratoDatabase&) = delete;
    SeratoDatabase& operator=(const SeratoDatabase&) = delete;

    // Reads one consistent snapshot of the decks. Opens the file on first use
    // and again once it was replaced, removed or failed.
    Result read(std::array<Entry, deckCount>& decks);
    QString error() const { return lastError; }
    QString path() const { return filePath; }
    void close();

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
    bool readDecks(std::array<Entry, deckCount>& decks);
    bool fail();

    QString filePath;
    int busyTimeoutMs;
    QString lastError;
    std::unique_ptr<sqlite3, DbCloser> db;
    Statement dataVersion;
    Statement newestSession;
    Statement newestOnDeck;
    Statement begin;
    Statement end;
    qint64 lastDataVersion = -1;
    quint64 device = 0;
    quint64 inode = 0;
};
