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

    entries.push_back({deck, row, field48, std::move(title), std::move(artist)});
}

const AdatChunkParser::Entry* AdatChunkParser::lastWithRow(qint32 row) const
{
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        if (it->row == row)
            return &*it;
    }
    return nullptr;
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
    if (row >= 0) {
        const Entry* e = lastWithRow(row);
        field48 = e->field48;
        title = e->title;
        artist = e->artist;
    }
}

bool AdatChunkParser::entryAt(qint32 row, qint32& field48, QString& title, QString& artist) const
{
    const Entry* e = lastWithRow(row);
    if (!e)
        return false;
    field48 = e->field48;
    title = e->title;
    artist = e->artist;
    return true;
}

QMultiMap<int, qint32> AdatChunkParser::entriesByDeck() const
{
    QMultiMap<int, qint32> pairs;
    for (const Entry& e : entries)
        pairs.insert(e.deck, e.row);
    return pairs;
}
