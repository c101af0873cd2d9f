#pragma once

#include <QDir>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>

class QFile;
class SeratoDatabase;

// Watches the Serato session folder, reads the newest session file whenever it
// changes and reports each deck's newest entry once it has stayed on its deck
// for the review delay. The per-deck memory (last played, last posted) lives in
// eight small files of a private state folder and is dropped on stopWatching().
// Newer Serato versions write no session files; for them the decks come from
// the library database (setDatabasePath) through the same review.
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
        qint32 row = -1;
        qint32 field48 = -1;
        QString title;
        QString artist;
    };

    // Creates path owner-only if missing; true if it is a real folder owned by
    // this user, left accessible to this user alone.
    static bool makePrivateFolder(const QString& path);
    void reviewDeck(int deck);
    // Starts deck's review if entry is newer than what the deck last played.
    void offerEntry(int deck, const DeckState& entry);
    void watchDatabaseFiles();
    void readDatabase(bool feedReview);
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
    std::unique_ptr<SeratoDatabase> database;
    QTimer databasePoll;   // fallback when no change notice comes
    QTimer databaseNotice; // gathers a burst of notices into one read
    QString status;
};
