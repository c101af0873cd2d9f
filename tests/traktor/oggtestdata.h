#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <ogg/ogg.h>

// Ogg/Vorbis broadcasts made at test time by the real encoder, and raw pages.
namespace oggtest {

// One track of silence (samples at 8 kHz): a logical stream with the given comments
// ("TAG=value", UTF-8, in this order), ended by its EOS page. Empty on failure.
inline QByteArray encode(const QString& folder, const QStringList& comments, int serial,
                         int samples = 4000)
{
    const QString out = QDir(folder).filePath(QStringLiteral("track-%1.ogg").arg(serial));
    QStringList args{
        "-r", "-C", "1", "-R", "8000", "-Q", "--utf8", "-q", "0", "-s", QString::number(serial),
        "-o", out};
    for (const QString& c : comments)
        args << QStringLiteral("-c") << c;
    QProcess p;
    p.start(QStringLiteral("oggenc"), args << QStringLiteral("-"));
    p.write(QByteArray(2 * samples, '\0'));
    p.closeWriteChannel();
    QFile f(out);
    if (!p.waitForFinished(30000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// The pages of a stream, cut where each page header begins.
inline QList<QByteArray> pages(const QByteArray& stream)
{
    QList<QByteArray> result;
    for (int at = 0, next = 0; at < stream.size(); at = next) {
        next = stream.indexOf("OggS", at + 1);
        next = next < 0 ? stream.size() : next;
        result.append(stream.mid(at, next - at));
    }
    return result;
}

// A logical stream of one packet of the given size that is no Vorbis header.
inline QByteArray packetStream(int serial, int bytes)
{
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    QByteArray body(bytes, 'x'), out;
    ogg_packet packet{reinterpret_cast<unsigned char*>(body.data()), bytes, 1, 1, 0, 0};
    ogg_stream_packetin(&stream, &packet);
    for (ogg_page page; ogg_stream_flush(&stream, &page) != 0;)
        out += QByteArray(reinterpret_cast<const char*>(page.header), int(page.header_len)) +
               QByteArray(reinterpret_cast<const char*>(page.body), int(page.body_len));
    ogg_stream_clear(&stream);
    return out;
}

// A chain of tracks (serials 101, 102, ...) whose comments test the field
// names, and the reports it gives ("artist|title"). Names count whole and in any
// case; of two fields of one name the first counts; a track with neither an
// artist nor a title gives no report.
inline QByteArray sampleChain(const QString& folder, QStringList* reports)
{
    const QString zoe = QStringLiteral("Zo\u00eb & R\u00f8yksopp <live>");
    const QList<QPair<QStringList, QString>> tracks{
        {{"ARTIST=Foo", "TITLE=Bar"}, "Foo|Bar"},
        {{"ARTIST=" + zoe, "TITLE=a=b"}, zoe + "|a=b"},
        {{"ALBUMARTIST=Various", "ARTIST=Main", "title=T"}, "Main|T"},
        {{"Artist=First", "ALBUMARTIST=Various", "ARTIST=Second", "TITLE=U"}, "First|U"},
        {{"TITLE=Only a title", "SUBTITLE=Y"}, "|Only a title"},
        {{"ARTIST=TITLE=x", "TITLE="}, "TITLE=x|"},
        {{"ENCODER=mixxx/libvorbis"}, {}}};
    QByteArray chain;
    int serial = 101;
    for (const auto& t : tracks) {
        const QByteArray track = encode(folder, t.first, serial++);
        if (track.isEmpty())
            return {};
        chain.append(track);
        if (!t.second.isEmpty())
            reports->append(t.second);
    }
    return chain;
}

} // namespace oggtest
