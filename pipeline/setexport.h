#pragma once

#include "track.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// A set's tracks as the files a DJ uploads with the recording: a plain
// tracklist, a CUE sheet and a CSV table. Pure functions of the set's start and
// its tracks; times are where each track falls in a recording begun at the start.
namespace SetExport {

// Milliseconds from the set's start to when the track became current; a Serato
// track that stood on its deck before the set began counts from 0.
qint64 offsetMs(const QDateTime& setStart, const Track& track);
// The tracks in the order they became current, equal times in report order: with
// two sources, a Serato track reported after its review delay can have begun
// before a broadcast track reported in between.
QVector<Track> chronological(const QVector<Track>& tracks);

// "mm:ss" under an hour, "h:mm:ss" from then on.
QString clockText(qint64 ms);
// "mm:ss:ff" with 75 frames a second; the minutes go on past 99.
QString cueTime(qint64 ms);

// One "[mm:ss] Artist - Title" line per track, ready to paste.
QString plainText(const QDateTime& setStart, const QVector<Track>& tracks);
// UTF-8 without byte order mark; the first track at 00:00:00, the FILE line
// names recordingName for the DJ to replace.
QByteArray cueSheet(const QDateTime& setStart, const QVector<Track>& tracks, const QString& title,
                    const QString& recordingName);
// time, artist, title, source, deck, with a header row; quoted as RFC 4180 says.
QByteArray csv(const QDateTime& setStart, const QVector<Track>& tracks);

// Writes basePath + ".txt", ".cue" and ".csv", each replaced atomically. basePath
// is the tracklist's path without its ".xml". False with the reason in error when
// any of them could not be written.
bool writeFiles(const QString& basePath, const QDateTime& setStart, const QVector<Track>& tracks,
                QString* error = nullptr);

} // namespace SetExport
