#pragma once

#include <QDir>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <map>
#include <memory>

#include "seratodatabase.h"

class QFile;
class QThread;

// Watches the Serato session folder, reads the newest session file whenever it
// changes and reports each deck's newest entry once it has stayed on its deck
// for the review delay. The per-deck memory (last played, last posted) lives in
// eight small files of a private state folder and is dropped on stopWatching().
// Newer Serato versions write no session files; for them the decks come from
// the library database (setDatabasePath) through the same review. The database
// is read on a worker thread of its own: the window's thread only asks for
// reads and takes their results.
class SeratoFileParser : public QObject
{
    Q_OBJECT
public:
    // Keeps its state in defaultStateFolder().
    explicit SeratoFileParser(const QDir& sessionDirectory);
    // Keeps its state in stateFolder (made private to the user if it is not).
    SeratoFileParser(const QDir& sessionDirectory, const QString& stateFolder);
    ~SeratoFileParser() override;

    // When set (not empty), the decks are read from this Serato library
    // database instead of the session folder. Takes effect at the next
    // startWatching().
    void setDatabasePath(const QString& path);

    void startWatching(int delayMs);
    void stopWatching();

    // How often the database is read when no change notice comes (a file
    // system without notices, a folder that appears later, a file that failed).
    void setDatabasePollInterval(int ms);

    // Which source is read and whether it is readable, for the window.
    QString sourceStatus() const { return status; }

    // The temporary directory's "FENK" folder, unless it cannot be made ours
    // (another user owns it, or it is not a plain folder): then a per-user folder.
    static QString defaultStateFolder();
    static QString stateFolderFor(const QString& sharedFolder, const QString& fallbackFolder);

Q_SIGNALS:
    void SeratoDataReady(int deckNumber, QString artist, QString track);
    void sourceStatusChanged(QString text);

public Q_SLOTS:
    void ReviewDeck1TrackInfoForPosting();
    void ReviewDeck2TrackInfoForPosting();
    void ReviewDeck3TrackInfoForPosting();
    void ReviewDeck4TrackInfoForPosting();
    void OnDirectoryChanged(QString directory);
    void OnFileChanged(QString file);

private:
    // One deck's remembered entry; row -1 means none.
    struct DeckState
    {
        qint64 row = -1;
        qint64 field48 = -1;
        QString title;
        QString artist;
    };

    // Creates path owner-only if missing; true if it is a real folder owned by
    // this user, left accessible to this user alone.
    static bool makePrivateFolder(const QString& path);
    void reviewDeck(int deck);
    // Reports deck's last-played entry unless it was posted already.
    bool postDeck(int deck);
    // Starts deck's review if entry is newer than what the deck last played.
    void offerEntry(int deck, const DeckState& entry);
    QString shownDatabase() const;
    void stopDatabase();
    void onDatabaseNotice();
    void requestRead();
    void onDatabaseRead(quint64 seq, const SeratoDatabase::Snapshot& read);
    void reviewDueDecks(quint64 seq);
    void forgetDecks();
    void watchDatabaseFiles();
    void setStatus(const QString& text, bool isError = false);
    static DeckState readState(QFile& file);
    void writeState(QFile& file, const DeckState& state);

    int delayMs = 0;
    bool running = false;
    QDir sessionDirectory;
    QFileSystemWatcher directoryWatcher;
    QFileSystemWatcher fileWatcher;
    std::map<int, std::unique_ptr<QFile>> lastPostedFiles;
    std::map<int, std::unique_ptr<QFile>> lastPlayedFiles;
    std::map<int, std::unique_ptr<QTimer>> reviewTimers;
    QString stateFolder;
    QString databasePath;
    QString status;

    // The database path: reads run on a thread of their own.
    std::unique_ptr<QThread> databaseThread;
    std::unique_ptr<SeratoDatabaseWorker> database; // lives on databaseThread
    quint64 requestSeq = 0;                         // reads asked for, in order
    bool readInFlight = false;
    bool readQueued = false;
    bool backingOff = false; // a read failed: notices wait for the poll
    int settleStep = -1;     // quiet reads since the last notice; -1 when none is due
    QTimer databasePoll;
    QTimer databaseSettle;
    // A deck whose delay ran out is reported on the result of the first read
    // asked for after that (its number here; 0 when none is due), unless that
    // read brings a newer row on the deck.
    std::array<quint64, SeratoDatabase::deckCount> dueAfter{};
    std::array<std::pair<qint64, qint64>, SeratoDatabase::deckCount> startKeys{}; // start, id
    SeratoDatabase::FileId watchedFile;
    SeratoDatabase::FileId watchedWal;
};
