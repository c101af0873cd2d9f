#pragma once

#include "chunkparser.h"

#include <QMultiMap>
#include <QString>

#include <vector>

// Reads the entry records ("adat" chunks) of a session file: the row number,
// deck, title, artist and one further number of each entry. One instance serves
// one read of one file.
class AdatChunkParser : public ChunkParser
{
public:
    enum FieldId : qint32 {
        RowField = 1,
        TitleField = 6,
        ArtistField = 7,
        DeckField = 31,
        Field48 = 48,
    };

    AdatChunkParser();

    void handleChunk(const QByteArray& payload) override;

    // The entry with the highest row (>= 0) on deck; row and field48 are -1 and
    // the texts empty when the deck has none. The values of a row are those of
    // the last chunk with that row, whatever its deck.
    void latestEntry(int deck, qint32& row, qint32& field48, QString& title, QString& artist) const;

    // Every (deck, row) pair seen, one per chunk.
    QMultiMap<int, qint32> rowsByDeck() const;

private:
    struct Entry
    {
        qint32 deck;
        qint32 row;
        qint32 field48;
        QString title;
        QString artist;
    };

    // One record per chunk in file order: a file holds a few thousand at most,
    // and a read asks for only four decks, so a scan beats building maps.
    std::vector<Entry> entries;
};
