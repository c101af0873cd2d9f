#pragma once

#include "track.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// ISO 8601 with the offset from UTC ("2026-12-05T21:03:12+01:00"), so a reader
// in another zone or a browser gets the same instant; "null" text stays empty.
QString isoTime(const QDateTime& when);
// text as a JSON string literal, quotes included.
QByteArray jsonString(const QString& text);
// text with every control character (line breaks, tabs) as a space, so a title
// from a stream can never split a line of a text file.
QString singleLine(QString text);

// The titles the DJ keeps off the stream: any of the comma-separated plain texts,
// compared without regard to case. Blank entries are ignored, so a stray comma
// cannot hide every track.
class HidePattern
{
public:
    explicit HidePattern(const QString& pattern = defaultPattern());
    static QString defaultPattern() { return QStringLiteral("[ID]"); }

    bool hides(const QString& title) const;

private:
    QStringList m_texts;
};

// What the overlay and the now-playing file show of a set: the current track and
// up to five before it, leaving out the tracks the hide pattern keeps private.
// A hidden track changes nothing, so the last public track stays on screen.
class NowPlayingState
{
public:
    static constexpr int previousCount = 5;

    void setHidePattern(const QString& pattern) { m_hide = HidePattern(pattern); }

    // A new set: nothing is current yet.
    void start(const QDateTime& at);
    // The set ended; the last track stays current.
    void stop();
    // False when the track is hidden and nothing changed.
    bool play(const Track& track);

    bool isStarted() const { return m_started; }
    const std::optional<Track>& current() const { return m_current; }
    // Newest first.
    const QVector<Track>& previous() const { return m_previous; }

    // {"state", "setStartedAt", "current", "previous"}: one line, the form
    // /nowplaying.json and every server-sent event carry.
    QByteArray json() const;
    // "Artist - Title", empty without a current track.
    QString text() const;
    static QString text(const Track& track);

private:
    HidePattern m_hide;
    bool m_started = false;
    QDateTime m_startedAt;
    std::optional<Track> m_current;
    QVector<Track> m_previous;
};
