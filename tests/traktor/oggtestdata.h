#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <ogg/ogg.h>

#include <cmath>
#include <cstring>

// Ogg/Vorbis broadcasts made at test time by the real encoder.
namespace oggtest {

// A quiet tone as raw mono 16-bit little-endian samples.
inline QByteArray pcm(int samples)
{
    QByteArray out(samples * 2, Qt::Uninitialized);
    for (int i = 0; i < samples; ++i) {
        const auto v = static_cast<qint16>(2000.0 * std::sin(i * 0.07));
        qToLittleEndian<qint16>(v, out.data() + 2 * i);
    }
    return out;
}

// The encoder's arguments for a raw mono input at the given rate.
inline QStringList rawInput(int rate)
{
    return {QStringLiteral("-r"), QStringLiteral("-C"), QStringLiteral("1"), QStringLiteral("-R"),
            QString::number(rate)};
}

// One track: a logical stream with the given comments ("TAG=value", UTF-8, in
// this order), ended by its EOS page. Empty on failure.
inline QByteArray encode(const QString& folder, const QStringList& comments, int serial,
                         int samples = 4000)
{
    const QString in = QDir(folder).filePath(QStringLiteral("tone-%1.raw").arg(samples));
    if (!QFile::exists(in)) {
        QFile f(in);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(pcm(samples));
    }
    const QString out = QDir(folder).filePath(QStringLiteral("track-%1.ogg").arg(serial));
    QStringList args = rawInput(8000);
    args << QStringLiteral("-Q") << QStringLiteral("--utf8") << QStringLiteral("-q")
         << QStringLiteral("0") << QStringLiteral("-s") << QString::number(serial);
    for (const QString& c : comments)
        args << QStringLiteral("-c") << c;
    args << QStringLiteral("-o") << out << in;
    QProcess p;
    p.start(QStringLiteral("oggenc"), args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return {};
    QFile f(out);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// The raw pages of a stream, in order.
inline QList<QByteArray> pages(const QByteArray& stream)
{
    QList<QByteArray> result;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, stream.size());
    std::memcpy(buffer, stream.constData(), static_cast<size_t>(stream.size()));
    ogg_sync_wrote(&sync, stream.size());
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) > 0) {
        QByteArray raw(reinterpret_cast<const char*>(page.header), int(page.header_len));
        raw.append(reinterpret_cast<const char*>(page.body), int(page.body_len));
        result.append(raw);
    }
    ogg_sync_clear(&sync);
    return result;
}

// A raw page whose checksum is renewed after the test changed its bytes.
inline void renewChecksum(QByteArray& raw)
{
    ogg_page page;
    page.header = reinterpret_cast<unsigned char*>(raw.data());
    page.header_len = 27 + static_cast<unsigned char>(raw[26]);
    page.body = page.header + page.header_len;
    page.body_len = raw.size() - page.header_len;
    ogg_page_checksum_set(&page);
}

// The stream with the EOS flag of its last page cleared, as an encoder sends it
// when it begins the next track without ending this one.
inline QByteArray withoutEos(const QByteArray& stream)
{
    QList<QByteArray> all = pages(stream);
    QByteArray& last = all.last();
    last[5] = char(last[5] & ~0x04);
    renewChecksum(last);
    QByteArray out;
    for (const QByteArray& p : all)
        out.append(p);
    return out;
}

// One logical stream of a single packet of the given size, which no Vorbis
// reader would ever finish assembling as a header.
inline QByteArray endlessPacket(int serial, int bytes)
{
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    QByteArray body(bytes, 'x');
    ogg_packet packet{};
    packet.packet = reinterpret_cast<unsigned char*>(body.data());
    packet.bytes = bytes;
    packet.b_o_s = 1;
    packet.e_o_s = 1;
    ogg_stream_packetin(&stream, &packet);
    QByteArray out;
    ogg_page page;
    while (ogg_stream_flush(&stream, &page) != 0)
        out += QByteArray(reinterpret_cast<const char*>(page.header), int(page.header_len)) +
               QByteArray(reinterpret_cast<const char*>(page.body), int(page.body_len));
    ogg_stream_clear(&stream);
    return out;
}

// The comments of each track and the report it must give (none when both are
// empty): markers are searched anywhere, case-sensitively, and removed.
struct Track
{
    QStringList comments;
    QString artist;
    QString title;
};

inline QList<Track> sampleTracks()
{
    const QString zoe = QStringLiteral("Zo\u00eb & R\u00f8yksopp <live>");
    return {
        {{"ARTIST=Foo", "TITLE=Bar"}, "Foo", "Bar"},
        {{"ARTIST=" + zoe, "TITLE=a=b"}, zoe, "a=b"},
        {{"ARTIST=Main", "ALBUMARTIST=Various", "TITLE=T"}, "ALBUMVarious", "T"},
        {{"artist=low", "title=case"}, {}, {}},
        {{"TITLE=Only a title", "SUBTITLE=Y"}, {}, "SUBY"},
        {{"ARTIST=TITLE=x", "TITLE="}, "TITLE=x", {}},
        {{"TITLE="}, {}, {}},
    };
}

// A chain of the sample tracks (serials 101, 102, ...) and the reports it gives.
inline QByteArray sampleChain(const QString& folder, QList<QPair<QString, QString>>* reports)
{
    QByteArray chain;
    int serial = 101;
    for (const Track& t : sampleTracks()) {
        const QByteArray track = encode(folder, t.comments, serial++);
        if (track.isEmpty())
            return {};
        chain.append(track);
        if (!t.artist.isEmpty() || !t.title.isEmpty())
            reports->append(qMakePair(t.artist, t.title));
    }
    return chain;
}

} // namespace oggtest
