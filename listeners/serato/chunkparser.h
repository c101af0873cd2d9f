#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Finds every chunk with a given four-byte tag in a byte sequence and hands its
// payload to handleChunk(). The outer structure of the data is not walked: the
// tag is searched for, so chunks nested in other chunks (and tag bytes inside a
// payload) are found as well.
//
// A chunk whose declared length runs past the end of the data is skipped: the
// writer appends while we read, and a torn chunk would yield a cut entry.
class ChunkParser
{
public:
    // A big-endian reader over one payload. Reads past the end never touch
    // memory outside the payload: integers then read as 0, texts are cut.
    class Stream
    {
    public:
        explicit Stream(const QByteArray& data)
            : m_data(reinterpret_cast<const unsigned char*>(data.constData())), m_size(data.size())
        {}
        bool atEnd() const { return m_pos >= m_size; }
        qsizetype remaining() const { return m_size - m_pos; }
        const unsigned char* current() const { return m_data + m_pos; }
        // Advances by up to count bytes and returns how many were passed.
        qsizetype skip(qint64 count)
        {
            if (count <= 0)
                return 0;
            const qsizetype n = count < remaining() ? qsizetype(count) : remaining();
            m_pos += n;
            return n;
        }

    private:
        const unsigned char* m_data;
        qsizetype m_size;
        qsizetype m_pos = 0;
    };

    explicit ChunkParser(const QString& tag);
    virtual ~ChunkParser();

    ChunkParser(const ChunkParser&) = delete;
    ChunkParser& operator=(const ChunkParser&) = delete;

    void parse(const QByteArray& data);

    // The payload refers to the data given to parse(); it must not be kept.
    virtual void handleChunk(const QByteArray& payload) = 0;

    // Text values are UTF-16BE; an odd length cannot be, so such a value is
    // taken byte by byte (zero bytes dropped, each other byte one Latin-1
    // character). U+0000 code units (the terminator) and a leading byte order
    // mark are dropped, lone surrogates become U+FFFD.
    static QString bytesToText(const char* bytes, qsizetype length);
    static QString bytesToText(const QByteArray& bytes)
    {
        return bytesToText(bytes.constData(), bytes.size());
    }

protected:
    static qint32 readInt(Stream& stream);
    static QString readText(Stream& stream, qint64 length);

private:
    QByteArray tag;
};
