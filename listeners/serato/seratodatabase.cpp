#include "seratodatabase.h"

#include <QFile>
#include <QUrl>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <sys/stat.h>

namespace {

// The open session is marked by end_time 0, -1 or NULL, depending on the
// version; without one, the newest session is the one to read.
const char newestSessionSql[] =
    "SELECT id FROM history_session"
    " ORDER BY (end_time IS NULL OR end_time IN (0, -1)) DESC, id DESC LIMIT 1";

// Walks Serato's own session index backwards from the newest row, so the cost
// does not grow with the history.
// Texts are cut in SQLite already: no entry of a hostile file can make us
// copy megabytes.
const char newestOnDeckSql[] =
    "SELECT id, substr(artist, 1, 1024), substr(name, 1, 1024) FROM history_entry"
    " WHERE session_id = ?1 AND deck = ?2 ORDER BY id DESC LIMIT 1";

qint32 toRow(sqlite3_int64 id)
{
    return id >= 0 && id <= std::numeric_limits<qint32>::max() ? qint32(id) : -1;
}

QString columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(statement, column)) : QString();
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
    dataVersion.reset();
    newestSession.reset();
    newestOnDeck.reset();
    begin.reset();
    end.reset();
    db.reset();
    lastDataVersion = -1;
}

SeratoDatabase::Result SeratoDatabase::read(std::array<Entry, deckCount>& decks)
{
    struct stat info;
    if (::stat(QFile::encodeName(filePath).constData(), &info) != 0) {
        const int error = errno;
        close();
        lastError = QString::fromLocal8Bit(std::strerror(error));
        return error == ENOENT || error == ENOTDIR ? Result::Missing : Result::Failed;
    }
    // Opening a pipe or a device would block the window's thread.
    if (!S_ISREG(info.st_mode)) {
        close();
        lastError = QStringLiteral("not a regular file");
        return Result::Failed;
    }
    // A file replaced under our open connection would never show another row.
    if (db && (quint64(info.st_dev) != device || quint64(info.st_ino) != inode))
        close();
    const bool fresh = !db;
    if (fresh) {
        if (!open())
            return Result::Failed;
        device = quint64(info.st_dev);
        inode = quint64(info.st_ino);
    }

    if (sqlite3_step(dataVersion.get()) != SQLITE_ROW) {
        fail();
        return Result::Failed;
    }
    const qint64 version = sqlite3_column_int64(dataVersion.get(), 0);
    sqlite3_reset(dataVersion.get());

    if (!readDecks(decks))
        return Result::Failed;
    lastError.clear();
    const bool changed = fresh || version != lastDataVersion;
    lastDataVersion = version;
    return changed ? Result::Changed : Result::Unchanged;
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
    if (rc != SQLITE_OK) {
        fail();
        return false;
    }
    sqlite3_busy_timeout(db.get(), busyTimeoutMs);
    // Preparing reads the schema: a file that is not a database, or one
    // without these tables and columns, fails here.
    if (!prepare(dataVersion, "PRAGMA data_version") || !prepare(newestSession, newestSessionSql) ||
        !prepare(newestOnDeck, newestOnDeckSql) || !prepare(begin, "BEGIN") ||
        !prepare(end, "COMMIT"))
        return false;
    return true;
}

bool SeratoDatabase::prepare(Statement& statement, const char* sql)
{
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
    statement.reset(raw);
    return rc == SQLITE_OK || fail();
}

bool SeratoDatabase::readDecks(std::array<Entry, deckCount>& decks)
{
    // One read transaction: the five queries see the same snapshot.
    if (sqlite3_step(begin.get()) != SQLITE_DONE)
        return fail();
    sqlite3_reset(begin.get());

    decks.fill(Entry());
    int rc = sqlite3_step(newestSession.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return fail();
    const bool hasSession = rc == SQLITE_ROW;
    const sqlite3_int64 session = hasSession ? sqlite3_column_int64(newestSession.get(), 0) : 0;
    sqlite3_reset(newestSession.get());

    sqlite3_stmt* query = newestOnDeck.get();
    for (int deck = 1; hasSession && deck <= deckCount; ++deck) {
        const QByteArray deckText = QByteArray::number(deck);
        sqlite3_bind_int64(query, 1, session);
        sqlite3_bind_text(query, 2, deckText.constData(), deckText.size(), SQLITE_TRANSIENT);
        rc = sqlite3_step(query);
        if (rc == SQLITE_ROW) {
            Entry& entry = decks[size_t(deck - 1)];
            entry.row = toRow(sqlite3_column_int64(query, 0));
            entry.session = toRow(session);
            entry.artist = columnText(query, 1);
            entry.title = columnText(query, 2);
        } else if (rc != SQLITE_DONE) {
            return fail();
        }
        sqlite3_reset(query);
    }

    if (sqlite3_step(end.get()) != SQLITE_DONE)
        return fail();
    sqlite3_reset(end.get());
    return true;
}

bool SeratoDatabase::fail()
{
    lastError = db ? QString::fromUtf8(sqlite3_errmsg(db.get()))
                   : QStringLiteral("cannot open (out of memory)");
    // Start over at the next read: the file may come back in a better shape.
    close();
    return false;
}
