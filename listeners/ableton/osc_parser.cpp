#include "osc_parser.h"

#include "eventlog.h"
#include "messanger.h"

#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr std::string_view tempoAddress = "/pelmora/ableton/tempo";
constexpr std::string_view clipAddress = "/pelmora/ableton/clip";
constexpr std::string_view bundleHeader{"#bundle\0", 8};
constexpr std::size_t bundlePrefix = 16; // "#bundle\0" and the time tag
constexpr int maxBundleDepth = 8;
// SLIP's special bytes (RFC 1055).
constexpr unsigned char slipEnd = 0xc0;
constexpr unsigned char slipEsc = 0xdb;
constexpr unsigned char slipEscEnd = 0xdc;
constexpr unsigned char slipEscEsc = 0xdd;

std::size_t padded(std::size_t n)
{
    return (n + 3) & ~std::size_t(3);
}

std::uint32_t word(const char* data)
{
    return qFromBigEndian<std::uint32_t>(data);
}

bool startsMessage(char c)
{
    return c == '/' || c == '#';
}

// Exponent 255 (infinity and NaN) is reported as infinity with its sign.
QString floatText(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isnan(value))
        value = std::copysign(std::numeric_limits<float>::infinity(), value);
    return QString::number(double(value), 'f', 6);
}

QString doubleText(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isnan(value))
        value = std::copysign(std::numeric_limits<double>::infinity(), value);
    return QString::number(value, 'f', 6);
}

bool isInteger(char tag)
{
    return tag == 'i' || tag == 'h';
}

bool isText(char tag)
{
    return tag == 's' || tag == 'S';
}

// Negative integers are reported as 0.
QString integerText(std::uint32_t value)
{
    return QString::number(value > 2147483647u ? 0u : value);
}

QString stringText(const char* data)
{
    return QString::fromUtf8(data, int(std::strlen(data)));
}

// Reads the parts of one message in order. Running out of bytes is "incomplete"
// unless the message's size is known (bounded), where it is malformed.
struct cursor
{
    const char* data;
    std::size_t size;
    std::size_t pos = 0;
    bool incomplete = false;

    bool take(std::size_t n)
    {
        if (size - pos < n) {
            incomplete = true;
            return false;
        }
        pos += n;
        return true;
    }

    bool string(std::string_view& out)
    {
        const void* nul = std::memchr(data + pos, 0, size - pos);
        if (nul == nullptr) {
            incomplete = true;
            return false;
        }
        const std::size_t length = std::size_t(static_cast<const char*>(nul) - (data + pos));
        out = std::string_view(data + pos, length);
        return take(padded(length + 1));
    }

    bool argument(char tag)
    {
        switch (tag) {
        case 'i':
        case 'f':
        case 'c':
        case 'r':
        case 'm':
            return take(4);
        case 'h':
        case 't':
        case 'd':
            return take(8);
        case 's':
        case 'S': {
            std::string_view ignored;
            return string(ignored);
        }
        case 'b': {
            if (!take(4))
                return false;
            const std::uint32_t length = word(data + pos - 4);
            return length <= osc_parser::maxMessage && take(padded(length));
        }
        case 'T':
        case 'F':
        case 'N':
        case 'I':
        case '[':
        case ']':
            return true;
        default:
            return false;
        }
    }
};

} // namespace

osc_parser::osc_parser(Messanger* hub, std::string logPrefix, value_log* values)
    : hub(hub), log(std::move(logPrefix)), values(values)
{}

std::size_t osc_parser::feed(const char* data, std::size_t size)
{
    messages = 0;
    if (framing_ == framing::unknown && size > 0)
        framing_ = static_cast<unsigned char>(data[0]) == slipEnd ? framing::slip : framing::plain;
    if (framing_ == framing::slip) {
        slip(data, size);
        return messages;
    }
    const std::size_t skipped = std::min(skipping, size);
    skipping -= skipped;
    data += skipped;
    size -= skipped;
    if (carried.empty()) {
        // The usual case, whole messages in one read: nothing is copied.
        const std::size_t used = decode(data, size);
        carried.assign(data + used, size - used);
    } else {
        carried.append(data, size);
        carried.erase(0, decode(carried.data(), carried.size()));
        if (carried.empty())
            carried.shrink_to_fit();
    }
    return messages;
}

std::size_t osc_parser::datagram(const char* data, std::size_t size)
{
    messages = 0;
    if (size > 0)
        wholePacket(data, size);
    return messages;
}

void osc_parser::wholePacket(const char* data, std::size_t size)
{
    if (!packet(data, size, 0))
        log.write("undecodable packet skipped", event_log::warning, 1);
}

// Undoes the escapes, frame by frame; runs without END or ESC are copied whole.
void osc_parser::slip(const char* data, std::size_t size)
{
    for (std::size_t pos = 0; pos < size;) {
        auto byte = static_cast<unsigned char>(data[pos]);
        if (escaped) {
            escaped = false;
            ++pos;
            if (byte == slipEscEnd || byte == slipEscEsc) {
                if (frame.size() == maxMessage)
                    oversized = true;
                else
                    frame += char(byte == slipEscEnd ? slipEnd : slipEsc);
                continue;
            }
            badEscape = true;
            if (byte != slipEnd)
                continue;
        } else {
            std::size_t run = pos;
            while (run < size && static_cast<unsigned char>(data[run]) != slipEnd &&
                   static_cast<unsigned char>(data[run]) != slipEsc)
                ++run;
            if (frame.size() + (run - pos) > maxMessage)
                oversized = true;
            else
                frame.append(data + pos, run - pos);
            if (run == size)
                break;
            byte = static_cast<unsigned char>(data[run]);
            pos = run + 1;
        }
        if (byte == slipEsc)
            escaped = true;
        else
            endFrame();
    }
}

void osc_parser::endFrame()
{
    if (badEscape)
        log.write("SLIP frame with a bad escape dropped", event_log::warning, 1);
    else if (oversized)
        log.write("packet over 65536 bytes dropped", event_log::warning, 1);
    else if (!frame.empty())
        wholePacket(frame.data(), frame.size());
    frame.clear();
    badEscape = oversized = false;
}

// Decodes what it can and returns how many bytes it used; the rest is an
// incomplete packet.
std::size_t osc_parser::decode(const char* data, std::size_t size)
{
    std::size_t pos = 0;
    if (resyncing) {
        while (pos < size && !startsMessage(data[pos]))
            ++pos;
        resyncing = pos == size;
    }
    while (pos < size) {
        const char* at = data + pos;
        const std::size_t left = size - pos;
        if (*at == '/') {
            std::size_t length = 0;
            const status s = message(at, left, false, length);
            if (s == status::whole) {
                pos += length;
            } else if (s == status::malformed) {
                pos = skipUndecodable(data, size, pos + length);
            } else if (left < maxMessage) {
                break; // the rest has not arrived yet
            } else {
                // What follows is this message's rest, up to the next one.
                log.write("message over 65536 bytes dropped", event_log::warning, 1);
                pos = size;
            }
        } else if (*at == '#') {
            // A bundle written without a length: its elements follow with theirs.
            const std::size_t n = std::min(left, bundlePrefix);
            if (std::memcmp(at, bundleHeader.data(), std::min(n, bundleHeader.size())) != 0)
                pos = skipUndecodable(data, size, pos + 1);
            else if (n < bundlePrefix)
                break;
            else
                pos += bundlePrefix;
        } else if (left >= 4 && word(at) == 0) {
            pos += 4; // an empty packet
        } else if (left < 5) {
            break;
        } else {
            // A length, if the packet it announces begins as a packet does.
            const std::uint32_t length = word(at);
            if (length % 4 != 0 || !startsMessage(at[4])) {
                pos = skipUndecodable(data, size, pos + 1);
            } else if (length > maxMessage) {
                log.write("packet over 65536 bytes dropped", event_log::warning, 1);
                const std::size_t whole = 4 + std::size_t(length);
                skipping = whole - std::min(whole, left);
                pos += std::min(whole, left);
            } else if (left - 4 < length) {
                break;
            } else {
                wholePacket(at + 4, length);
                pos += 4 + std::size_t(length);
            }
        }
    }
    return pos;
}

// Drops bytes up to the next one, from `from` on, that may begin a message.
std::size_t osc_parser::skipUndecodable(const char* data, std::size_t size, std::size_t from)
{
    log.write("undecodable bytes skipped", event_log::warning, 1);
    std::size_t pos = from;
    while (pos < size && !startsMessage(data[pos]))
        ++pos;
    resyncing = pos == size;
    return pos;
}

// One packet of a known size: a message or a bundle of packets.
bool osc_parser::packet(const char* data, std::size_t size, int depth)
{
    if (size > 0 && data[0] == '/') {
        std::size_t length = 0;
        return message(data, size, true, length) == status::whole && length == size;
    }
    if (depth >= maxBundleDepth || size < bundlePrefix ||
        std::memcmp(data, bundleHeader.data(), bundleHeader.size()) != 0)
        return false;
    for (std::size_t pos = bundlePrefix; pos < size;) {
        if (size - pos < 4)
            return false;
        const std::uint32_t length = word(data + pos);
        if (length > size - pos - 4 || !packet(data + pos + 4, length, depth + 1))
            return false;
        pos += 4 + length;
    }
    return true;
}

// Decodes (and reports) one message at data; length is its size when whole,
// or the size of its address when malformed (at least 1). A bounded message is
// exactly size bytes long, so running out of bytes makes it malformed.
osc_parser::status osc_parser::message(const char* data, std::size_t size, bool bounded,
                                       std::size_t& length)
{
    cursor c{data, size};
    std::string_view address;
    std::string_view tags;
    bool ok = c.string(address);
    // Past a malformed message's address the next one may begin already.
    length = std::max<std::size_t>(c.pos, 1);
    ok = ok && c.string(tags) && !tags.empty() && tags[0] == ',';
    const std::size_t arguments = c.pos;
    for (std::size_t k = 1; ok && k < tags.size(); ++k)
        ok = c.argument(tags[k]);
    if (!ok)
        return c.incomplete && !bounded ? status::incomplete : status::malformed;
    length = c.pos;
    ++messages;
    report(address, tags, data + arguments);
    return status::whole;
}

void osc_parser::report(std::string_view address, std::string_view tags, const char* arguments)
{
    const char type = tags.size() > 1 ? tags[1] : '\0';
    if (address == tempoAddress) {
        QString tempo;
        if (type == 'f')
            tempo = floatText(word(arguments));
        else if (type == 'd')
            tempo = doubleText(qFromBigEndian<quint64>(arguments));
        else if (type == 'i')
            tempo = QString::number(double(std::int32_t(word(arguments))), 'f', 6);
        else
            return unusable("tempo", tempoUnusableLogged, tags);
        if (values != nullptr)
            values->write(value_log::tempo, tempo);
        hub->sendMsg(tempo);
    } else if (address == clipAddress) {
        if (tags.size() < 5 || !isInteger(tags[1]) || !isText(tags[2]) || !isInteger(tags[3]) ||
            !isText(tags[4]))
            return unusable("clip", clipUnusableLogged, tags);
        QStringList clip;
        const char* at = arguments;
        for (std::size_t k = 1; k < 5; ++k) {
            if (isText(tags[k])) {
                clip << stringText(at);
                at += padded(std::strlen(at) + 1);
            } else if (tags[k] == 'h') {
                const auto value = std::int64_t(qFromBigEndian<quint64>(at));
                clip << QString::number(std::max<std::int64_t>(value, 0));
                at += 8;
            } else {
                clip << integerText(word(at));
                at += 4;
            }
        }
        if (values != nullptr)
            values->write(value_log::clip, clip.join(QStringLiteral(", ")));
        hub->sendMsg(clip);
    }
}

// Reasons are peer-supplied: shortened and made printable.
void osc_parser::unusable(const char* what, bool& logged, std::string_view tags)
{
    if (logged)
        return;
    logged = true;
    log.write(std::string(what) + " message with type tags \"" + loggable(std::string(tags), 24) +
                  "\" ignored",
              event_log::warning, 1);
}
