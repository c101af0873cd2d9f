#include "chunkparser.h"

#include <QtEndian>

#include <cstring>

namespace {

bool isHighSurrogate(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}

bool isLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

ChunkParser::ChunkParser(const QString& tag) : tag(tag.toUtf8())
{}

ChunkParser::~ChunkParser() = default;

void ChunkParser::parse(const QByteArray& data)
{
    if (tag.isEmpty())
        return;
    const qsizetype size = data.size();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    qsizetype pos = 0;
    for (;;) {
        const void* hit =
            ::memmem(bytes + pos, size_t(size - pos), tag.constData(), size_t(tag.size()));
        if (!hit)
            return;
        const qsizetype match = static_cast<const unsigned char*>(hit) - bytes;
        // The next search starts right after this tag, so payload bytes are searched too.
        pos = match + tag.size();
        if (size - pos < 4)
            continue; // length not written yet
        // The length is unsigned on disk: a "negative" one runs past any end.
        const quint32 length = qFromBigEndian<quint32>(bytes + pos);
        const qsizetype payloadStart = pos + 4;
        if (quint64(length) > quint64(size - payloadStart))
            continue; // chunk not fully written yet
        handleChunk(QByteArray::fromRawData(data.constData() + payloadStart, int(length)));
    }
}

qint32 ChunkParser::readInt(Stream& stream)
{
    if (stream.remaining() < 4) {
        stream.skip(stream.remaining());
        return 0;
    }
    const qint32 value = qFromBigEndian<qint32>(stream.current());
    stream.skip(4);
    return value;
}

QString ChunkParser::readText(Stream& stream, qint64 length)
{
    if (length <= 0)
        return QString();
    const char* start = reinterpret_cast<const char*>(stream.current());
    const qsizetype n = stream.skip(length);
    return bytesToText(start, n);
}

QString ChunkParser::bytesToText(const char* bytes, qsizetype length)
{
    if (length <= 0)
        return QString();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    if (length % 2 != 0) {
        QString text;
        text.reserve(int(length));
        for (qsizetype i = 0; i < length; ++i) {
            if (p[i] != 0)
                text.append(QChar(char16_t(p[i])));
        }
        return text;
    }

    const qsizetype units = length / 2;
    QString text(int(units), Qt::Uninitialized);
    char16_t* buffer = reinterpret_cast<char16_t*>(text.data());
    qsizetype out = 0;
    for (qsizetype i = 0; i < units; ++i) {
        const char16_t u = char16_t((p[2 * i] << 8) | p[2 * i + 1]);
        // U+0000 terminates the value; a leading U+FEFF is a byte order mark,
        // not text (and would not survive the UTF-8 state files).
        if (u == 0 || (u == 0xFEFF && out == 0))
            continue;
        buffer[out++] = u;
    }
    // Lone surrogates would turn into garbage once the text is written as UTF-8.
    for (qsizetype i = 0; i < out; ++i) {
        const char16_t u = buffer[i];
        if (isHighSurrogate(u)) {
            if (i + 1 < out && isLowSurrogate(buffer[i + 1]))
                ++i;
            else
                buffer[i] = 0xFFFD;
        } else if (isLowSurrogate(u)) {
            buffer[i] = 0xFFFD;
        }
    }
    text.resize(int(out));
    return text;
}
