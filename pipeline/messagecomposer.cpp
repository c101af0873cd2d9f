#include "messagecomposer.h"

const QStringList& MessageComposer::artistSeparators()
{
    static const QStringList separators = {QStringLiteral(" & "),     QStringLiteral(" and "),
                                           QStringLiteral(" and, "),  QStringLiteral(" feat "),
                                           QStringLiteral(" feat. "), QStringLiteral(" with ")};
    return separators;
}

QString MessageComposer::toHashtag(const QString& text)
{
    QString tag = text;
    tag.replace(QLatin1Char(' '), QLatin1Char('_'));
    return QLatin1Char('#') + tag;
}

QMap<int, QString> MessageComposer::findArtistSeparators(const QStringList& separators,
                                                         const QString& artist)
{
    QMap<int, QString> found;
    for (const QString& separator : separators) {
        if (separator.isEmpty())
            continue; // would match everywhere and never advance
        int from = 0;
        while (from < artist.size()) {
            const int position = artist.indexOf(separator, from, Qt::CaseInsensitive);
            if (position < 0)
                break;
            found.insert(position, separator);
            // An occurrence starting right after this one is not searched for.
            from = position + separator.size() + 1;
        }
    }
    return found;
}

QString MessageComposer::artistHashtags(const QString& artist, bool hashtagArtist)
{
    if (!hashtagArtist)
        return artist;
    const QMap<int, QString> separators = findArtistSeparators(artistSeparators(), artist);
    if (separators.isEmpty())
        return toHashtag(artist);
    QString result;
    int start = 0;
    for (auto it = separators.cbegin(); it != separators.cend(); ++it) {
        // A separator overlapping the previous one (" & and ") has no piece
        // of its own: it is left inside the text rather than split twice.
        if (it.key() < start)
            continue;
        result += toHashtag(artist.mid(start, it.key() - start)) + it.value();
        start = it.key() + it.value().size();
    }
    return result + toHashtag(artist.mid(start));
}

QString MessageComposer::trackHashtag(const QString& track, bool hashtagTrack)
{
    return hashtagTrack ? toHashtag(track) : track;
}

QString MessageComposer::nowPlaying(const QString& playingMessage, const QString& artist,
                                    const QString& track, bool hashtagArtist, bool hashtagTrack)
{
    return playingMessage + QStringLiteral(" : ") + artistHashtags(artist, hashtagArtist) +
           QStringLiteral(" - ") + trackHashtag(track, hashtagTrack);
}

QString MessageComposer::startStop(const QString& hashtag, const QString& message,
                                   const QString& location)
{
    // The multi-argument arg() fills all markers in one pass, so a "%2" typed
    // into the hashtag stays text.
    return QStringLiteral("%1 %2 %3").arg(hashtag, message, location);
}

int MessageComposer::remainingCharacters(const QString& text)
{
    return maxMessageLength - text.size();
}
