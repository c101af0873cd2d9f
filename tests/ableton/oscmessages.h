#pragma once

#include "messanger.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QtEndian>

#include <cstdint>
#include <cstring>

// OSC 1.0 messages as a sender writes them, for feeding the receiver, and a
// record of what it reports.
namespace oscmsg {

// An OSC string: the text, at least one NUL, padded to a multiple of 4 bytes.
inline QByteArray str(const QByteArray& text)
{
    QByteArray out = text;
    out.append('\0');
    while (out.size() % 4 != 0)
        out.append('\0');
    return out;
}

// A 32-bit argument, big-endian: an integer, or the bits of a float.
inline QByteArray int32(std::uint32_t bits)
{
    QByteArray out(4, '\0');
    qToBigEndian<std::uint32_t>(bits, out.data());
    return out;
}

inline QByteArray tempoWithBits(std::uint32_t bits)
{
    return str("/pelmora/ableton/tempo") + str(",f") + int32(bits);
}

inline QByteArray tempo(float bpm)
{
    std::uint32_t bits;
    std::memcpy(&bits, &bpm, sizeof bits);
    return tempoWithBits(bits);
}

inline QByteArray clip(std::int32_t first, const QByteArray& firstText, std::int32_t second,
                       const QByteArray& secondText)
{
    return str("/pelmora/ableton/clip") + str(",isis") + int32(std::uint32_t(first)) +
           str(firstText) + int32(std::uint32_t(second)) + str(secondText);
}

// The 4-byte big-endian length that OSC-over-TCP senders such as liblo's put
// before every message.
inline QByteArray framed(const QByteArray& message)
{
    return int32(std::uint32_t(message.size())) + message;
}

// The hub's reports in order, as "tempo:<text>" and "clip:<a>|<b>|<c>|<d>".
// Across threads they arrive queued, as they would in the main window.
class Recorder : public QObject
{
public:
    explicit Recorder(Messanger* hub)
    {
        connect(hub, qOverload<QString>(&Messanger::sendStat), this,
                [this](const QString& tempo) { events << QStringLiteral("tempo:") + tempo; });
        connect(hub, qOverload<QStringList>(&Messanger::sendStat), this,
                [this](const QStringList& clip) {
                    events << QStringLiteral("clip:") + clip.join(QLatin1Char('|'));
                });
    }
    QStringList events;
};

} // namespace oscmsg
