#include "track_comments.h"

track_comments track_comments::from(const QStringList& texts)
{
    static const QString artistMarker = QStringLiteral("ARTIST=");
    static const QString titleMarker = QStringLiteral("TITLE=");
    track_comments track;
    for (const QString& text : texts) {
        if (text.contains(artistMarker, Qt::CaseSensitive))
            track.artist = QString(text).remove(artistMarker, Qt::CaseSensitive);
        else if (text.contains(titleMarker, Qt::CaseSensitive))
            track.title = QString(text).remove(titleMarker, Qt::CaseSensitive);
    }
    return track;
}
