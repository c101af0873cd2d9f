#include "ogg_session.h"

#include "eventlog.h"
#include "messanger.h"
#include "track_comments.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/format.hpp>

#include <cctype>
#include <cstdio>
#include <ostream>

namespace {

const char okReply[] = "HTTP/1.0 200 OK\r\n\r\n";
constexpr std::size_t handshakeChunk = 4096;
constexpr std::size_t streamChunk = 65536;

bool endOfStream(const boost::system::error_code& error)
{
    return error == boost::asio::error::eof;
}

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

// A request line as it may be logged: an Authorization header loses its value.
std::string loggable_line(const std::string& line)
{
    // The source password travels in this header; the log must not keep it.
    static const char name[] = "authorization:";
    const std::size_t length = sizeof name - 1;
    if (line.size() < length)
        return line;
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i])
            return line;
    }
    return line.substr(0, length) + " (hidden)";
}

// Control characters of peer-supplied text as \xNN, so a text can never forge or
// split a line of the event log.
std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

ogg_session::ogg_session(boost::asio::io_context& service, std::uint32_t number, Messanger* hub,
                         const ogg_server_options& options)
    : hub_(hub), socket_(service), deadline_(service), options_(options), number_(number),
      request_(options.max_line_length, options.max_header_bytes), stream_(*this)
{}

ogg_session::~ogg_session() = default;

std::string ogg_session::error_text(const boost::system::error_code& error)
{
    return std::string(error.category().name()) + ':' + std::to_string(error.value());
}

void ogg_session::arm_deadline()
{
    deadline_.expires_after(options_.read_timeout);
    deadline_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        self->handle_timeout(error);
    });
}

// Unlike cancel(), this also defeats a time-out that has fired but whose handler
// is still queued behind the read that just completed.
void ogg_session::disarm_deadline()
{
    deadline_.expires_at(boost::asio::steady_timer::time_point::max());
}

// Takes the buffered lines one by one; reads only when no complete line is left.
// The deadline is armed once per line, as a line that trickles in must still
// arrive within the read time-out.
void ogg_session::start()
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
            disarm_deadline();
            event_log::write(boost::format("Session %1%: %2%") % number_ % refusal(r.what),
                             event_log::error, 1);
            return;
        case source_request_parser::status::line:
        case source_request_parser::status::done:
            break;
        }
        waitingForLine_ = false;
        pending_.erase(0, r.consumed);
        event_log::write(boost::format("Session %1%: request line: %2%") % number_ %
                             printable(loggable_line(r.text)),
                         event_log::info, 1);
        if (r.what == source_request_parser::status::done) {
            disarm_deadline();
            boost::asio::async_write(
                socket_, boost::asio::buffer(okReply, sizeof okReply - 1),
                [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                    self->handle_write(error);
                });
            return;
        }
    }
}

void ogg_session::handle_read_request(const boost::system::error_code& error, std::size_t bytes)
{
    pending_.resize(pending_.size() - handshakeChunk + bytes);
    if (error) {
        disarm_deadline();
        if (!endOfStream(error))
            event_log::write(boost::format("Session %1%: read error (%2%)") % number_ %
                                 error_text(error),
                             event_log::error, 1);
        return;
    }
    start();
}

void ogg_session::handle_write(const boost::system::error_code& error)
{
    if (error) {
        if (!endOfStream(error))
            event_log::write(boost::format("Session %1%: socket write error (%2%)") % number_ %
                                 error_text(error),
                             event_log::error, 1);
        return;
    }
    // Clients that do not wait for the reply send stream bytes right behind the
    // request; they are the stream's first bytes. The swap also frees the buffer.
    std::string early;
    early.swap(pending_);
    stream_.feed(early.data(), early.size());
    read_data();
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
    disarm_deadline();
    if (error) {
        if (!endOfStream(error))
            event_log::write(boost::format("Session %1%: read error (%2%)") % number_ %
                                 error_text(error),
                             event_log::error, 1);
        return;
    }
    stream_.commit(bytes);
    read_data();
}

void ogg_session::handle_timeout(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        event_log::write(boost::format("Session %1%: read timeout timer error %2%") % number_ %
                             error_text(error),
                         event_log::info, 3);
        return;
    }
    // A read may have completed after the timer fired but before this handler ran;
    // it has re-armed or disarmed the deadline then, and the session is alive.
    if (deadline_.expiry() > boost::asio::steady_timer::clock_type::now())
        return;
    event_log::write(boost::format("Session %1%: read timeout") % number_, event_log::info, 2);
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    if (ignored) {
        // The peer is gone already; closing cancels the outstanding read instead.
        socket_.close(ignored);
    }
}

void ogg_session::corrupt_data()
{
    event_log::write(
        boost::format("Session %1%: Corrupt or missing data in bitstream; continuing...") % number_,
        event_log::warning, 1);
}

void ogg_session::stream_started()
{
    event_log::write(boost::format("Session %1%: new stream started") % number_, event_log::info,
                     1);
}

void ogg_session::comments(const std::vector<std::string>& texts)
{
    QStringList list;
    list.reserve(static_cast<int>(texts.size()));
    for (const std::string& text : texts) {
        event_log::write(boost::format("Session %1%: %2%") % number_ % printable(text),
                         event_log::info, 1);
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
    event_log::write(boost::format("Session %1%: stream ended") % number_, event_log::info, 1);
}

void ogg_session::report_track(const QStringList& comments)
{
    const track_comments track = track_comments::from(comments);
    if (track.reportable() && hub_ != nullptr)
        hub_->sendMsg(track.artist, track.title);
}
