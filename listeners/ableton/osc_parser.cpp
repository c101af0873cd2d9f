#include "osc_parser.h"

#include "messanger.h"

#include <QDebug>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

// A read of 64 KiB can hold up to 32 Ki tokens; a connection that once received
// such a read should not keep that much bookkeeping for the rest of its life.
constexpr std::size_t retainedTokenCapacity = 4096;

constexpr std::string_view tempoAddress = "/pelmora/ableton/tempo";
constexpr std::string_view clipAddress = "/pelmora/ableton/clip";

bool contains(const char* data, std::size_t size, std::string_view needle)
{
    return std::string_view(data, size).find(needle) != std::string_view::npos;
}

std::uint32_t bigEndian32(const unsigned char* b)
{
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) |
           std::uint32_t(b[3]);
}

const unsigned char* bytesAt(const char* data, std::size_t offset)
{
    return reinterpret_cast<const unsigned char*>(data + offset);
}

double floatValue(const unsigned char* bytes)
{
    const std::uint32_t bits = bigEndian32(bytes);
    const bool negative = (bits >> 31) != 0;
    const int exponent = int((bits >> 23) & 0xffu);
    const std::uint32_t fraction = bits & 0x7fffffu;
    float value;
    if (exponent == 255) {
        value = std::numeric_limits<float>::infinity();
    } else {
        // For exponent 0 this gives a tiny number rather than the subnormal the
        // bits stand for; both print as zero.
        const double magnitude = std::ldexp(1.0 + double(fraction) / 8388608.0, exponent - 127);
        value = float(magnitude);
    }
    return negative ? -double(value) : double(value);
}

QString integerText(const unsigned char* bytes)
{
    const std::uint32_t value = bigEndian32(bytes);
    return QString::number(value > 2147483647u ? 0u : value);
}

QString stringText(const char* data, std::size_t size)
{
    const void* nul = std::memchr(data, 0, size);
    const std::size_t length = nul ? std::size_t(static_cast<const char*>(nul) - data) : size;
    return QString::fromUtf8(data, int(length));
}

} // namespace

osc_parser::osc_parser(Messanger* hub) : hub(hub)
{}

void osc_parser::feed(const char* data, std::size_t size)
{
    tokenise(data, size);
    recognise(data);
    tokens.clear();
    if (tokens.capacity() > retainedTokenCapacity)
        tokens.shrink_to_fit();
}

void osc_parser::tokenise(const char* data, std::size_t size)
{
    std::size_t pos = 0;
    while (pos < size) {
        if (data[pos] == 0) {
            // 0 bytes belong to the token before them; before the first token
            // of the read they are dropped.
            const std::size_t zerosBegin = pos;
            while (pos < size && data[pos] == 0)
                ++pos;
            if (!tokens.empty())
                tokens.back().size += pos - zerosBegin;
            continue;
        }
        const void* nextZero = std::memchr(data + pos, 0, size - pos);
        const std::size_t end =
            nextZero ? std::size_t(static_cast<const char*>(nextZero) - data) : size;
        tokens.push_back(span{pos, end - pos});
        pos = end;
    }
}

void osc_parser::recognise(const char* data)
{
    const std::size_t n = tokens.size();
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const span a = tokens[i - 1];
        const span t = tokens[i];
        if (contains(data + a.begin, a.size, tempoAddress)) {
            if (!contains(data + t.begin, t.size, ",f"))
                continue;
            std::size_t valueBegin;
            if (t.size < 8) {
                const span v = tokens[i + 1];
                if (v.size != 4)
                    continue;
                valueBegin = v.begin;
            } else {
                valueBegin = t.begin + t.size - 4;
            }
            hub->sendMsg(QString::number(floatValue(bytesAt(data, valueBegin)), 'f', 6));
        } else if (contains(data + a.begin, a.size, clipAddress)) {
            clipFields.clear();
            if (contains(data + t.begin, t.size, ",isis"))
                readClipFields(data, i);
            if (clipFields.size() == 4)
                hub->sendMsg(QStringList(clipFields));
        }
    }
}

// Takes the integer at the front of value. A value of exactly 4 bytes is the
// whole token j, and the field after it is the next token; a longer one carries
// the following field in its tail. Returns false where the reading must stop.
bool osc_parser::readInteger(const char* data, span& value, std::size_t& j)
{
    if (value.size < 4)
        return false;
    clipFields.append(integerText(bytesAt(data, value.begin)));
    if (value.size == 4) {
        ++j;
        if (j >= tokens.size())
            return false;
        value = tokens[j];
    } else {
        value.begin += 4;
        value.size -= 4;
    }
    return true;
}

void osc_parser::readClipFields(const char* data, std::size_t i)
{
    const span t = tokens[i];
    if (t.size < 8) {
        qDebug("Error");
        return;
    }
    std::size_t j = i + 1;
    // The tail of the type tag token and token j lie next to each other.
    span value{t.begin + 8, t.size - 8 + tokens[j].size};

    if (!readInteger(data, value, j))
        return;
    clipFields.append(stringText(data + value.begin, value.size));

    if (j + 1 >= tokens.size())
        return;
    const std::size_t tail = value.size % 4;
    value = span{value.begin + value.size - tail, tail + tokens[j + 1].size};
    ++j;

    if (!readInteger(data, value, j))
        return;
    clipFields.append(stringText(data + value.begin, value.size));
}
