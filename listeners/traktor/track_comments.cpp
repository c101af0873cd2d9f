#include "track_comments.h"

track_comments track_comments::from(const QStringList& texts)
{
    track_comments track;
    for (const QString& text : texts) {
        const int equals = text.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QStringRef name = text.leftRef(equals);
        QString* field = nullptr;
        if (name.compare(QLatin1String("ARTIST"), Qt::CaseInsensitive) == 0)
            field = &track.artist;
        else if (name.compare(QLatin1String("TITLE"), Qt::CaseInsensitive) == 0)
            field = &track.title;
        if (field != nullptr && field->isEmpty())
            *field = text.mid(equals + 1);
    }
    return track;
}
