#pragma once

#include "serialworker.h"
#include "setoutput.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The set's history on disk: one JSON line per track ({"time", "offset",
// "artist", "title", "source", "deck"}) in "<tracklist name>.history.jsonl"
// beside the tracklist, written and flushed as each track arrives, so a crash
// loses at most the line being written. At the end of a set the text, CUE and
// CSV exports are written beside it. Every source's tracks go in, whatever the
// tracklist keeps.
//
// The files are written on a thread of its own; the GUI thread only formats the
// line, so a track costs the same at the end of a long night as at its start.
class SetHistoryFile : public QObject, public SetOutput
{
    Q_OBJECT
public:
    // folder: the tracklists' folder (created on demand).
    explicit SetHistoryFile(QString folder, QObject* parent = nullptr);
    ~SetHistoryFile() override;

    // folder + the tracklist's name without ".xml" for a set begun at start; the
    // history and the exports add their own suffixes to it.
    static QString basePathFor(const QString& folder, const QDateTime& start);
    static QByteArray jsonLine(const Track& track, const QDateTime& setStart);

    // Where the tracklist of a starting set goes, less ".xml": the history and
    // exports follow it (a second set in the same second gets " (2)" there).
    // Without it, basePathFor the set's start.
    void setBasePathSource(std::function<QString()> source)
    {
        m_basePathSource = std::move(source);
    }

    // Of the running set, or of the last one; empty before the first.
    QString basePath() const { return m_basePath; }
    QString historyPath() const;

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

    // Writes the exports of the running set so far, or of the last one, after
    // every line handed over before, so they never overtake the exports Stop
    // writes. done runs on the writer's thread with the reason they were not
    // written, empty when all three were.
    void exportNow(const SetController& set, std::function<void(QString error)> done);

    // Returns once every write handed over so far is done.
    void waitForWrites() { m_worker.wait(); }

Q_SIGNALS:
    // Emitted on the writer's thread: connect them with a receiver object.
    // A line or the history file could not be written; the lines are kept and
    // written with the next track.
    void writeFailed(QString error);
    // The exports of the set that just ended are written (basePath + ".txt", ...).
    void exported(QString basePath);
    void exportFailed(QString error);

private:
    struct Writer;

    QString m_folder;
    QString m_basePath;
    std::function<QString()> m_basePathSource;
    std::shared_ptr<Writer> m_writer; // touched only on the worker thread
    SerialWorker m_worker;            // last: joined before the rest goes
};
