#pragma once

#include "serialworker.h"
#include "setoutput.h"
#include "tracklistfile.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class StatusModel;
class TrackListWriter;

// The set's XML tracklist: one file per set, broadcast tracks only. Files are
// written on a worker thread: a burst of tracks is written with a few writes,
// never one per track on the GUI thread, and each write still replaces the
// file atomically. The outcome shows in the status line "tracklist".
class TrackListOutput : public QObject, public SetOutput
{
    Q_OBJECT
public:
    TrackListOutput(QString folder, QString stylesheetHost, StatusModel* status,
                    QObject* parent = nullptr);
    // Lets the worker finish what is queued, for at most a second and a half.
    ~TrackListOutput() override;

    // The result of the last location lookup; the next write uses it.
    void setLocation(const TrackListLocation& location);

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

    // The running set's file name, empty while no set runs.
    QString fileName() const { return m_open ? m_fileName : QString(); }
    // The running or last set's file; empty before the first set.
    QString filePath() const;
    QString folder() const { return m_folder; }
    // Entries of the running set, as far as they are known here.
    int trackCount() const { return m_tracks; }

    // Empties the running set's file (the location stays); the removed file is
    // kept as "<name>.xml.bak" beside it, and events.log says so.
    void clear();
    // Copies the running set's file into folder; copyFailed says why not.
    void copyTo(const QString& folder);

    // Waits until every write asked for so far is done, at most timeoutMs.
    bool waitForWrites(int timeoutMs);
    // Some write asked for is not done yet.
    bool writesPending() const { return m_done < m_requested; }

Q_SIGNALS:
    void copyFailed(QString folder, QString error);

private:
    // Hands a call of the writer to the worker thread, the arguments copied.
    template <class Method, class... Args> void post(Method method, Args... args);
    void written(qint64 request, bool ok, QString error, bool waiting);
    void showStatus();

    QString m_folder;
    StatusModel* m_status;
    static constexpr int retryIntervalMs = 5000;
    SerialWorker m_worker;
    std::unique_ptr<TrackListWriter> m_writer; // called on m_worker's thread only
    QTimer m_retry;                            // held-back tracks are tried again
    TrackListLocation m_location;
    QString m_fileName;
    QStringList m_usedNames;
    QString m_error;
    QString m_repair; // why the running set's file had to be written again
    int m_tracks = 0;
    bool m_open = false;
    qint64 m_requested = 0; // numbers the writes asked for
    qint64 m_done = 0;      // the last one the worker finished
};
