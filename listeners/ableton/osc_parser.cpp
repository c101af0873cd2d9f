#include "osc_parser.h"

#include "eventlog.h"
#include "messanger.h"

#include <QStringList>
#include <QtEndian>

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

    bool string(std::string& out)
    {
        const void* nul = std::memchr(data + pos, 0, size - pos);
        if (nul == nullptr) {
            incomplete = true;
            return false;
        }
        const std::size_t length = std::size_t(static_cast<const char*>(nul) - (data + pos));
        out.assign(data + pos, length);
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
            std::string ignored;
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

osc_parser::osc_parser(Messanger* hub, std::string logPrefix) : hub(hub), log(std::move(logPrefix))
{}

void osc_parser::feed(const char* data, std::size_t size)
{
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
                if (!packet(at + 4, length, 0))
                    log.write("undecodable packet skipped", event_log::warning, 1);
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
    std::string address;
    std::string tags;
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
    report(address, tags, data + arguments);
    return status::whole;
}

void osc_parser::report(const std::string& address, const std::string& tags, const char* arguments)
{
    if (address == tempoAddress && tags.compare(0, 2, ",f") == 0) {
        const QString tempo = floatText(word(arguments));
        log.write("tempo " + tempo.toStdString(), event_log::info, 1);
        hub->sendMsg(tempo);
    } else if (address == clipAddress && tags.compare(0, 5, ",isis") == 0) {
        QStringList clip;
        clip << integerText(word(arguments));
        const char* first = arguments + 4;
        clip << stringText(first);
        const char* second = first + padded(std::strlen(first) + 1);
        clip << integerText(word(second)) << stringText(second + 4);
        log.write("clip " + printable(clip.join(QStringLiteral(", ")).toStdString()),
                  event_log::info, 1);
        hub->sendMsg(clip);
    }
}
