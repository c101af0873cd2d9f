#include "ogg_session.h"

#include "accept_loop.h"
#include "eventlog.h"
#include "messanger.h"
#include "track_comments.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <new>
#include <ostream>

namespace {

const char okReply[] = "HTTP/1.0 200 OK\r\n\r\n";
constexpr std::size_t handshakeChunk = 4096;
constexpr std::size_t streamChunk = 65536;

// Why a request is refused, as the log says it.
const char* refusal(source_request_parser::status status)
{
    switch (status) {
    case source_request_parser::status::line_too_long:
        return "request line too long";
    case source_request_parser::status::header_too_large:
        return "request header too large";
    default:
        return "invalid request";
    }
}

// A request line as it may be logged: the source password travels in the
// Authorization header, and the log must not keep it.
std::string loggable_line(const std::string& line)
{
    static const std::string name = "authorization:";
    if (!boost::algorithm::istarts_with(line, name))
        return line;
    return line.substr(0, name.size()) + " (hidden)";
}

} // namespace

ogg_session::ogg_session(boost::asio::ip::tcp::socket socket, std::uint32_t number, Messanger* hub,
                         const ogg_server_options& options)
    : hub_(hub), socket_(std::move(socket)), deadline_(socket_.get_executor()), options_(options),
      log_("Session " + std::to_string(number) + ": "),
      handshakeEnd_(read_deadline::clock::now() + options.handshake_timeout),
      request_(options.max_line_length, options.max_header_bytes),
      stream_(*this, options.max_stream_header_bytes)
{}

ogg_session::~ogg_session() = default;

// Memory runs out for this session's buffers: only this session ends.
template <class Work> void ogg_session::guarded(Work work)
{
    try {
        work();
    } catch (const std::bad_alloc&) {
        drop("out of memory");
    }
}

void ogg_session::drop(const std::string& reason)
{
    log_.write(reason, event_log::error, 1);
    deadline_.disarm();
    boost::system::error_code ignored;
    socket_.close(ignored);
}

// Every read is guarded by the read time-out, and during the handshake also by
// the handshake's overall deadline, whichever comes first.
void ogg_session::arm_deadline()
{
    auto when = read_deadline::clock::now() + options_.read_timeout;
    if (handshaking_ && handshakeEnd_ < when)
        when = handshakeEnd_;
    deadline_.arm(when, [self = shared_from_this()] { self->handle_timeout(); });
}

void ogg_session::start()
{
    guarded([this] { take_lines(); });
}

// Takes the buffered lines one by one; reads only when no complete line is left.
// The deadline is armed once per line, as a line that trickles in must still
// arrive within the read time-out.
void ogg_session::take_lines()
{
    for (;;) {
        const source_request_parser::result r = request_.next(pending_.data(), pending_.size());
        switch (r.what) {
        case source_request_parser::status::need_more: {
            if (!waitingForLine_) {
                waitingForLine_ = true;
                arm_deadline();
            }
            const std::size_t used = pending_.size();
            pending_.resize(used + handshakeChunk);
            socket_.async_read_some(boost::asio::buffer(&pending_[used], handshakeChunk),
                                    [self = shared_from_this()](
                                        const boost::system::error_code& error, std::size_t bytes) {
                                        self->handle_read_request(error, bytes);
                                    });
            return;
        }
        case source_request_parser::status::invalid_request:
        case source_request_parser::status::line_too_long:
        case source_request_parser::status::header_too_large:
            deadline_.disarm();
            log_.write(refusal(r.what), event_log::error, 1);
            return;
        case source_request_parser::status::line:
        case source_request_parser::status::done:
            break;
        }
        waitingForLine_ = false;
        pending_.erase(0, r.consumed);
        log_.write("request line: " + printable(loggable_line(r.text)), event_log::info, 1);
        if (r.what == source_request_parser::status::done) {
            deadline_.disarm();
            handshaking_ = false;
            boost::asio::async_write(
                socket_, boost::asio::buffer(okReply, sizeof okReply - 1),
                [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                    self->handle_write(error);
                });
            return;
        }
    }
}

// True when the read ended the session; end of stream is normal and not logged.
bool ogg_session::read_failed(const boost::system::error_code& error)
{
    if (!error)
        return false;
    deadline_.disarm();
    if (error != boost::asio::error::eof && error != boost::asio::error::operation_aborted)
        log_.write("read error (" + error_text(error) + ")", event_log::error, 1);
    return true;
}

void ogg_session::handle_read_request(const boost::system::error_code& error, std::size_t bytes)
{
    pending_.resize(pending_.size() - handshakeChunk + bytes);
    if (!read_failed(error))
        start();
}

void ogg_session::handle_write(const boost::system::error_code& error)
{
    if (error) {
        if (error != boost::asio::error::eof && error != boost::asio::error::operation_aborted)
            log_.write("socket write error (" + error_text(error) + ")", event_log::error, 1);
        return;
    }
    guarded([this] {
        // Clients that do not wait for the reply send stream bytes right behind the
        // request; they are the stream's first bytes. The swap also frees the buffer.
        std::string early;
        early.swap(pending_);
        stream_.feed(early.data(), early.size());
        read_data();
    });
}

void ogg_session::read_data()
{
    arm_deadline();
    // libogg's own buffer receives the bytes, so nothing is copied on the way.
    char* target = stream_.prepare(streamChunk);
    socket_.async_read_some(
        boost::asio::buffer(target, streamChunk),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
            self->handle_read(error, bytes);
        });
}

void ogg_session::handle_read(const boost::system::error_code& error, std::size_t bytes)
{
    if (read_failed(error))
        return;
    guarded([this, bytes] {
        stream_.commit(bytes);
        read_data();
    });
}

void ogg_session::handle_timeout()
{
    log_.write(handshaking_ && read_deadline::clock::now() >= handshakeEnd_ ? "handshake timeout"
                                                                            : "read timeout",
               event_log::info, 2);
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    if (ignored) {
        // The peer is gone already; closing cancels the outstanding read instead.
        socket_.close(ignored);
    }
}

void ogg_session::corrupt_data()
{
    log_.write("Corrupt or missing data in bitstream; continuing...", event_log::warning, 1);
}

void ogg_session::stream_started()
{
    log_.write("new stream started", event_log::info, 1);
}

void ogg_session::headers_too_large()
{
    log_.write("stream headers too large, its comments are skipped", event_log::warning, 1);
}

void ogg_session::comments(const std::vector<std::string>& texts)
{
    QStringList list;
    list.reserve(static_cast<int>(texts.size()));
    for (const std::string& text : texts) {
        log_.write(printable(text), event_log::info, 1);
        // A failed echo (no reader on the pipe any more) leaves the stream bad and
        // does nothing else.
        if (options_.comment_echo != nullptr)
            *options_.comment_echo << text << '\n';
        list.append(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
    }
    if (options_.comment_echo != nullptr)
        *options_.comment_echo << std::endl;
    report_track(list);
}

void ogg_session::stream_ended()
{
    log_.write("stream ended", event_log::info, 1);
}

void ogg_session::report_track(const QStringList& comments)
{
    const track_comments track = track_comments::from(comments);
    if (track.reportable() && hub_ != nullptr)
        hub_->sendMsg(track.artist, track.title, QString());
}
