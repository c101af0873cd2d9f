#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The texts FENK posts: now playing with optional hashtags, start and stop
// messages, and the length rule of a manual message. Plain functions, so the
// window only wires widgets to them.
class MessageComposer
{
public:
    // " & ", " and ", " and, ", " feat ", " feat. ", " with ", in search order.
    static const QStringList& artistSeparators();

    // Spaces become "_", then "#" goes in front; nothing else changes.
    static QString toHashtag(const QString& text);

    // Position of every separator occurrence in artist (matched ignoring case)
    // mapped to the separator as written in the list. A later separator found at
    // the same position replaces an earlier one.
    static QMap<int, QString> findArtistSeparators(const QStringList& separators,
                                                   const QString& artist);

    // One hashtag per artist named in a collaboration, the separators kept
    // between them (in their lower-case table form).
    static QString artistHashtags(const QString& artist, bool hashtagArtist);
    static QString trackHashtag(const QString& track, bool hashtagTrack);

    // playingMessage + " : " + artist part + " - " + track part.
    static QString nowPlaying(const QString& playingMessage, const QString& artist,
                              const QString& track, bool hashtagArtist, bool hashtagTrack);

    // "<hashtag> <message> <location>", each text inserted once as it stands.
    static QString startStop(const QString& hashtag, const QString& message,
                             const QString& location);

    static constexpr int maxMessageLength = 140;
    // What is left of maxMessageLength, in UTF-16 code units; negative when over.
    static int remainingCharacters(const QString& text);
};
