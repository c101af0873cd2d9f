#include "adatchunkparser.h"

#include <cstddef>
#include <cstdint>

// Any byte sequence is a possible session file (torn, corrupt or hostile):
// reading it must neither crash nor read outside it, and whatever comes out
// for a deck must be consistent.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    AdatChunkParser parser;
    parser.parse(bytes);
    for (int deck = 0; deck <= 4; ++deck) {
        qint32 row = 0;
        qint32 field48 = 0;
        QString title;
        QString artist;
        parser.latestEntry(deck, row, field48, title, artist);
        if (row < -1)
            __builtin_trap();
        if (row == -1 && (field48 != -1 || !title.isEmpty() || !artist.isEmpty()))
            __builtin_trap();
        // Texts must survive the trip through the UTF-8 state files.
        if (QString::fromUtf8(title.toUtf8()) != title)
            __builtin_trap();
        if (QString::fromUtf8(artist.toUtf8()) != artist)
            __builtin_trap();
    }
    // Texts of odd and even length straight from the input.
    const QString text =
        ChunkParser::bytesToText(bytes.constData(), bytes.size() > 64 ? 64 : bytes.size());
    if (text.contains(QChar(0)))
        __builtin_trap();
    return 0;
}
