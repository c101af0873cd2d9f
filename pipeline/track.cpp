#include "track.h"

QString trackSourceName(TrackSource source)
{
    switch (source) {
    case TrackSource::Broadcast:
        return QStringLiteral("broadcast");
    case TrackSource::Serato:
        return QStringLiteral("serato");
    }
    return QString();
}

Track Track::broadcast(QString artist, QString title, QString mount, QDateTime received)
{
    Track track{std::move(artist), std::move(title), TrackSource::Broadcast,
                std::move(mount),  received,         received};
    return track;
}

Track Track::serato(int deck, QString artist, QString title, QDateTime received, int delayMs)
{
    const QDateTime started = received.addMSecs(-qMax(0, delayMs));
    return {std::move(artist),     std::move(title),    TrackSource::Serato,
            QString::number(deck), std::move(received), started};
}
