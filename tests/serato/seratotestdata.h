#pragma once

// Builders for synthetic session files, laid out as the writer lays them out:
// "vrsn" header, then one "oent" chunk per entry holding one "adat" chunk.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtEndian>

namespace seratotest {

inline QByteArray be32(quint32 v)
{
    QByteArray out(4, '\0');
    qToBigEndian(v, reinterpret_cast<uchar*>(out.data()));
    return out;
}

inline QByteArray chunk(const QByteArray& tag, const QByteArray& payload)
{
    return tag + be32(quint32(payload.size())) + payload;
}

inline QByteArray field(qint32 id, const QByteArray& value)
{
    return be32(quint32(id)) + be32(quint32(value.size())) + value;
}

inline QByteArray intField(qint32 id, qint32 value)
{
    return field(id, be32(quint32(value)));
}

// UTF-16BE with the terminating U+0000, as the writer stores text.
inline QByteArray utf16be(const QString& text)
{
    QByteArray out;
    out.reserve((text.size() + 1) * 2);
    for (QChar c : text) {
        out.append(char(c.unicode() >> 8));
        out.append(char(c.unicode() & 0xff));
    }
    out.append(2, '\0');
    return out;
}

inline QByteArray textField(qint32 id, const QString& text)
{
    return field(id, utf16be(text));
}

struct Entry
{
    qint32 row;
    qint32 deck;
    QString title;
    QString artist;
    qint32 field48 = 7;
};

inline QByteArray adat(const Entry& e)
{
    QByteArray fields = intField(1, e.row) +
                        textField(2, QStringLiteral("/Music/%1.mp3").arg(e.title)) +
                        textField(6, e.title);
    if (!e.artist.isEmpty())
        fields += textField(7, e.artist);
    fields += textField(8, QStringLiteral("Album")) + textField(9, QStringLiteral("Electronic")) +
              intField(15, 0) + textField(17, QStringLiteral("Comment of the entry")) +
              textField(23, QStringLiteral("1996")) +
              field(28, QByteArray::fromHex("0000000061234567")) +
              field(29, QByteArray::fromHex("0000000061234667")) + intField(31, e.deck) +
              field(39, QByteArray(1, '\1')) + intField(45, 256) + intField(48, e.field48) +
              field(50, QByteArray(1, '\1')) + textField(51, QStringLiteral("8A")) +
              field(53, QByteArray::fromHex("0000000061234667"));
    return chunk("adat", fields);
}

inline QByteArray oent(const Entry& e)
{
    return chunk("oent", adat(e));
}

inline QByteArray header()
{
    QByteArray text = utf16be(QStringLiteral("1.0/Serato Scratch LIVE Review"));
    text.chop(2);
    return chunk("vrsn", text);
}

inline QByteArray sessionFile(const QList<Entry>& entries)
{
    QByteArray out = header();
    for (const Entry& e : entries)
        out += oent(e);
    return out;
}

// Offsets just past each top-level chunk (the header and every "oent").
inline QList<int> topLevelEnds(const QByteArray& data)
{
    QList<int> ends;
    int pos = 0;
    while (data.size() - pos >= 8) {
        const quint32 length =
            qFromBigEndian<quint32>(reinterpret_cast<const uchar*>(data.constData() + pos + 4));
        if (length > quint32(data.size() - pos - 8))
            break;
        pos += 8 + int(length);
        ends.append(pos);
    }
    return ends;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace seratotest
