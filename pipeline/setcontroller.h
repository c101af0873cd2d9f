#pragma once

#include "track.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class SetOutput;

// The DJ's set: whether one runs, since when, and the tracks played in it, in
// order. Every track of every source enters here (report), and the controller
// hands it to its outputs in the order they were added. While no set runs, a
// track only reaches the outputs that follow stopped tracks (the track view).
//
// Widget-free and single-threaded: it lives on the GUI thread, and the
// listeners' reports reach it queued.
class SetController : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    explicit SetController(QObject* parent = nullptr);

    // Outputs are not owned: one that goes first must be removed.
    void addOutput(SetOutput* output);
    void removeOutput(SetOutput* output);

    bool isStarted() const { return m_started; }
    // The running set's start, or the last set's after a stop; null before any.
    QDateTime startTime() const { return m_startTime; }
    // The tracks of the running set, or of the last set after a stop.
    const QVector<Track>& history() const { return m_history; }

    // What the DJ wrote in the location field, as it stands now.
    QString location() const { return m_location; }
    void setLocation(const QString& location) { m_location = location; }

    // Tests give a fixed clock; the default is the local time.
    void setClock(Clock clock);
    QDateTime now() const { return m_clock(); }

public Q_SLOTS:
    // Each does nothing when the set already is in that state.
    void start();
    void stop();
    void report(const Track& track);

Q_SIGNALS:
    void started(QDateTime at);
    void stopped();
    // After every output has had the track; only for tracks of a running set.
    void trackPlayed(Track track);

private:
    QVector<SetOutput*> m_outputs;
    QVector<Track> m_history;
    QDateTime m_startTime;
    QString m_location;
    Clock m_clock;
    bool m_started = false;
};
