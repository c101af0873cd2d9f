#include "sethistoryfile.h"

#include "nowplaying.h"
#include "setcontroller.h"
#include "setexport.h"
#include "tracklistfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// The set's tracks for the writer, in a vector of their own: one shared with the
// GUI thread is changed in place there (a new set clears it) as soon as the
// writer has let go of it, and the sharing's check is not ordered with the
// writer's last read.
QVector<Track> unshared(const QVector<Track>& tracks)
{
    return QVector<Track>(tracks.cbegin(), tracks.cend());
}
} // namespace

struct SetHistoryFile::Writer
{
    QFile file;
    QByteArray pending; // lines no write has stored yet

    bool open()
    {
        return file.isOpen() ||
               (!file.fileName().isEmpty() &&
                file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
    }
    // Writes what is pending. False when some of it stays so; the file is then
    // closed, to be opened again for the next line, which may find the disk freed.
    bool flush()
    {
        if (pending.isEmpty())
            return true;
        if (!open())
            return false;
        const qint64 written = file.write(pending);
        if (written > 0)
            pending.remove(0, static_cast<int>(written));
        if (pending.isEmpty())
            return true;
        file.close();
        return false;
    }
    QString error() const
    {
        return QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
    }
};

SetHistoryFile::SetHistoryFile(QString folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_writer(std::make_shared<Writer>()),
      m_worker("Set history")
{}

SetHistoryFile::~SetHistoryFile()
{
    // The last jobs still report through this object's signals.
    m_worker.wait();
}

QString SetHistoryFile::basePathFor(const QString& folder, const QDateTime& start)
{
    QString name = TrackListFile::fileNameFor(start);
    name.chop(QStringLiteral(".xml").size());
    return QDir(folder).filePath(name);
}

QString SetHistoryFile::historyPath() const
{
    return m_basePath.isEmpty() ? QString() : m_basePath + QStringLiteral(".history.jsonl");
}

QByteArray SetHistoryFile::jsonLine(const Track& track, const QDateTime& setStart)
{
    const qint64 offset = setStart.msecsTo(track.startedAt);
    return "{\"time\":" + jsonString(isoTime(track.startedAt)) +
           ",\"offset\":" + QByteArray::number(static_cast<double>(offset) / 1000.0, 'f', 3) +
           ",\"artist\":" + jsonString(track.artist) + ",\"title\":" + jsonString(track.title) +
           ",\"source\":" + jsonString(trackSourceName(track.source)) +
           ",\"deck\":" + jsonString(track.deck) + "}\n";
}

void SetHistoryFile::setStarted(const SetController& set)
{
    m_basePath = m_basePathSource ? m_basePathSource() : basePathFor(m_folder, set.startTime());
    const QString path = historyPath();
    m_worker.post([this, writer = m_writer, path] {
        writer->file.close();
        writer->pending.clear();
        writer->file.setFileName(path);
        if (!QDir().mkpath(QFileInfo(path).path()) || !writer->open())
            Q_EMIT writeFailed(writer->error());
    });
}

void SetHistoryFile::trackPlayed(const Track& track, const SetController& set)
{
    m_worker.post([this, writer = m_writer, line = jsonLine(track, set.startTime())] {
        writer->pending += line;
        if (!writer->flush())
            Q_EMIT writeFailed(writer->error());
    });
}

void SetHistoryFile::setStopped(const SetController& set)
{
    m_worker.post([this, writer = m_writer, base = m_basePath, start = set.startTime(),
                   tracks = unshared(set.history())] {
        writer->flush(); // a last try for lines a full disk held back
        writer->file.close();
        if (tracks.isEmpty())
            return;
        QString error;
        if (SetExport::writeFiles(base, start, tracks, &error))
            Q_EMIT exported(base);
        else
            Q_EMIT exportFailed(error);
    });
}

void SetHistoryFile::exportNow(const SetController& set, std::function<void(QString)> done)
{
    m_worker.post([base = m_basePath, start = set.startTime(), tracks = unshared(set.history()),
                   done = std::move(done)] {
        QString error = QStringLiteral("no set has been played yet");
        if (!base.isEmpty() && SetExport::writeFiles(base, start, tracks, &error))
            error.clear();
        done(error);
    });
}
