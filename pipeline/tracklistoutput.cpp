#include "tracklistoutput.h"

#include "eventlog.h"
#include "setcontroller.h"
#include "statusmodel.h"
#include "track.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

namespace {
const QString statusKey = QStringLiteral("tracklist");
}

// Owns the file of the running set on the worker thread. Appends are gathered
// and written together once the worker's queue is empty.
class TrackListWriter : public QObject
{
    Q_OBJECT
public:
    TrackListWriter(QString folder, QString stylesheetHost)
        : m_file(std::move(folder), std::move(stylesheetHost))
    {}

    void create(qint64 request, const QString& name, const TrackListLocation& location)
    {
        m_pending.clear();
        const bool ok = m_file.create(name, location);
        if (!ok)
            qDebug() << "oyoyoy";
        Q_EMIT done(request, ok, m_file.errorString());
    }

    void append(qint64 request, const TrackListFile::Entry& entry,
                const TrackListLocation& location)
    {
        m_pending.append(entry);
        m_location = location;
        m_lastRequest = request;
        if (m_pending.size() == 1)
            QMetaObject::invokeMethod(this, &TrackListWriter::flush, Qt::QueuedConnection);
    }

    void clear(qint64 request, const TrackListLocation& location)
    {
        m_pending.clear();
        const bool ok = m_file.clear(location);
        if (!ok)
            qDebug() << "oyoyoy2";
        Q_EMIT done(request, ok, m_file.errorString());
    }

    void copyTo(const QString& folder)
    {
        if (m_file.copyTo(folder))
            return;
        event_log::write(QStringLiteral("Copying the tracklist to %1 failed: %2")
                             .arg(folder, m_file.errorString())
                             .toStdString(),
                         event_log::error, 1);
        Q_EMIT copyFailed(folder, m_file.errorString());
    }

    // Writes what is still pending or was held back, then lets the file go.
    void close(qint64 request)
    {
        flush();
        bool ok = true;
        if (m_file.unwrittenCount() > 0) {
            ok = m_file.append(QVector<TrackListFile::Entry>(), m_location);
            if (!ok)
                event_log::write(
                    QStringLiteral("Tracklist %1 closed with %2 tracks not written: %3")
                        .arg(m_file.filePath())
                        .arg(m_file.unwrittenCount())
                        .arg(m_file.errorString())
                        .toStdString(),
                    event_log::error, 1);
        }
        m_file.close();
        Q_EMIT done(request, ok, ok ? QString() : m_file.errorString());
    }

Q_SIGNALS:
    void done(qint64 request, bool ok, QString error);
    void copyFailed(QString folder, QString error);

private:
    void flush()
    {
        if (m_pending.isEmpty())
            return;
        const bool ok = m_file.append(std::exchange(m_pending, {}), m_location);
        if (!ok)
            qDebug() << "oyoyoy";
        Q_EMIT done(m_lastRequest, ok, m_file.errorString());
    }

    TrackListFile m_file;
    QVector<TrackListFile::Entry> m_pending;
    TrackListLocation m_location;
    qint64 m_lastRequest = 0;
};

TrackListOutput::TrackListOutput(QString folder, QString stylesheetHost, StatusModel* status,
                                 QObject* parent)
    : QObject(parent), m_folder(folder), m_status(status),
      m_writer(new TrackListWriter(std::move(folder), std::move(stylesheetHost)))
{
    m_thread.setObjectName(QStringLiteral("FENK tracklist"));
    m_writer->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
    connect(m_writer, &TrackListWriter::done, this, &TrackListOutput::written);
    connect(m_writer, &TrackListWriter::copyFailed, this, &TrackListOutput::copyFailed);
    m_thread.start();
    if (m_status != nullptr)
        m_status->addLine(statusKey, tr("Tracklist"));
    showStatus();
}

TrackListOutput::~TrackListOutput()
{
    if (m_open) {
        const qint64 request = ++m_requested;
        QMetaObject::invokeMethod(m_writer, [w = m_writer, request] { w->close(request); });
    }
    m_thread.quit();
    if (!m_thread.wait(QDeadlineTimer(1500)))
        event_log::write("The tracklist's last write did not finish in time", event_log::error, 1);
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
    const qint64 request = ++m_requested;
    QMetaObject::invokeMethod(m_writer,
                              [w = m_writer, request, name = m_fileName, location = m_location] {
                                  w->create(request, name, location);
                              });
    showStatus();
}

void TrackListOutput::trackPlayed(const Track& track, const SetController&)
{
    if (!m_open || track.source != TrackSource::Broadcast)
        return;
    ++m_tracks;
    const qint64 request = ++m_requested;
    QMetaObject::invokeMethod(
        m_writer, [w = m_writer, request,
                   entry = TrackListFile::entryFor(track.artist, track.title, track.received),
                   location = m_location] { w->append(request, entry, location); });
}

void TrackListOutput::setStopped(const SetController&)
{
    if (!m_open)
        return;
    m_open = false;
    const qint64 request = ++m_requested;
    QMetaObject::invokeMethod(m_writer, [w = m_writer, request] { w->close(request); });
    showStatus();
}

void TrackListOutput::clear()
{
    if (!m_open)
        return;
    m_tracks = 0;
    const qint64 request = ++m_requested;
    QMetaObject::invokeMethod(
        m_writer, [w = m_writer, request, location = m_location] { w->clear(request, location); });
}

void TrackListOutput::copyTo(const QString& folder)
{
    if (!m_open)
        return;
    QMetaObject::invokeMethod(m_writer, [w = m_writer, folder] { w->copyTo(folder); });
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

void TrackListOutput::written(qint64 request, bool ok, QString error)
{
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
    else if (m_open)
        m_status->set(statusKey, tr("writing"), m_fileName);
    else
        m_status->set(statusKey, tr("closed"), m_fileName);
}

#include "tracklistoutput.moc"
