#pragma once
// Builders for synthetic session files, laid out as the writer lays them out:
// "vrsn" header, then one "oent" chunk per entry holding one "adat" chunk.
#include <QByteArray>
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
    for (QChar c : text)
        out += char(c.unicode() >> 8) + QByteArray(1, char(c.unicode() & 0xff));
    return out + QByteArray(2, '\0');
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
// With the fields a real entry carries around the ones the reader takes.
inline QByteArray oent(const Entry& e)
{
    const QByteArray time = QByteArray::fromHex("0000000061234567");
    QByteArray fields =
        intField(1, e.row) + textField(2, "/Music/" + e.title + ".mp3") + textField(6, e.title);
    if (!e.artist.isEmpty())
        fields += textField(7, e.artist);
    fields += textField(8, "Album") + intField(15, 0) + textField(17, "Comment") + field(28, time) +
              field(29, time) + intField(31, e.deck) + field(39, QByteArray(1, '\1')) +
              intField(45, 256) + intField(48, e.field48) + field(50, QByteArray(1, '\1')) +
              textField(51, "8A");
    return chunk("oent", chunk("adat", fields));
}
inline QByteArray header()
{
    return chunk("vrsn", utf16be("1.0/Serato Scratch LIVE Review").chopped(2));
}
inline QByteArray sessionFile(const QList<Entry>& entries)
{
    QByteArray out = header();
    for (const Entry& e : entries)
        out += oent(e);
    return out;
}
} // namespace seratotest
