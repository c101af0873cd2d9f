#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// Where a track was learnt.
enum class TrackSource { Broadcast, Serato };

// "broadcast" or "serato": the name files and the overlay use for a source.
QString trackSourceName(TrackSource source);

// One track as a listener reported it. Every track of every source enters the
// set through SetController::report in this form.
struct Track
{
    QString artist;
    QString title;
    TrackSource source = TrackSource::Broadcast;
    // The Serato deck ("1" to "4") or the broadcast mount ("/live.ogg"); may be empty.
    QString deck;
    // When FENK received the report.
    QDateTime received;
    // When the track became current: its arrival for a broadcast; for Serato the
    // report time less the review delay, as it stood on its deck that long.
    QDateTime startedAt;

    static Track broadcast(QString artist, QString title, QString mount, QDateTime received);
    static Track serato(int deck, QString artist, QString title, QDateTime received, int delayMs);
};

Q_DECLARE_METATYPE(Track)
