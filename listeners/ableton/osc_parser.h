#pragma once

#include "session_log.h"

#include <QByteArray>

#include <cstddef>
#include <string>

class Messanger;

// Decodes the OSC 1.0 messages of one TCP connection by their grammar (address,
// type tags, then the arguments by their tags, every part padded to 4 bytes) and
// reports the tempo and clip messages through the hub. Senders frame messages in
// one of two ways, and both are read: a 4-byte big-endian length before each
// packet (liblo's TCP transport), or messages back to back, each beginning with
// "/" or "#". Bundles are unpacked. Bytes of a message that has not fully
// arrived are kept for the next read, up to maxMessage bytes.
class osc_parser
{
public:
    static constexpr std::size_t maxMessage = 65536;

    // Every log line of this connection begins with logPrefix.
    osc_parser(Messanger* hub, std::string logPrefix);

    void feed(const char* data, std::size_t size);
    void feed(const QByteArray& bytes) { feed(bytes.constData(), std::size_t(bytes.size())); }

private:
    enum class status { whole, incomplete, malformed };

    std::size_t decode(const char* data, std::size_t size);
    std::size_t skipUndecodable(const char* data, std::size_t size, std::size_t from);
    bool packet(const char* data, std::size_t size, int depth);
    status message(const char* data, std::size_t size, bool bounded, std::size_t& length);
    void report(const std::string& address, const std::string& tags, const char* arguments);

    Messanger* hub;
    session_log log;
    // The undecoded rest of earlier reads.
    std::string carried;
    // Bytes of an oversized framed packet still to be dropped as they arrive.
    std::size_t skipping = 0;
    // Undecodable bytes ran to the end of a read: the next read goes on
    // dropping up to a byte that may begin a message, as one whole read would.
    bool resyncing = false;
};
