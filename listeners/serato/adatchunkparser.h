#pragma once

#include "chunkparser.h"

#include <QMap>
#include <QString>

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
    // the texts empty when the deck has none.
    void latestEntry(int deck, qint32& row, qint32& field48, QString& title, QString& artist) const;

    // The entry recorded for row; false if there is none.
    bool entryAt(qint32 row, qint32& field48, QString& title, QString& artist) const;

    // Every (deck, row) pair seen, one per chunk.
    const QMultiMap<int, qint32>& entriesByDeck() const { return rowsByDeck; }

private:
    QMultiMap<int, qint32> rowsByDeck;
    QMap<qint32, qint32> field48ByRow;
    QMap<qint32, QString> titleByRow;
    QMap<qint32, QString> artistByRow;
};
