#pragma once

#include "session_log.h"
#include "value_log.h"

#include <QByteArray>

#include <cstddef>
#include <string>
#include <string_view>

class Messanger;

// Decodes the OSC 1.0 messages of one TCP connection, or of UDP datagrams, by
// their grammar (address, type tags, then the arguments by their tags, every
// part padded to 4 bytes) and reports the tempo and clip messages through the
// hub. A stream is framed in one of three ways, told apart by its first byte:
// SLIP (RFC 1055, first byte END, as OSC 1.1 streams are), or else either a
// 4-byte big-endian length before each packet (liblo's TCP transport) or
// messages back to back, each beginning with "/" or "#"; the last two may mix.
// Bundles are unpacked. Bytes of a packet that has not fully arrived are kept
// for the next read, up to maxMessage bytes.
class osc_parser
{
public:
    static constexpr std::size_t maxMessage = 65536;

    // Every log line of this connection begins with logPrefix. The reported
    // values go to values too, when given.
    osc_parser(Messanger* hub, std::string logPrefix, value_log* values = nullptr);

    // One read of a stream; returns the number of whole messages it completed.
    std::size_t feed(const char* data, std::size_t size);
    std::size_t feed(const QByteArray& bytes)
    {
        return feed(bytes.constData(), std::size_t(bytes.size()));
    }
    // One datagram, a whole packet.
    std::size_t datagram(const char* data, std::size_t size);

private:
    enum class status { whole, incomplete, malformed };
    enum class framing { unknown, plain, slip };

    std::size_t decode(const char* data, std::size_t size);
    void slip(const char* data, std::size_t size);
    void endFrame();
    void wholePacket(const char* data, std::size_t size);
    std::size_t skipUndecodable(const char* data, std::size_t size, std::size_t from);
    bool packet(const char* data, std::size_t size, int depth);
    status message(const char* data, std::size_t size, bool bounded, std::size_t& length);
    void report(std::string_view address, std::string_view tags, const char* arguments);
    void unusable(const char* what, bool& logged, std::string_view tags);

    Messanger* hub;
    session_log log;
    value_log* values;
    framing framing_ = framing::unknown;
    // Whole messages of the current feed.
    std::size_t messages = 0;
    // A message on a known address that could not be used is logged once.
    bool tempoUnusableLogged = false;
    bool clipUnusableLogged = false;
    // The SLIP frame being received, without its escapes.
    std::string frame;
    bool escaped = false;
    bool badEscape = false;
    bool oversized = false;
    // The undecoded rest of earlier reads.
    std::string carried;
    // Bytes of an oversized framed packet still to be dropped as they arrive.
    std::size_t skipping = 0;
    // Undecodable bytes ran to the end of a read: the next read goes on
    // dropping up to a byte that may begin a message, as one whole read would.
    bool resyncing = false;
};
