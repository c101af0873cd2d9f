#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <ogg/ogg.h>

#include <cmath>
#include <cstring>

// Ogg/Vorbis broadcasts made at test time by the real encoder, and raw pages.
namespace oggtest {

// One track: a logical stream with the given comments ("TAG=value", UTF-8, in
// this order), ended by its EOS page. Empty on failure.
inline QByteArray encode(const QString& folder, const QStringList& comments, int serial)
{
    const QString in = QDir(folder).filePath(QStringLiteral("tone.raw"));
    QFile tone(in);
    if (!tone.exists() && tone.open(QIODevice::WriteOnly))
        for (int i = 0; i < 4000; ++i) {
            char sample[2];
            qToLittleEndian<qint16>(qint16(2000.0 * std::sin(i * 0.07)), sample);
            tone.write(sample, 2);
        }
    tone.close();
    const QString out = QDir(folder).filePath(QStringLiteral("track-%1.ogg").arg(serial));
    QStringList args{
        "-r", "-C", "1", "-R", "8000", "-Q", "--utf8", "-q", "0", "-s", QString::number(serial)};
    for (const QString& c : comments)
        args << QStringLiteral("-c") << c;
    QProcess p;
    p.start(QStringLiteral("oggenc"), args << QStringLiteral("-o") << out << in);
    QFile f(out);
    if (!p.waitForFinished(30000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline QByteArray raw(const ogg_page& page)
{
    return QByteArray(reinterpret_cast<const char*>(page.header), int(page.header_len)) +
           QByteArray(reinterpret_cast<const char*>(page.body), int(page.body_len));
}

inline QList<QByteArray> pages(const QByteArray& stream)
{
    QList<QByteArray> result;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    std::memcpy(ogg_sync_buffer(&sync, stream.size()), stream.constData(), size_t(stream.size()));
    ogg_sync_wrote(&sync, stream.size());
    for (ogg_page page; ogg_sync_pageout(&sync, &page) > 0;)
        result.append(raw(page));
    ogg_sync_clear(&sync);
    return result;
}

// After the test changed a raw page's bytes.
inline void renewChecksum(QByteArray& raw)
{
    ogg_page page;
    page.header = reinterpret_cast<unsigned char*>(raw.data());
    page.header_len = 27 + static_cast<unsigned char>(raw[26]);
    page.body = page.header + page.header_len;
    page.body_len = raw.size() - page.header_len;
    ogg_page_checksum_set(&page);
}

// One logical stream of a single packet that no Vorbis reader would ever
// finish assembling as a header.
inline QByteArray endlessPacket(int serial, int bytes)
{
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    QByteArray body(bytes, 'x');
    ogg_packet packet{reinterpret_cast<unsigned char*>(body.data()), bytes, 1, 1, 0, 0};
    ogg_stream_packetin(&stream, &packet);
    QByteArray out;
    for (ogg_page page; ogg_stream_flush(&stream, &page) != 0;)
        out += raw(page);
    ogg_stream_clear(&stream);
    return out;
}

// The comments of each track and the report it gives (none when both are
// empty): markers are searched anywhere, case-sensitively, and removed.
using Track = QPair<QStringList, QPair<QString, QString>>;
inline QList<Track> sampleTracks()
{
    const QString zoe = QStringLiteral("Zo\u00eb & R\u00f8yksopp <live>");
    return {{{"ARTIST=Foo", "TITLE=Bar"}, {"Foo", "Bar"}},
            {{"ARTIST=" + zoe, "TITLE=a=b"}, {zoe, "a=b"}},
            {{"ARTIST=Main", "ALBUMARTIST=Various", "TITLE=T"}, {"ALBUMVarious", "T"}},
            {{"artist=low", "title=case"}, {}},
            {{"TITLE=Only a title", "SUBTITLE=Y"}, {{}, "SUBY"}},
            {{"ARTIST=TITLE=x", "TITLE="}, {"TITLE=x", {}}},
            {{"TITLE="}, {}}};
}

// The sample tracks chained (serials 101, 102, ...) and the reports they give.
inline QByteArray sampleChain(const QString& folder, QList<QPair<QString, QString>>* reports)
{
    QByteArray chain;
    int serial = 101;
    for (const Track& t : sampleTracks()) {
        const QByteArray track = encode(folder, t.first, serial++);
        if (track.isEmpty())
            return {};
        chain.append(track);
        if (!t.second.first.isEmpty() || !t.second.second.isEmpty())
            reports->append(t.second);
    }
    return chain;
}

} // namespace oggtest
