// Arbitrary request heads (with the metadata request's query) and arbitrary
// stream bytes after the handshake, fed the way a session feeds them. The first
// byte picks the size of the reads.
#include "metadata_request.h"
#include "ogg_stream_reader.h"
#include "request_parser.h"
#include "track_comments.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Observer : public ogg_stream_reader::observer
{
public:
    int open = 0;
    void corrupt_data() override {}
    void stream_started() override { ++open; }
    void stream_ended() override { --open; }
    void headers_too_large() override {}
    void no_comment_header() override {}
    void comments(const std::vector<std::string>& texts) override
    {
        QStringList list;
        for (const std::string& t : texts)
            list << QString::fromUtf8(t.data(), int(t.size()));
        const track_comments track = track_comments::from(list);
        (void)track.reportable();
    }
};

void feedStream(const std::uint8_t* data, std::size_t size, std::size_t chunk)
{
    Observer o;
    // A small header cap, so that the fuzzer reaches it.
    ogg_stream_reader reader(o, 4096);
    while (size > 0) {
        const std::size_t n = size < chunk ? size : chunk;
        std::memcpy(reader.prepare(n), data, n);
        reader.commit(n);
        data += n;
        size -= n;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const std::size_t chunks[] = {1, 7, 137, 1400, 4096, 65536};
    const std::size_t chunk = chunks[data[0] % 6];
    ++data;
    --size;

    // Small limits, so that the fuzzer reaches them.
    request_parser parser(64, 512);
    std::string buffered;
    std::size_t offset = 0;
    bool done = false;
    for (;;) {
        const auto r = parser.next(buffered.data(), buffered.size());
        if (r.what == request_parser::status::need_more) {
            if (offset >= size)
                break;
            const std::size_t n = size - offset < chunk ? size - offset : chunk;
            buffered.append(reinterpret_cast<const char*>(data) + offset, n);
            offset += n;
            continue;
        }
        if (r.what != request_parser::status::line && r.what != request_parser::status::done)
            break;
        if (r.consumed == 0 || r.consumed > buffered.size())
            __builtin_trap();
        buffered.erase(0, r.consumed);
        if (r.what == request_parser::status::done) {
            done = true;
            const metadata_request m = metadata_request::parse(parser.head().target);
            (void)parser.head().field("Content-Type");
            if (m.what == metadata_request::verdict::ok && m.mount.empty())
                __builtin_trap();
            break;
        }
    }
    if (done) {
        // What followed the empty line is the stream.
        std::string stream = buffered;
        stream.append(reinterpret_cast<const char*>(data) + offset, size - offset);
        feedStream(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), chunk);
    } else {
        feedStream(data, size, chunk);
    }
    return 0;
}
