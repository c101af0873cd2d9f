#include "tracklistfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <utility>

namespace {

// A tracklist is a few hundred kilobytes at most; anything far larger on disk
// is not ours to parse in one piece.
constexpr qint64 maxFileSize = 64 * 1024 * 1024;

// XML 1.0 cannot carry most control characters, nor broken surrogate pairs: a
// title holding one would make the whole file unreadable for the browser and
// for the next append, so such characters are written as U+FFFD.
QString xmlSafe(const QString& text)
{
    QString safe = text;
    for (int i = 0; i < safe.size(); ++i) {
        const QChar c = safe.at(i);
        const ushort u = c.unicode();
        bool ok;
        if (c.isHighSurrogate()) {
            ok = i + 1 < safe.size() && safe.at(i + 1).isLowSurrogate();
            if (ok) {
                ++i;
                continue;
            }
        } else if (c.isLowSurrogate()) {
            ok = false;
        } else {
            ok = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u != 0xFFFE && u != 0xFFFF);
        }
        if (!ok)
            safe[i] = QChar::ReplacementCharacter;
    }
    return safe;
}

// Unbuffered, so a short write (disk full, size limit) shows up here: a
// buffered QSaveFile flushes at commit and renames a cut-off file over the
// good one without reporting it.
bool writeWhole(QSaveFile* file, const QByteArray& data, QString* error)
{
    QString why;
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        why = file->errorString();
    } else if (const qint64 written = file->write(data); written != data.size()) {
        why = QStringLiteral("%1 of %2 bytes written, the disk may be full")
                  .arg(qMax<qint64>(written, 0))
                  .arg(data.size());
    } else if (!file->commit()) {
        why = file->errorString();
    } else {
        return true;
    }
    *error = QStringLiteral("Cannot write %1: %2").arg(file->fileName(), why);
    file->cancelWriting();
    return false;
}

} // namespace

TrackListFile::TrackListFile(QString folder, QString stylesheetHost)
    : m_folder(std::move(folder)), m_stylesheetHost(std::move(stylesheetHost))
{}

QString TrackListFile::fileNameFor(const QDateTime& start)
{
    return start.toString(QStringLiteral("dd.MM.yyyy hh.mm.ss")) + QStringLiteral(".xml");
}

QString TrackListFile::dateText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
}

QString TrackListFile::filePath() const
{
    return m_fileName.isEmpty() ? QString() : QDir(m_folder).filePath(m_fileName);
}

QString TrackListFile::freeFileNameFor(const QString& folder, const QDateTime& start,
                                       const QStringList& taken)
{
    const QString first = fileNameFor(start);
    QString name = first;
    const QDir dir(folder);
    for (int n = 2; taken.contains(name) || dir.exists(name); ++n)
        name = first.chopped(4) + QStringLiteral(" (%1).xml").arg(n);
    return name;
}

bool TrackListFile::create(const QString& fileName, const TrackListLocation& location)
{
    m_fileName = fileName;
    m_entries.clear();
    m_unwritten.clear();
    m_writtenSize = -1;
    if (!QDir().mkpath(m_folder)) {
        m_error = QStringLiteral("Cannot create the folder %1").arg(m_folder);
        return false;
    }
    return write(location, m_entries);
}

TrackListFile::Entry TrackListFile::entryFor(const QString& artist, const QString& track,
                                             const QDateTime& when)
{
    return {dateText(when), xmlSafe(track), xmlSafe(artist)};
}

bool TrackListFile::append(const QString& artist, const QString& track, const QDateTime& when,
                           const TrackListLocation& location)
{
    return append(QVector<Entry>{entryFor(artist, track, when)}, location);
}

bool TrackListFile::append(const QVector<Entry>& entries, const TrackListLocation& location)
{
    if (m_fileName.isEmpty()) {
        m_error = QStringLiteral("No tracklist is open");
        return false;
    }
    m_entries = entriesOnDisk();
    m_entries += entries;
    if (write(location, m_entries)) {
        m_unwritten.clear();
        return true;
    }
    // Kept for the next write, which may find the old file on disk.
    m_unwritten += entries;
    return false;
}

bool TrackListFile::clear(const TrackListLocation& location)
{
    if (m_fileName.isEmpty()) {
        m_error = QStringLiteral("No tracklist is open");
        return false;
    }
    m_entries.clear();
    m_unwritten.clear();
    return write(location, m_entries);
}

bool TrackListFile::copyTo(const QString& targetFolder) const
{
    if (m_fileName.isEmpty()) {
        m_error = QStringLiteral("No tracklist is open");
        return false;
    }
    QFile source(filePath());
    if (!source.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("Cannot read %1: %2").arg(source.fileName(), source.errorString());
        return false;
    }
    const QByteArray content = source.read(maxFileSize);
    // Replacing through a temporary file keeps an earlier copy whole until the
    // new one is complete.
    QSaveFile target(QDir(targetFolder).filePath(m_fileName));
    if (!writeWhole(&target, content, &m_error))
        return false;
    m_error.clear();
    return true;
}

void TrackListFile::close()
{
    m_writtenSize = -1;
    m_fileName.clear();
    m_entries.clear();
    m_unwritten.clear();
}

QByteArray TrackListFile::document(const TrackListLocation& location,
                                   const QVector<Entry>& entries) const
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeProcessingInstruction(
        QStringLiteral("xml-stylesheet"),
        QStringLiteral("type=\"text/css\" href=\"https://%1/fenk.css\"").arg(m_stylesheetHost));
    writer.writeStartElement(QStringLiteral("playlist"));
    writer.writeStartElement(QStringLiteral("location"));
    writer.writeTextElement(QStringLiteral("city"), xmlSafe(location.city));
    // The element's name is part of the stored format that pages read.
    writer.writeTextElement(QStringLiteral("contry"), xmlSafe(location.country));
    writer.writeTextElement(QStringLiteral("countrycode"), xmlSafe(location.countryCode));
    writer.writeEndElement();
    for (const Entry& entry : entries) {
        writer.writeTextElement(QStringLiteral("date"), entry.date);
        writer.writeTextElement(QStringLiteral("track"), entry.track);
        writer.writeTextElement(QStringLiteral("artist"), entry.artist);
    }
    writer.writeEndDocument();
    return xml;
}

bool TrackListFile::readEntries(const QByteArray& xml, QVector<Entry>* entries)
{
    static const QString names[] = {QStringLiteral("date"), QStringLiteral("track"),
                                    QStringLiteral("artist")};
    QVector<Entry> found;
    Entry current;
    int next = 0; // index into names of the element the current triple needs
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = reader.name();
        const int index = name == names[0] ? 0 : name == names[1] ? 1 : name == names[2] ? 2 : -1;
        if (index < 0)
            continue;
        if (index != next)
            return false; // an incomplete or reordered triple
        const QString text = reader.readElementText(QXmlStreamReader::SkipChildElements);
        if (index == 0)
            current.date = text;
        else if (index == 1)
            current.track = text;
        else
            current.artist = text;
        next = (next + 1) % 3;
        if (next == 0)
            found.append(std::exchange(current, Entry()));
    }
    if (reader.hasError() || next != 0)
        return false;
    *entries = found;
    return true;
}

QVector<TrackListFile::Entry> TrackListFile::entriesOnDisk()
{
    // The file is the record of the run (a hand edit during the set stays),
    // plus what could not be written to it. When it was lost or damaged since
    // the last write, what this object wrote last is the better record.
    // Unchanged since this object wrote it: no need to parse it again.
    m_diskState = DiskState::AsWritten;
    const QFileInfo info(filePath());
    if (info.exists() && info.size() == m_writtenSize && info.lastModified() == m_writtenTime)
        return m_entries; // which holds the unwritten tail too
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        // Before the first write there is nothing of ours to read back.
        if (m_writtenSize >= 0)
            m_diskState = DiskState::Unreadable;
        return m_entries;
    }
    QVector<Entry> entries;
    if (file.size() <= maxFileSize && readEntries(file.readAll(), &entries))
        return entries + m_unwritten;
    m_diskState = DiskState::Damaged;
    return m_entries;
}

bool TrackListFile::keepBackup(QString* backupPath)
{
    backupPath->clear();
    if (m_fileName.isEmpty()) {
        m_error = QStringLiteral("No tracklist is open");
        return false;
    }
    // Tracks held back by a full disk belong in the backup, not in a cleared file.
    if (!m_unwritten.isEmpty() && !writeUnwritten())
        return false;
    if (!QFileInfo::exists(filePath()))
        return true;
    QString backup = filePath() + QStringLiteral(".bak");
    for (int n = 2; QFileInfo::exists(backup); ++n)
        backup = filePath() + QStringLiteral(".bak.%1").arg(n);
    QFile file(filePath());
    if (!file.rename(backup)) {
        m_error =
            QStringLiteral("Cannot keep %1 as %2: %3").arg(filePath(), backup, file.errorString());
        return false;
    }
    m_writtenSize = -1;
    *backupPath = backup;
    return true;
}

bool TrackListFile::write(const TrackListLocation& location, const QVector<Entry>& entries)
{
    m_lastLocation = location;
    QSaveFile file(filePath());
    const QByteArray xml = document(location, entries);
    if (!writeWhole(&file, xml, &m_error))
        return false;
    const QFileInfo info(filePath());
    m_writtenSize = info.size();
    m_writtenTime = info.lastModified();
    m_error.clear();
    return true;
}
