#include "adatchunkparser.h"

#include <algorithm>
#include <utility>

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

    entries.push_back({deck, row, field48, std::move(title), std::move(artist)});
}

void AdatChunkParser::latestEntry(int deck, qint32& row, qint32& field48, QString& title,
                                  QString& artist) const
{
    row = -1;
    field48 = -1;
    title.clear();
    artist.clear();
    for (const Entry& e : entries) {
        if (e.deck == deck && e.row > row)
            row = e.row;
    }
    if (row < 0)
        return;
    // The values of a row are those of its last chunk, whatever deck that was on.
    const auto last = std::find_if(entries.crbegin(), entries.crend(),
                                   [row](const Entry& e) { return e.row == row; });
    field48 = last->field48;
    title = last->title;
    artist = last->artist;
}

QMultiMap<int, qint32> AdatChunkParser::rowsByDeck() const
{
    QMultiMap<int, qint32> pairs;
    for (const Entry& e : entries)
        pairs.insert(e.deck, e.row);
    return pairs;
}
