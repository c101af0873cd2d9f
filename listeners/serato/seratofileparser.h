#pragma once

#include <QDir>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QFile;
class QTimer;

// Watches the Serato session folder, reads the newest session file whenever it
// changes and reports each deck's newest entry once it has stayed on its deck
// for the review delay. The per-deck memory (last played, last posted) lives in
// eight small files of a private state folder and is dropped on stopWatching().
class SeratoFileParser : public QObject
{
    Q_OBJECT
public:
    // Keeps its state in defaultStateFolder().
    explicit SeratoFileParser(const QDir& sessionDirectory);
    // Keeps its state in stateFolder (made private to the user if it is not).
    SeratoFileParser(const QDir& sessionDirectory, const QString& stateFolder);
    ~SeratoFileParser() override;

    void startWatching(int delayMs);
    void stopWatching();

    bool isRunning() const { return running; }
    QStringList watchedFiles() const { return fileWatcher.files(); }
    // deck is 1 to 4.
    const QTimer& reviewTimer(int deck) const { return *reviewTimers.at(deck); }

    // Repeats of a review timer that found nothing to report come at least this
    // far apart (the first firing still comes after the review delay).
    void setRepeatFloorMs(int ms) { repeatFloorMs = ms; }

    // The temporary directory's "FENK" folder, unless it cannot be made ours
    // (another user owns it, or it is not a plain folder): then a per-user folder.
    static QString defaultStateFolder();
    static QString stateFolderFor(const QString& sharedFolder, const QString& fallbackFolder);

    static constexpr int defaultRepeatFloorMs = 1000;

Q_SIGNALS:
    void SeratoDataReady(int deckNumber, QString artist, QString track);

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
    int repeatFloorMs = defaultRepeatFloorMs;
};
