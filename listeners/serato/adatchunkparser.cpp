#include "adatchunkparser.h"

AdatChunkParser::AdatChunkParser() : ChunkParser(QStringLiteral("adat"))
{}

void AdatChunkParser::handleChunk(const QByteArray& payload)
{
    Stream stream(payload);
    QString title;
    QString artist;
    // A chunk without these fields is still recorded, but as row -1 it is never
    // chosen as a deck's newest entry.
    qint32 row = -1;
    qint32 deck = 0;
    qint32 field48 = -1;

    while (!stream.atEnd()) {
        const qint32 id = readInt(stream);
        const qint32 length = readInt(stream);
        switch (id) {
        case RowField:
            row = readInt(stream);
            break;
        case DeckField:
            deck = readInt(stream);
            break;
        case Field48:
            field48 = readInt(stream);
            break;
        case TitleField:
            title = readText(stream, length);
            break;
        case ArtistField:
            artist = readText(stream, length);
            break;
        default:
            stream.skip(length);
            break;
        }
    }

    rowsByDeck.insert(deck, row);
    field48ByRow.insert(row, field48);
    titleByRow.insert(row, title);
    artistByRow.insert(row, artist);
}

void AdatChunkParser::latestEntry(int deck, qint32& row, qint32& field48, QString& title,
                                  QString& artist) const
{
    row = -1;
    field48 = -1;
    title.clear();
    artist.clear();
    for (auto it = rowsByDeck.constFind(deck); it != rowsByDeck.constEnd() && it.key() == deck;
         ++it) {
        if (it.value() > row)
            row = it.value();
    }
    if (row >= 0) {
        field48 = field48ByRow.value(row);
        title = titleByRow.value(row);
        artist = artistByRow.value(row);
    }
}

bool AdatChunkParser::entryAt(qint32 row, qint32& field48, QString& title, QString& artist) const
{
    if (!titleByRow.contains(row))
        return false;
    field48 = field48ByRow.value(row);
    title = titleByRow.value(row);
    artist = artistByRow.value(row);
    return true;
}
