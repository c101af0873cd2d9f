#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Reads a live Ogg broadcast without decoding audio: it assembles pages and
// packets, reads the header packets of every logical stream (Vorbis through the
// Vorbis header reader, Opus and FLAC by their own layout) and announces the
// comment texts once per stream. It knows nothing of sockets; the session hands it
// whatever bytes arrived.
class ogg_stream_reader
{
public:
    // What the reader observed, in the order it happened.
    class observer
    {
    public:
        virtual ~observer() = default;
        // Bytes were skipped to find the next page boundary.
        virtual void corrupt_data() = 0;
        virtual void stream_started() = 0;
        // The comment header of the current stream: its texts in order (UTF-8 as sent).
        virtual void comments(const std::vector<std::string>& texts) = 0;
        virtual void stream_ended() = 0;
        // The current stream's header pages passed maxHeaderBytes: its comments
        // are given up.
        virtual void headers_too_large() = 0;
        // The current stream began with no Vorbis, Opus or FLAC header (another
        // codec, or a stream joined in its middle), or its comment header is
        // damaged: it has no comments to read.
        virtual void no_comment_header() = 0;
    };

    // Keeps at most maxHeaderBytes of one stream's pages while its headers are read,
    // so that a packet that never ends cannot take all memory.
    explicit ogg_stream_reader(observer& events, std::size_t maxHeaderBytes = 1 << 20);
    ~ogg_stream_reader();
    ogg_stream_reader(const ogg_stream_reader&) = delete;
    ogg_stream_reader& operator=(const ogg_stream_reader&) = delete;

    // A buffer inside the page assembler for up to `size` bytes; the caller
    // fills part of it and calls commit() with the count before anything else.
    char* prepare(std::size_t size);
    // Processes `size` bytes written into the prepared buffer.
    void commit(std::size_t size);
    // prepare + copy + commit.
    void feed(const char* data, std::size_t size);

private:
    struct state;
    std::unique_ptr<state> d;
};
