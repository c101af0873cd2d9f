#include "ogg_stream_reader.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace {

// Owners of the libogg/libvorbis states: each is initialised once and cleared
// exactly once, also when a stream ends before the session does.
class sync_owner
{
public:
    sync_owner() { ogg_sync_init(&s); }
    ~sync_owner() { ogg_sync_clear(&s); }
    sync_owner(const sync_owner&) = delete;
    sync_owner& operator=(const sync_owner&) = delete;
    ogg_sync_state s;
};

class stream_owner
{
public:
    stream_owner() { std::memset(&s, 0, sizeof s); }
    ~stream_owner() { reset(); }
    stream_owner(const stream_owner&) = delete;
    stream_owner& operator=(const stream_owner&) = delete;
    void init(int serial)
    {
        reset();
        if (ogg_stream_init(&s, serial) != 0)
            throw std::bad_alloc();
        live = true;
    }
    void reset()
    {
        if (live)
            ogg_stream_clear(&s);
        live = false;
    }
    ogg_stream_state s;
    bool live = false;
};

class vorbis_owner
{
public:
    vorbis_owner()
    {
        std::memset(&info, 0, sizeof info);
        std::memset(&comment, 0, sizeof comment);
    }
    ~vorbis_owner() { reset(); }
    vorbis_owner(const vorbis_owner&) = delete;
    vorbis_owner& operator=(const vorbis_owner&) = delete;
    void init()
    {
        reset();
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
        live = true;
    }
    void reset()
    {
        if (live) {
            vorbis_comment_clear(&comment);
            vorbis_info_clear(&info);
        }
        live = false;
    }
    vorbis_info info;
    vorbis_comment comment;
    bool live = false;
};

bool startsWith(const ogg_packet& packet, const char* magic, long size)
{
    return packet.bytes >= size && std::memcmp(packet.packet, magic, std::size_t(size)) == 0;
}

// A Vorbis comment list without the Vorbis framing, as Opus and FLAC carry it:
// the vendor text and the comments, each text preceded by its length (32 bits,
// little-endian). False when it is cut short.
bool commentList(const unsigned char* p, const unsigned char* const end,
                 std::vector<std::string>& texts)
{
    const auto length = [&p, end](std::uint32_t& value) {
        if (end - p < 4)
            return false;
        value = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                std::uint32_t(p[3]) << 24;
        p += 4;
        return value <= std::uint32_t(end - p);
    };
    std::uint32_t vendor = 0;
    std::uint32_t count = 0;
    if (!length(vendor))
        return false;
    p += vendor;
    // Every comment takes four bytes at least: a count past the packet's end is
    // refused before any text is kept.
    if (!length(count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t size = 0;
        if (!length(size))
            return false;
        texts.emplace_back(reinterpret_cast<const char*>(p), size);
        p += size;
    }
    return true;
}

} // namespace

struct ogg_stream_reader::state
{
    state(observer& e, std::size_t maxHeader) : events(e), maxHeaderBytes(maxHeader) {}

    observer& events;
    const std::size_t maxHeaderBytes;
    // Bytes of the current stream's pages given to the packet assembler.
    std::size_t headerBytes = 0;
    // Declared so that they are released stream first and sync last.
    sync_owner sync;
    vorbis_owner vorbis;
    stream_owner stream;
    bool newStreamExpected = true;
    bool commentsTaken = false;
    enum class codec { unknown, vorbis, opus, flac } kind = codec::unknown;
    // The identification header of the current stream was accepted: it is Vorbis or Opus.
    bool identified = false;
    // A page that is not a beginning-of-stream page has arrived since the stream
    // started: the group of BOS pages that opens a multiplexed stream is over.
    bool pastBosPages = false;

    void startStream(ogg_page& page)
    {
        stream.init(ogg_page_serialno(&page));
        vorbis.init();
        newStreamExpected = false;
        commentsTaken = false;
        kind = codec::unknown;
        identified = false;
        pastBosPages = false;
        headerBytes = 0;
        events.stream_started();
    }

    void endStream()
    {
        stream.reset();
        vorbis.reset();
        newStreamExpected = true;
        commentsTaken = false;
        identified = false;
        pastBosPages = false;
    }

    bool skipAudioPage();

    // Opus has its comments in the second packet ("OpusTags"); FLAC in one of
    // the metadata blocks that follow its first packet (type 4), the last one
    // flagged.
    void takeCommentPacket(const ogg_packet& packet)
    {
        const unsigned char* const data = packet.packet;
        const unsigned char* const end = data + packet.bytes;
        std::vector<std::string> texts;
        if (kind == codec::flac && packet.bytes >= 4 && (data[0] & 0x7f) != 4 &&
            (data[0] & 0x80) == 0)
            return; // another metadata block, more follow
        commentsTaken = true;
        const bool found =
            kind == codec::opus
                ? startsWith(packet, "OpusTags", 8) && commentList(data + 8, end, texts)
                : packet.bytes >= 4 && (data[0] & 0x7f) == 4 && commentList(data + 4, end, texts);
        if (found)
            events.comments(texts);
        else
            events.no_comment_header();
    }

    void takePacket(ogg_packet& packet)
    {
        if (commentsTaken)
            return; // audio: dropped without decoding
        if (kind == codec::unknown) {
            if (startsWith(packet, "\x01vorbis", 7)) {
                kind = codec::vorbis;
            } else if (startsWith(packet, "OpusHead", 8)) {
                kind = codec::opus;
                identified = true;
                return;
            } else if (startsWith(packet,
                                  "\x7f"
                                  "FLAC",
                                  5)) {
                kind = codec::flac;
                identified = true;
                return;
            } else {
                commentsTaken = true;
                events.no_comment_header();
                return;
            }
        }
        if (kind != codec::vorbis) {
            takeCommentPacket(packet);
            return;
        }
        if (vorbis_synthesis_headerin(&vorbis.info, &vorbis.comment, &packet) != 0)
            return; // not a header this stream expects
        if (vorbis.comment.vendor == nullptr) {
            identified = true;
            return;
        }
        commentsTaken = true;
        std::vector<std::string> texts;
        texts.reserve(static_cast<std::size_t>(vorbis.comment.comments));
        for (int i = 0; i < vorbis.comment.comments; ++i) {
            const char* text = vorbis.comment.user_comments[i];
            const int length = vorbis.comment.comment_lengths[i];
            texts.emplace_back(text, text + (length > 0 ? length : 0));
        }
        events.comments(texts);
    }

    void takeHeaderPage(ogg_page& page)
    {
        headerBytes += std::size_t(page.header_len) + std::size_t(page.body_len);
        if (headerBytes > maxHeaderBytes) {
            // Its buffered packet data goes now; the stream's end is still watched for.
            stream.reset();
            commentsTaken = true;
            events.headers_too_large();
            return;
        }
        ogg_stream_pagein(&stream.s, &page);
        ogg_packet packet;
        while (!commentsTaken) {
            const int result = ogg_stream_packetout(&stream.s, &packet);
            if (result == 0)
                break;
            if (result > 0)
                takePacket(packet);
        }
    }

    void takePage(ogg_page& page)
    {
        if (newStreamExpected) {
            // Any page starts a stream, so a broadcast joined mid-track is still
            // followed until that track ends and the next one begins.
            startStream(page);
        } else if (ogg_page_bos(&page) && (pastBosPages || !identified)) {
            // A new track that began without its predecessor's end-of-stream page.
            // Only BOS pages that directly follow a Vorbis stream's own BOS page belong
            // to streams multiplexed beside it; those are left alone.
            endStream();
            events.stream_ended();
            startStream(page);
        }
        if (!ogg_page_bos(&page))
            pastBosPages = true;
        // Once the comments are in, audio pages need no packet assembly at all.
        if (!commentsTaken)
            takeHeaderPage(page);
        // Only the followed stream's own end counts: a stream multiplexed beside
        // it may end first, and the track must still be read.
        if (ogg_page_eos(&page) && ogg_page_serialno(&page) == stream.s.serialno) {
            endStream();
            events.stream_ended();
        }
    }
};

ogg_stream_reader::ogg_stream_reader(observer& events, std::size_t maxHeaderBytes)
    : d(new state(events, maxHeaderBytes))
{}

ogg_stream_reader::~ogg_stream_reader() = default;

char* ogg_stream_reader::prepare(std::size_t size)
{
    char* buffer = ogg_sync_buffer(&d->sync.s, static_cast<long>(size));
    if (buffer == nullptr)
        throw std::bad_alloc();
    return buffer;
}

// Once a stream's comments are in, its audio pages matter only as page
// boundaries: a complete page that neither begins nor ends a stream is passed
// over without the page assembler's checksum, which costs more than all the
// rest. A page whose length is damaged leaves no page header where the next
// should begin, and the checked way takes over; every page that begins or ends
// a stream is checked.
bool ogg_stream_reader::state::skipAudioPage()
{
    ogg_sync_state& s = sync.s;
    if (!commentsTaken || newStreamExpected || s.unsynced != 0 || s.headerbytes != 0 ||
        s.bodybytes != 0)
        return false;
    const unsigned char* page = s.data + s.returned;
    const long available = long(s.fill) - long(s.returned);
    if (available < 27 || std::memcmp(page, "OggS", 4) != 0 || page[4] != 0 ||
        (page[5] & 0x06) != 0 || available < 27 + long(page[26]))
        return false;
    long size = 27 + long(page[26]);
    for (int i = 0; i < page[26]; ++i)
        size += page[27 + i];
    if (available < size)
        return false;
    s.returned += int(size);
    pastBosPages = true;
    return true;
}

void ogg_stream_reader::commit(std::size_t size)
{
    ogg_sync_wrote(&d->sync.s, static_cast<long>(size));
    ogg_page page;
    for (;;) {
        if (d->skipAudioPage())
            continue;
        const int result = ogg_sync_pageout(&d->sync.s, &page);
        if (result == 0)
            return;
        if (result < 0) {
            // After a gap nothing says the BOS pages that follow belong together.
            d->pastBosPages = true;
            d->events.corrupt_data();
        } else
            d->takePage(page);
    }
}

void ogg_stream_reader::feed(const char* data, std::size_t size)
{
    // Large inputs go in slices so libogg's buffer stays the size of one read.
    constexpr std::size_t slice = 65536;
    while (size > 0) {
        const std::size_t n = size < slice ? size : slice;
        std::memcpy(prepare(n), data, n);
        commit(n);
        data += n;
        size -= n;
    }
}
