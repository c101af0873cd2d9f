#include "seratofileparser.h"

#include "adatchunkparser.h"
#include "seratodatabase.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcSerato, "fenk.serato")

constexpr int deckCount = 4;
// Repeats of a review that found nothing to report come at least this far
// apart, so a short (or zero) delay does not turn into a busy loop.
constexpr int repeatFloorMs = 1000;
// The database is also read this often, in case a change notice is lost
// (a file system without notices, a folder that appears later).
constexpr int databasePollMs = 2000;
// After a change notice the database is read this long after it, then after
// twice that, and so on, settleReads times in all once nothing changes.
constexpr int settleMs = 25;
constexpr int settleReads = 4;
// How long Start may wait for the first snapshot of the database.
constexpr int baselineWaitMs = 50;

QString stateFileName(const QString& folder, const QString& name)
{
    return QDir(folder).absolutePath() + QStringLiteral("/%1").arg(name);
}

// A title or artist holding a line break would shift the lines of a state file.
QString oneLine(QString text)
{
    for (QChar& c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0x2028) ||
            c == QChar(0x2029))
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

SeratoFileParser::SeratoFileParser(const QDir& sessionDirectory)
    : SeratoFileParser(sessionDirectory, defaultStateFolder())
{}

SeratoFileParser::SeratoFileParser(const QDir& sessionDirectory, const QString& stateFolder)
    : sessionDirectory(sessionDirectory), stateFolder(stateFolder)
{
    // The state folder itself is made (private) by the first write.
    for (int deck = 1; deck <= deckCount; ++deck)
        lastPlayedFiles[deck] = std::make_unique<QFile>(
            stateFileName(stateFolder, QStringLiteral("Deck%1.lastplayed").arg(deck)));
    for (int deck = 1; deck <= deckCount; ++deck)
        lastPostedFiles[deck] = std::make_unique<QFile>(
            stateFileName(stateFolder, QStringLiteral("Deck%1.lastposted").arg(deck)));

    using Slot = void (SeratoFileParser::*)();
    const Slot slots[deckCount] = {&SeratoFileParser::ReviewDeck1TrackInfoForPosting,
                                   &SeratoFileParser::ReviewDeck2TrackInfoForPosting,
                                   &SeratoFileParser::ReviewDeck3TrackInfoForPosting,
                                   &SeratoFileParser::ReviewDeck4TrackInfoForPosting};
    for (int deck = 1; deck <= deckCount; ++deck) {
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(false);
        connect(timer.get(), &QTimer::timeout, this, slots[deck - 1]);
        reviewTimers[deck] = std::move(timer);
    }

    connect(&directoryWatcher, &QFileSystemWatcher::directoryChanged, this,
            &SeratoFileParser::OnDirectoryChanged);
    connect(&fileWatcher, &QFileSystemWatcher::fileChanged, this, &SeratoFileParser::OnFileChanged);

    databasePoll.setInterval(databasePollMs);
    connect(&databasePoll, &QTimer::timeout, this, [this] { requestRead(); });
    databaseSettle.setSingleShot(true);
    connect(&databaseSettle, &QTimer::timeout, this, [this] { requestRead(); });
    status = QStringLiteral("stopped");
}

SeratoFileParser::~SeratoFileParser()
{
    stopWatching();
}

void SeratoFileParser::setDatabasePath(const QString& path)
{
    databasePath = path.trimmed();
}

void SeratoFileParser::setDatabasePollInterval(int ms)
{
    databasePoll.setInterval(ms);
}

void SeratoFileParser::startWatching(int delayMs)
{
    if (!databasePath.isEmpty()) {
        stopDatabase();
        // A missing or broken file is shown and tried again until it is good.
        this->delayMs = delayMs < 0 ? 0 : delayMs;
        running = true;
        backingOff = false;
        settleStep = -1;
        dueAfter.fill(0);
        watchedFile = watchedWal = {};
        database = std::make_unique<SeratoDatabaseWorker>(databasePath);
        databaseThread = std::make_unique<QThread>();
        databaseThread->setObjectName(QStringLiteral("Serato database"));
        database->moveToThread(databaseThread.get());
        // A notice of a worker stopped since finds the current one, or none.
        connect(database.get(), &SeratoDatabaseWorker::resultsReady, this, [this] {
            for (SeratoDatabaseWorker::Result& result :
                 database ? database->takeResults() : std::vector<SeratoDatabaseWorker::Result>())
                onDatabaseRead(result.seq, result.snapshot);
        });
        databaseThread->start();
        setStatus(QStringLiteral("reading database %1").arg(shownDatabase()));
        watchDatabaseFiles();
        // The rows above the largest id of the first snapshot are the ones
        // committed after Start. Waiting for that snapshot (briefly, in case
        // the disk is slow) makes it the one of the moment Start was pressed.
        requestRead();
        database->waitForRead(baselineWaitMs);
        databasePoll.start();
        return;
    }
    const QString path = sessionDirectory.absolutePath();
    if (!sessionDirectory.exists()) {
        setStatus(QStringLiteral("folder %1 is missing").arg(QDir::toNativeSeparators(path)), true);
        return;
    }
    if (!directoryWatcher.directories().contains(path))
        directoryWatcher.addPath(path);
    OnDirectoryChanged(path);
    this->delayMs = delayMs < 0 ? 0 : delayMs;
    running = true;
    setStatus(QStringLiteral("watching folder %1").arg(QDir::toNativeSeparators(path)));
}

void SeratoFileParser::stopWatching()
{
    running = false;
    stopDatabase();
    if (!directoryWatcher.directories().isEmpty())
        directoryWatcher.removePaths(directoryWatcher.directories());
    if (!fileWatcher.files().isEmpty())
        fileWatcher.removePaths(fileWatcher.files());
    forgetDecks();
    setStatus(QStringLiteral("stopped"));
}

void SeratoFileParser::stopDatabase()
{
    databasePoll.stop();
    databaseSettle.stop();
    readInFlight = readQueued = false;
    // A read in progress ends at its next step; the thread is joined at once.
    if (database)
        database->cancel();
    if (databaseThread) {
        databaseThread->quit();
        databaseThread->wait();
    }
    database.reset();
    databaseThread.reset();
}

void SeratoFileParser::forgetDecks()
{
    for (auto& entry : reviewTimers)
        entry.second->stop();
    dueAfter.fill(0);
    for (auto* files : {&lastPlayedFiles, &lastPostedFiles}) {
        for (auto& entry : *files)
            entry.second->remove();
    }
}

void SeratoFileParser::OnDirectoryChanged(QString directory)
{
    if (!databasePath.isEmpty()) {
        onDatabaseNotice();
        return;
    }
    const QFileInfoList sessions =
        QDir(directory).entryInfoList({QStringLiteral("*.session")}, QDir::Files, QDir::Time);
    if (sessions.isEmpty())
        return;
    const QString newest = sessions.first().absoluteFilePath();
    if (!fileWatcher.files().contains(newest))
        fileWatcher.addPath(newest);
    if (running)
        OnFileChanged(newest);
}

void SeratoFileParser::OnFileChanged(QString file)
{
    if (!databasePath.isEmpty()) {
        onDatabaseNotice();
        return;
    }
    QByteArray content;
    {
        QFile session(file);
        if (session.open(QIODevice::ReadOnly))
            content = session.readAll();
    }

    AdatChunkParser parser;
    parser.parse(content);

    for (int deck = 1; deck <= deckCount; ++deck) {
        qint32 row = -1;
        qint32 field48 = -1;
        DeckState entry;
        parser.latestEntry(deck, row, field48, entry.title, entry.artist);
        entry.row = row;
        entry.field48 = field48;
        offerEntry(deck, entry);
    }
}

void SeratoFileParser::offerEntry(int deck, const DeckState& entry)
{
    if (entry.row <= readState(*lastPlayedFiles[deck]).row)
        return;
    // The deck's earlier track was replaced, even by one we cannot name.
    QTimer& timer = *reviewTimers[deck];
    timer.stop();
    dueAfter[size_t(deck - 1)] = 0;
    if (entry.title.isEmpty() || entry.artist.isEmpty())
        return;
    timer.start(delayMs);
    writeState(*lastPlayedFiles[deck], entry);
}

QString SeratoFileParser::shownDatabase() const
{
    return QDir::toNativeSeparators(QFileInfo(databasePath).absoluteFilePath());
}

void SeratoFileParser::watchDatabaseFiles()
{
    const QFileInfo file(databasePath);
    const QString folder = file.absolutePath();
    if (!directoryWatcher.directories().contains(folder) && QFileInfo(folder).isDir())
        directoryWatcher.addPath(folder);
    // Watched afresh each time: a watch follows the file it was set on, and
    // Serato (or a restore) may have put another file at the path since.
    if (!fileWatcher.files().isEmpty())
        fileWatcher.removePaths(fileWatcher.files());
    for (const QString& path :
         {file.absoluteFilePath(), file.absoluteFilePath() + QStringLiteral("-wal")}) {
        if (QFileInfo::exists(path))
            fileWatcher.addPath(path);
    }
}

void SeratoFileParser::onDatabaseNotice()
{
    // A failed read is retried at the poll only: reopening a broken file at
    // every notice would feed on the notices the reopening itself causes.
    if (!running || backingOff)
        return;
    // The notice may come while the writer is still inside its commit: read
    // after a short settle, and again until the change counter holds still.
    settleStep = 0;
    if (!databaseSettle.isActive() || databaseSettle.remainingTime() > settleMs)
        databaseSettle.start(settleMs);
}

void SeratoFileParser::requestRead()
{
    if (!running || !database)
        return;
    // One read at a time, results taken in the order they were asked for.
    if (readInFlight) {
        readQueued = true;
        return;
    }
    readInFlight = true;
    database->request(++requestSeq);
}

void SeratoFileParser::onDatabaseRead(quint64 seq, const SeratoDatabase::Snapshot& read)
{
    if (!running)
        return;
    readInFlight = false;
    switch (read.result) {
    case SeratoDatabase::Result::Missing:
        setStatus(QStringLiteral("database %1 is missing").arg(shownDatabase()), true);
        break;
    case SeratoDatabase::Result::Failed:
        setStatus(QStringLiteral("database %1: %2").arg(shownDatabase(), read.error), true);
        break;
    case SeratoDatabase::Result::Unchanged:
    case SeratoDatabase::Result::Changed:
        setStatus(QStringLiteral("reading database %1").arg(shownDatabase()));
        break;
    }
    if (read.file != watchedFile || read.wal != watchedWal) {
        watchedFile = read.file;
        watchedWal = read.wal;
        watchDatabaseFiles();
    }
    if (read.result == SeratoDatabase::Result::Changed) {
        if (read.restarted)
            forgetDecks();
        for (const SeratoDatabase::Row& row : read.rows) {
            startKeys[size_t(row.deck - 1)] = {row.startTime, row.id};
            offerEntry(row.deck, DeckState{row.id, row.session, row.title, row.artist});
        }
    }

    backingOff = read.result == SeratoDatabase::Result::Failed;
    if (backingOff) {
        settleStep = -1;
        databaseSettle.stop();
    } else if (settleStep >= 0) {
        settleStep = read.result == SeratoDatabase::Result::Changed ? 0 : settleStep + 1;
        if (settleStep >= settleReads)
            settleStep = -1;
        else if (!databaseSettle.isActive())
            databaseSettle.start(settleMs << settleStep);
    }

    reviewDueDecks(seq);
    if (readQueued) {
        readQueued = false;
        requestRead();
    }
}

void SeratoFileParser::reviewDueDecks(quint64 seq)
{
    std::vector<int> decks;
    for (int deck = 1; deck <= deckCount; ++deck) {
        quint64& due = dueAfter[size_t(deck - 1)];
        if (due != 0 && due <= seq) {
            due = 0;
            decks.push_back(deck);
        }
    }
    // Decks whose delays ran out together report in the order their tracks started.
    std::sort(decks.begin(), decks.end(),
              [this](int a, int b) { return startKeys[size_t(a - 1)] < startKeys[size_t(b - 1)]; });
    for (int deck : decks) {
        if (running)
            postDeck(deck);
    }
}

void SeratoFileParser::setStatus(const QString& text, bool isError)
{
    if (text == status)
        return;
    status = text;
    // Logged once per change, not at every poll that finds the same fault.
    if (isError)
        qCWarning(lcSerato).noquote() << text;
    Q_EMIT sourceStatusChanged(text);
}

void SeratoFileParser::ReviewDeck1TrackInfoForPosting()
{
    reviewDeck(1);
}

void SeratoFileParser::ReviewDeck2TrackInfoForPosting()
{
    reviewDeck(2);
}

void SeratoFileParser::ReviewDeck3TrackInfoForPosting()
{
    reviewDeck(3);
}

void SeratoFileParser::ReviewDeck4TrackInfoForPosting()
{
    reviewDeck(4);
}

void SeratoFileParser::reviewDeck(int deck)
{
    QTimer& timer = *reviewTimers[deck];
    if (database) {
        // Only a read that began after the delay ran out can tell that no
        // newer row came in the meantime.
        timer.stop();
        dueAfter[size_t(deck - 1)] = requestSeq + 1;
        requestRead();
        return;
    }
    if (!postDeck(deck) && timer.isActive() && timer.interval() < repeatFloorMs)
        timer.setInterval(repeatFloorMs);
}

bool SeratoFileParser::postDeck(int deck)
{
    const DeckState played = readState(*lastPlayedFiles[deck]);
    if (played.row <= readState(*lastPostedFiles[deck]).row)
        return false;
    reviewTimers[deck]->stop();
    writeState(*lastPostedFiles[deck], played);
    Q_EMIT SeratoDataReady(deck, played.artist, played.title);
    return true;
}

SeratoFileParser::DeckState SeratoFileParser::readState(QFile& file)
{
    DeckState state;
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return state;
    for (int line = 1; line <= 4; ++line) {
        // A line longer than one read would otherwise spill into the next value.
        QByteArray text = file.readLine(4096);
        if (!text.endsWith('\n')) {
            while (!file.atEnd() && !file.readLine(4096).endsWith('\n')) {
            }
        }
        if (text.isEmpty())
            continue;
        text = text.trimmed();
        switch (line) {
        case 1:
            state.row = text.toLongLong();
            break;
        case 2:
            state.field48 = text.toLongLong();
            break;
        case 3:
            state.title = QString::fromUtf8(text);
            break;
        case 4:
            state.artist = QString::fromUtf8(text);
            break;
        }
    }
    file.close();
    return state;
}

void SeratoFileParser::writeState(QFile& file, const DeckState& state)
{
    // The folder may have been removed (temporary-folder clean-up) since we
    // made it; never write into one that is not ours.
    if (!makePrivateFolder(stateFolder))
        return;
    // Written aside and renamed into place: a crash or a full disk leaves the
    // old state, never half a file.
    QSaveFile out(file.fileName());
    if (!out.open(QIODevice::WriteOnly))
        return;
    QByteArray data;
    data += QByteArray::number(state.row) + "\r\n";
    data += QByteArray::number(state.field48) + "\r\n";
    data += oneLine(state.title).toUtf8() + "\r\n";
    data += oneLine(state.artist).toUtf8() + "\r\n";
    out.write(data);
    out.commit();
}

bool SeratoFileParser::makePrivateFolder(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QString absolute = QDir(path).absolutePath();
    const QByteArray native = QFile::encodeName(absolute);
    struct stat info;
    if (::lstat(native.constData(), &info) != 0) {
        QDir().mkpath(QFileInfo(absolute).absolutePath());
        // mkdir with the final mode: no moment in which others can get in.
        if (::mkdir(native.constData(), S_IRWXU) != 0 && errno != EEXIST)
            return false;
        if (::lstat(native.constData(), &info) != 0)
            return false;
    }
    // A symbolic link or a folder of another user could be redirected or read
    // by that user.
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::chmod(native.constData(), S_IRWXU) != 0)
        return false;
    return true;
}

QString SeratoFileParser::stateFolderFor(const QString& sharedFolder, const QString& fallbackFolder)
{
    if (makePrivateFolder(sharedFolder))
        return sharedFolder;
    makePrivateFolder(fallbackFolder);
    return fallbackFolder;
}

QString SeratoFileParser::defaultStateFolder()
{
    QString fallback = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (fallback.isEmpty())
        fallback = QDir::homePath() + QStringLiteral("/.cache/FENK");
    return stateFolderFor(QDir::tempPath() + QStringLiteral("/FENK"),
                          fallback + QStringLiteral("/decks"));
}
