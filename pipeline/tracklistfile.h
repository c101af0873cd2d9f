#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

struct TrackListLocation
{
    QString city, country, countryCode;
};

// The XML tracklist of one run: the DJ's location and one date/track/artist
// triple per track, with a stylesheet link so a browser shows it as a page.
//
// Every write replaces the file atomically (temporary file, then rename), so a
// crash or a full disk leaves the previous complete file. The entries are also
// kept in memory: when the file on disk cannot be read back or is damaged, the
// next write restores them instead of dropping the set.
class TrackListFile
{
public:
    struct Entry
    {
        QString date, track, artist;
    };

    // folder: where the tracklists live (created on demand);
    // stylesheetHost: host[:port] of the product web site.
    TrackListFile(QString folder, QString stylesheetHost);

    // "dd.MM.yyyy hh.mm.ss.xml" of the local start time.
    static QString fileNameFor(const QDateTime& start);
    // fileNameFor(start), or with " (2)", " (3)" ... before ".xml" when that name
    // is taken in folder or by taken: a new set never replaces an earlier file.
    static QString freeFileNameFor(const QString& folder, const QDateTime& start,
                                   const QStringList& taken = {});
    // The arrival time as written in a "date" element: local, no zone suffix.
    static QString dateText(const QDateTime& when);

    // Starts a new file of this name: location, no tracks.
    bool create(const QString& fileName, const TrackListLocation& location);
    // Adds one entry; the location element is rewritten with the current one.
    // When the write fails, the entry is kept and written with the next one.
    bool append(const QString& artist, const QString& track, const QDateTime& when,
                const TrackListLocation& location);
    // Entry for one track as it is stored.
    static Entry entryFor(const QString& artist, const QString& track, const QDateTime& when);
    // Adds several entries with one write.
    bool append(const QVector<Entry>& entries, const TrackListLocation& location);
    // Entries that no write has stored yet.
    int unwrittenCount() const { return m_unwritten.size(); }
    // Tries to store them, with the location of the last write.
    bool writeUnwritten() { return append(QVector<Entry>(), m_lastLocation); }
    // Leaves the location and no tracks.
    bool clear(const TrackListLocation& location);
    // Moves the current file aside as "<name>.xml.bak" (".bak.2", ... when taken),
    // after writing what was held back; *backupPath receives it. Without a file
    // on disk there is nothing to keep and backupPath stays empty. False when the
    // file could not be moved or the held-back tracks not written: then nothing
    // may be cleared.
    bool keepBackup(QString* backupPath);
    // Copies the current file into targetFolder under the same name, replacing
    // an earlier copy.
    bool copyTo(const QString& targetFolder) const;
    // Ends the run: the file stays, the object no longer writes to it.
    void close();

    QString fileName() const { return m_fileName; }
    QString filePath() const;
    QString folder() const { return m_folder; }
    QVector<Entry> entries() const { return m_entries; }
    // Why the last failed call failed; empty after a success.
    QString errorString() const { return m_error; }

    // What the last append found on disk where it expected its own last write.
    enum class DiskState { AsWritten, Unreadable, Damaged };
    DiskState lastDiskState() const { return m_diskState; }

    // The complete document for these values, as it is written to disk.
    QByteArray document(const TrackListLocation& location, const QVector<Entry>& entries) const;
    // Entries of a document; false when it is not well-formed or its
    // date/track/artist elements do not form complete triples in order.
    static bool readEntries(const QByteArray& xml, QVector<Entry>* entries);

private:
    bool write(const TrackListLocation& location, const QVector<Entry>& entries);
    QVector<Entry> entriesOnDisk();

    QString m_folder;
    QString m_stylesheetHost;
    QString m_fileName;
    QVector<Entry> m_entries;   // everything appended since create() or clear()
    QVector<Entry> m_unwritten; // the tail of m_entries that no write has stored yet
    qint64 m_writtenSize = -1;  // the file as the last successful write left it
    QDateTime m_writtenTime;
    DiskState m_diskState = DiskState::AsWritten;
    TrackListLocation m_lastLocation;
    mutable QString m_error;
};
