#pragma once

#include "nowplaying.h"
#include "serialworker.h"
#include "setoutput.h"

#include <QObject>
#include <QString>

// "nowplaying.txt" in FENK's data folder: "Artist - Title" of the current track
// for OBS text sources and other tools, replaced atomically on every track so a
// reader never sees half a title. Tracks the hide pattern keeps private leave
// the file as it was; a new set empties it.
class NowPlayingFile : public QObject, public SetOutput
{
    Q_OBJECT
public:
    // folder: FENK's data folder, beside events.log.
    explicit NowPlayingFile(const QString& folder, QObject* parent = nullptr);
    ~NowPlayingFile() override;

    static QString fileName() { return QStringLiteral("nowplaying.txt"); }
    QString path() const { return m_path; }
    void setHidePattern(const QString& pattern) { m_state.setHidePattern(pattern); }

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

    // Returns once every write handed over so far is done.
    void waitForWrites() { m_worker.wait(); }

Q_SIGNALS:
    // Emitted on the writer's thread: connect it with a receiver object.
    void writeFailed(QString error);

private:
    void write(const QString& text);

    QString m_path;
    NowPlayingState m_state;
    SerialWorker m_worker;
};
