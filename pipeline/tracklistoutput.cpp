#include "tracklistoutput.h"

#include "eventlog.h"
#include "setcontroller.h"
#include "statusmodel.h"
#include "track.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

namespace {
const QString statusKey = QStringLiteral("tracklist");
}

// Owns the file of the running set; every call runs on the worker thread, one
// after another. Appends are gathered and written together once the jobs queued
// before them have run. Tracks that could not be written (a full disk) are
// tried again with every later request and when the output asks for a retry,
// also after their set has stopped, until they are on disk. Answers leave as
// queued signals.
class TrackListWriter : public QObject
{
    Q_OBJECT
public:
    TrackListWriter(QString folder, QString stylesheetHost, SerialWorker& worker)
        : m_folder(std::move(folder)), m_stylesheetHost(std::move(stylesheetHost)),
          m_file(newFile()), m_worker(worker)
    {}

    void retry()
    {
        flush();
        if (m_file->unwrittenCount() > 0)
            m_file->writeUnwritten();
        report(0, m_file->unwrittenCount() == 0, m_file->errorString());
    }

    void create(qint64 request, const QString& name, const TrackListLocation& location)
    {
        retryHeldBack(); // a new set is the next chance for the last one's tracks
        m_pending.clear();
        const bool ok = m_file->create(name, location);
        if (!ok)
            qDebug() << "oyoyoy";
        report(request, ok, m_file->errorString());
    }

    void append(qint64 request, const TrackListFile::Entry& entry,
                const TrackListLocation& location)
    {
        m_pending.append(entry);
        m_location = location;
        m_lastRequest = request;
        if (m_pending.size() == 1)
            m_worker.post([this] { flush(); });
    }

    // The removed file is kept beside the new one; without that, nothing is cleared.
    void clear(qint64 request, const TrackListLocation& location, int tracks)
    {
        flush();
        QString backup;
        if (!m_file->keepBackup(&backup)) {
            log(event_log::error, QStringLiteral("Tracklist %1 not cleared: %2")
                                      .arg(m_file->filePath(), m_file->errorString()));
            report(request, false, m_file->errorString());
            return;
        }
        const bool ok = m_file->clear(location);
        if (!ok)
            qDebug() << "oyoyoy2";
        log(event_log::warning, QStringLiteral("Tracklist %1 cleared by the DJ, %2 tracks removed; "
                                               "the removed file is kept as %3")
                                    .arg(m_file->filePath())
                                    .arg(tracks)
                                    .arg(backup.isEmpty() ? QStringLiteral("(none)") : backup));
        report(request, ok, m_file->errorString());
    }

    void copyTo(const QString& folder)
    {
        if (m_file->copyTo(folder))
            return;
        log(event_log::error, QStringLiteral("Copying the tracklist to %1 failed: %2")
                                  .arg(folder, m_file->errorString()));
        Q_EMIT copyFailed(folder, m_file->errorString());
    }

    // Writes what is still pending or was held back, then lets the file go. A
    // file that still holds tracks back stays with the writer and is tried
    // again later.
    void close(qint64 request)
    {
        flush();
        if (m_file->unwrittenCount() > 0)
            m_file->writeUnwritten();
        const bool ok = m_file->unwrittenCount() == 0;
        const QString error = m_file->errorString();
        if (ok) {
            m_file->close();
        } else {
            log(event_log::error, QStringLiteral("Tracklist %1 closed with %2 tracks not yet "
                                                 "written, trying again: %3")
                                      .arg(m_file->filePath())
                                      .arg(m_file->unwrittenCount())
                                      .arg(error));
            m_heldBack.push_back(std::exchange(m_file, newFile()));
        }
        report(request, ok, error);
    }

    // The program ends: a last try, and what still cannot be written goes to
    // the event log, so that the tracks themselves are not lost.
    void finish()
    {
        retryHeldBack();
        for (const auto& file : m_heldBack) {
            QStringList tracks;
            const QVector<TrackListFile::Entry> entries = file->entries();
            for (int i = entries.size() - file->unwrittenCount(); i < entries.size(); ++i)
                tracks << QStringLiteral("%1 %2 - %3")
                              .arg(entries[i].date, entries[i].artist, entries[i].track);
            log(event_log::error,
                QStringLiteral("Tracklist %1: %2 tracks could not be written before the quit: %3")
                    .arg(file->filePath())
                    .arg(file->unwrittenCount())
                    .arg(tracks.join(QStringLiteral("; "))));
        }
    }

Q_SIGNALS:
    // waiting: tracks are held back and want another try.
    void done(qint64 request, bool ok, QString error, bool waiting);
    void copyFailed(QString folder, QString error);
    // The file on disk was not as the last write left it: it was rewritten
    // from the entries known here. damaged: it could be read but not parsed.
    void repaired(QString fileName, bool damaged, int tracks);

private:
    std::unique_ptr<TrackListFile> newFile() const
    {
        return std::make_unique<TrackListFile>(m_folder, m_stylesheetHost);
    }

    static void log(int severity, const QString& text)
    {
        event_log::write(text.toStdString(), severity, 1);
    }

    void flush()
    {
        retryHeldBack();
        if (m_pending.isEmpty())
            return;
        const bool ok = m_file->append(std::exchange(m_pending, {}), m_location);
        if (!ok)
            qDebug() << "oyoyoy";
        const TrackListFile::DiskState disk = m_file->lastDiskState();
        if (disk != TrackListFile::DiskState::AsWritten) {
            const bool damaged = disk == TrackListFile::DiskState::Damaged;
            if (!damaged)
                qDebug() << "oyoyoy1";
            const int known = m_file->entries().size();
            log(event_log::warning,
                QStringLiteral("Tracklist %1 was %2 since FENK last wrote it; it is written "
                               "again with the %3 tracks FENK knows")
                    .arg(m_file->filePath(),
                         damaged ? QStringLiteral("damaged or edited into a form FENK cannot read")
                                 : QStringLiteral("missing or unreadable"))
                    .arg(known));
            Q_EMIT repaired(m_file->fileName(), damaged, known);
        }
        report(m_lastRequest, ok, m_file->errorString());
    }

    void retryHeldBack()
    {
        for (std::size_t i = 0; i < m_heldBack.size();) {
            TrackListFile& file = *m_heldBack[i];
            const int tracks = file.unwrittenCount();
            if (!file.writeUnwritten()) {
                ++i;
                continue;
            }
            log(event_log::info, QStringLiteral("Tracklist %1: the %2 tracks held back are written")
                                     .arg(file.filePath())
                                     .arg(tracks));
            m_heldBack.erase(m_heldBack.begin() + long(i));
        }
    }

    // Every answer also says whether tracks still wait, here or in a closed set.
    void report(qint64 request, bool ok, QString error)
    {
        if (ok && !m_heldBack.empty()) {
            ok = false;
            error = QStringLiteral("%1 held back: %2")
                        .arg(m_heldBack.front()->fileName(), m_heldBack.front()->errorString());
        }
        const bool waiting = !m_heldBack.empty() || m_file->unwrittenCount() > 0;
        Q_EMIT done(request, ok, ok ? QString() : error, waiting);
    }

    QString m_folder;
    QString m_stylesheetHost;
    std::unique_ptr<TrackListFile> m_file;
    std::vector<std::unique_ptr<TrackListFile>> m_heldBack;
    QVector<TrackListFile::Entry> m_pending;
    TrackListLocation m_location;
    qint64 m_lastRequest = 0;
    SerialWorker& m_worker;
};

TrackListOutput::TrackListOutput(QString folder, QString stylesheetHost, StatusModel* status,
                                 QObject* parent)
    : QObject(parent), m_folder(folder), m_status(status), m_worker("FENK tracklist"),
      m_writer(
          std::make_unique<TrackListWriter>(std::move(folder), std::move(stylesheetHost), m_worker))
{
    m_retry.setInterval(retryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, [this] { post(&TrackListWriter::retry); });
    connect(m_writer.get(), &TrackListWriter::done, this, &TrackListOutput::written);
    connect(m_writer.get(), &TrackListWriter::copyFailed, this, &TrackListOutput::copyFailed);
    connect(m_writer.get(), &TrackListWriter::repaired, this,
            [this](const QString& name, bool damaged, int tracks) {
                if (name != m_fileName)
                    return;
                m_repair = damaged ? tr("%1 was damaged or edited by hand; the %2 known tracks "
                                        "were written again")
                                         .arg(name)
                                         .arg(tracks)
                                   : tr("%1 was missing or unreadable; the %2 known tracks were "
                                        "written again")
                                         .arg(name)
                                         .arg(tracks);
                showStatus();
            });
    if (m_status != nullptr)
        m_status->addLine(statusKey, tr("Tracklist"));
    showStatus();
}

// The writer's last jobs run before the worker is joined; what they report
// afterwards goes nowhere.
TrackListOutput::~TrackListOutput()
{
    if (m_open)
        post(&TrackListWriter::close, ++m_requested);
    post(&TrackListWriter::finish);
    m_worker.wait();
    disconnect(m_writer.get(), nullptr, this, nullptr);
}

template <class Method, class... Args> void TrackListOutput::post(Method method, Args... args)
{
    m_worker.post([writer = m_writer.get(), method, args...] { (writer->*method)(args...); });
}

void TrackListOutput::setLocation(const TrackListLocation& location)
{
    m_location = location;
}

QString TrackListOutput::filePath() const
{
    return m_fileName.isEmpty() ? QString() : QDir(m_folder).filePath(m_fileName);
}

void TrackListOutput::setStarted(const SetController& set)
{
    m_fileName = TrackListFile::freeFileNameFor(m_folder, set.startTime(), m_usedNames);
    m_usedNames.append(m_fileName);
    m_open = true;
    m_tracks = 0;
    m_error.clear();
    m_repair.clear();
    post(&TrackListWriter::create, ++m_requested, m_fileName, m_location);
    showStatus();
}

void TrackListOutput::trackPlayed(const Track& track, const SetController&)
{
    if (!m_open || track.source != TrackSource::Broadcast)
        return;
    ++m_tracks;
    post(&TrackListWriter::append, ++m_requested,
         TrackListFile::entryFor(track.artist, track.title, track.received), m_location);
}

void TrackListOutput::setStopped(const SetController&)
{
    if (!m_open)
        return;
    m_open = false;
    post(&TrackListWriter::close, ++m_requested);
    showStatus();
}

void TrackListOutput::clear()
{
    if (!m_open)
        return;
    post(&TrackListWriter::clear, ++m_requested, m_location, m_tracks);
    m_tracks = 0;
}

void TrackListOutput::copyTo(const QString& folder)
{
    if (!m_open)
        return;
    post(&TrackListWriter::copyTo, folder);
}

bool TrackListOutput::waitForWrites(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_done < m_requested && !deadline.hasExpired()) {
        // The worker's answers are queued to this thread: take them as they come.
        QCoreApplication::sendPostedEvents(this);
        if (m_done < m_requested)
            QThread::msleep(1);
    }
    return m_done >= m_requested;
}

void TrackListOutput::written(qint64 request, bool ok, QString error, bool waiting)
{
    if (waiting && !m_retry.isActive())
        m_retry.start();
    else if (!waiting)
        m_retry.stop();
    m_done = qMax(m_done, request);
    if (ok == m_error.isEmpty() && (ok || error == m_error))
        return;
    if (!ok)
        event_log::write(
            QStringLiteral("Tracklist %1 not written: %2").arg(filePath(), error).toStdString(),
            event_log::error, 1);
    m_error = ok ? QString() : error;
    showStatus();
}

void TrackListOutput::showStatus()
{
    if (m_status == nullptr)
        return;
    if (m_fileName.isEmpty())
        m_status->set(statusKey, tr("none yet"), tr("Start makes one"));
    else if (!m_error.isEmpty())
        m_status->set(statusKey, tr("NOT WRITTEN"), m_fileName + QStringLiteral(": ") + m_error);
    else if (m_open && !m_repair.isEmpty())
        m_status->set(statusKey, tr("repaired"), m_repair);
    else if (m_open)
        m_status->set(statusKey, tr("writing"), m_fileName);
    else
        m_status->set(statusKey, tr("closed"), m_fileName);
}

#include "tracklistoutput.moc"
