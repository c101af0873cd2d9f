#include "ogg_session.h"

#include "accept_loop.h"
#include "eventlog.h"
#include "metadata_request.h"
#include "source_table.h"
#include "track_comments.h"

#include <boost/algorithm/string/find.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <new>
#include <ostream>

namespace {

const char okReply[] = "HTTP/1.0 200 OK\r\n\r\n";
const char continueReply[] = "HTTP/1.1 100 Continue\r\n\r\n";
const char allowedMethods[] = "Allow: SOURCE, PUT, GET, OPTIONS\r\n";
const char metadataDone[] = "<?xml version=\"1.0\"?>\n<iceresponse><message>Metadata update "
                            "successful</message><return>1</return></iceresponse>\n";
constexpr std::size_t handshakeChunk = 4096;
constexpr std::size_t streamChunk = 65536;

// Bytes that are read only to be dropped; never looked at, so all sessions of a
// thread can share them.
char* discard_buffer()
{
    thread_local char buffer[streamChunk];
    return buffer;
}

// A request line as it may be logged: the source password travels in the
// Authorization header, and the log must not keep it.
std::string loggable_line(const std::string& line)
{
    static const std::string name = "authorization:";
    if (!boost::algorithm::istarts_with(line, name))
        return printable(line);
    return line.substr(0, name.size()) + " (hidden)";
}

std::string http_reply(const std::string& status, const std::string& fields,
                       const std::string& type, const std::string& body)
{
    std::string reply = "HTTP/1.0 " + status + "\r\n" + fields;
    if (!body.empty())
        reply += "Content-Type: " + type + "\r\n";
    return reply + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string duration_text(std::chrono::milliseconds time)
{
    if (time.count() % 1000 == 0)
        return std::to_string(time.count() / 1000) + " s";
    return std::to_string(time.count()) + " ms";
}

} // namespace

ogg_session::ogg_session(boost::asio::ip::tcp::socket socket, std::uint32_t number,
                         std::shared_ptr<source_table> sources, const ogg_server_options& options)
    : sources_(std::move(sources)), socket_(std::move(socket)), deadline_(socket_.get_executor()),
      options_(options), log_("Session " + std::to_string(number) + ": "),
      handshakeEnd_(clock::now() + options.handshake_timeout), lastData_(clock::now()),
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
    end(reason, event_log::warning);
}

// Ends the session: no operation is started any more, and those outstanding
// complete at once. An empty reason is not logged.
void ogg_session::end(const std::string& reason, int severity)
{
    if (ended_)
        return;
    ended_ = true;
    if (!reason.empty())
        log_.write(reason, severity, 1);
    deadline_.disarm();
    if (!mount_.empty())
        sources_->detach(mount_, this);
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void ogg_session::start()
{
    guarded([this] { take_lines(); });
}

// Takes the buffered lines one by one; reads only when no complete line is left.
// The deadline is armed once per line, as a line that trickles in must still
// arrive within the read time-out, and never later than the handshake's end.
void ogg_session::take_lines()
{
    for (;;) {
        const request_parser::result r =
            request_.next(pending_.data() + taken_, pending_.size() - taken_);
        switch (r.what) {
        case request_parser::status::need_more: {
            if (!waitingForLine_) {
                waitingForLine_ = true;
                deadline_.arm(std::min(clock::now() + options_.read_timeout, handshakeEnd_),
                              [self = shared_from_this()] { self->handle_timeout(); });
            }
            // The lines taken go only now, so that a head of many short lines is
            // not moved once per line.
            pending_.erase(0, taken_);
            taken_ = 0;
            const std::size_t used = pending_.size();
            pending_.resize(used + handshakeChunk);
            socket_.async_read_some(boost::asio::buffer(&pending_[used], handshakeChunk),
                                    [self = shared_from_this()](
                                        const boost::system::error_code& error, std::size_t bytes) {
                                        self->handle_read_request(error, bytes);
                                    });
            return;
        }
        case request_parser::status::malformed:
            refuse("400 Bad Request", "no request line");
            return;
        case request_parser::status::line_too_long:
            if (request_.head().method.empty())
                refuse("414 URI Too Long", {});
            else
                refuse("431 Request Header Fields Too Large", "a header line is too long");
            return;
        case request_parser::status::header_too_large:
            refuse("431 Request Header Fields Too Large", {});
            return;
        case request_parser::status::line:
        case request_parser::status::done:
            break;
        }
        waitingForLine_ = false;
        taken_ += r.consumed;
        log_.write("request line: " + loggable_line(r.text), event_log::info, 1);
        if (r.what == request_parser::status::done) {
            deadline_.disarm();
            pending_.erase(0, taken_);
            taken_ = 0;
            dispatch();
            return;
        }
    }
}

void ogg_session::handle_read_request(const boost::system::error_code& error, std::size_t bytes)
{
    pending_.resize(pending_.size() - handshakeChunk + bytes);
    if (read_failed(error))
        return;
    lastData_ = clock::now();
    start();
}

void ogg_session::dispatch()
{
    const request_head& head = request_.head();
    if (head.method == "SOURCE" || head.method == "PUT") {
        start_source();
    } else if (head.method == "GET" && head.target == "/admin/!POKE") {
        // libshout asks whether this is an Icecast server before it goes on in
        // plain HTTP; Icecast answers 400, and libshout takes nothing else.
        log_.write("answered libshout's server probe", event_log::info, 1);
        reply_and_close(http_reply("400 Bad Request", {}, {}, {}));
    } else if (head.method == "OPTIONS") {
        // libshout's offer to switch to TLS: a plain answer without an Upgrade
        // field declines it.
        log_.write("answered " + request_text() + " without TLS", event_log::info, 1);
        reply_and_close(http_reply("200 OK", allowedMethods, {}, {}));
    } else if (head.method == "GET") {
        const metadata_request request = metadata_request::parse(head.target);
        if (request.what == metadata_request::verdict::not_metadata)
            refuse("404 Not Found", {});
        else
            answer_metadata(request);
    } else {
        refuse("405 Method Not Allowed", {}, allowedMethods);
    }
}

void ogg_session::start_source()
{
    const request_head& head = request_.head();
    // Metadata requests name the mount percent-decoded.
    const std::string mount = percent_decoded(head.target.substr(0, head.target.find('?')), false);
    if (head.field("Content-Length") == "0") {
        // libshout first asks whether credentials are needed, with an empty body,
        // and then comes back with them on a new connection.
        log_.write("answered a source request without a body", event_log::info, 1);
        reply_and_close(okReply);
        return;
    }
    std::string client = head.field("User-Agent");
    if (client.empty())
        client = head.field("ice-name");
    if (client.empty())
        client = "an unnamed client";
    client = loggable(client, 60);
    mount_ = mount.empty() ? "/" : mount;
    log_.write("source on " + loggable(mount_) + ": " + client + " (" + head.method + ' ' +
                   loggable(head.version, 20) + ")",
               event_log::info, 1);
    const std::shared_ptr<ogg_session> previous = sources_->attach(
        mount_, shared_from_this(), QString::fromStdString(client), head.field("Authorization"));
    if (previous && previous.get() != this)
        previous->drop("replaced by a new source on " + loggable(mount_));
    // ffmpeg and liquidsoap send PUT with "Expect: 100-continue" and wait for
    // that interim reply; liquidsoap takes no other.
    const bool expectsContinue = boost::algorithm::iequals(head.field("Expect"), "100-continue");
    reply_ = expectsContinue ? continueReply : okReply;
    boost::asio::async_write(
        socket_, boost::asio::buffer(reply_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            if (self->ended_)
                return;
            if (error && error != boost::asio::error::eof)
                self->end("socket write error (" + error_text(error) + ")", event_log::error);
            else if (error)
                self->end({}, event_log::info);
            else
                self->guarded([&self] { self->start_stream(); });
        });
}

void ogg_session::answer_metadata(const metadata_request& request)
{
    using verdict = metadata_request::verdict;
    switch (request.what) {
    case verdict::ok:
    case verdict::not_metadata:
        break;
    case verdict::not_updinfo:
        return refuse("400 Bad Request", "mode is not updinfo");
    case verdict::no_mount:
        return refuse("400 Bad Request", "no mount");
    case verdict::no_song:
        return refuse("400 Bad Request", "no song, artist or title");
    case verdict::unknown_charset:
        return refuse("400 Bad Request", "unknown charset");
    }
    const std::string authorization = request_.head().field("Authorization");
    const std::string track = request.artist.toStdString() + " - " + request.title.toStdString();
    source_table::update result = sources_->authorize(request.mount, authorization);
    if (result == source_table::update::reported && request.from_song && request.artist.isEmpty()) {
        log_.write("no artist in song=" + loggable(request.title.toStdString()) + ", not reported",
                   event_log::info, 1);
        return reply_and_close(http_reply("200 OK", {}, "text/xml", metadataDone));
    }
    if (result == source_table::update::reported)
        result =
            sources_->update_metadata(request.mount, authorization, request.artist, request.title);
    switch (result) {
    case source_table::update::no_source:
        return refuse("404 Not Found", "no source on " + loggable(request.mount));
    case source_table::update::bad_credentials:
        return refuse("401 Unauthorized", "not the credentials of the source",
                      "WWW-Authenticate: Basic realm=\"Icecast2 Server\"\r\n");
    case source_table::update::counted_once:
        log_.write("metadata update on " + loggable(request.mount) + ": " + loggable(track) +
                       ", the stream's comments brought it a moment ago: counted once",
                   event_log::info, 1);
        break;
    case source_table::update::reported:
        log_.write("metadata update on " + loggable(request.mount) + ": " + loggable(track),
                   event_log::info, 1);
        break;
    }
    reply_and_close(http_reply("200 OK", {}, "text/xml", metadataDone));
}

std::string ogg_session::request_text() const
{
    const request_head& head = request_.head();
    return loggable(head.method.empty() ? pending_ : head.method + ' ' + head.target);
}

void ogg_session::refuse(const char* status, const std::string& why, const std::string& extraFields)
{
    const std::string reason = why.empty() ? std::string(status) : status + (": " + why);
    log_.write("refused " + request_text() + " (" + reason + ")", event_log::warning, 1);
    reply_and_close(http_reply(status, extraFields, "text/plain; charset=utf-8", reason + "\n"));
}

// Writes the last reply, then reads and drops what the client still sends until
// it closes or the linger time is over: closing with unread bytes would reset the
// connection, and the client could lose the reply.
void ogg_session::reply_and_close(std::string reply)
{
    reply_ = std::move(reply);
    deadline_.arm(clock::now() + options_.linger_timeout,
                  [self = shared_from_this()] { self->end({}, event_log::info); });
    boost::asio::async_write(
        socket_, boost::asio::buffer(reply_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            if (error || self->ended_)
                return self->end({}, event_log::info);
            boost::system::error_code ignored;
            self->socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
            self->linger();
        });
}

void ogg_session::linger()
{
    socket_.async_read_some(
        boost::asio::buffer(discard_buffer(), streamChunk),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            if (error || self->ended_)
                return self->end({}, event_log::info);
            self->linger();
        });
}

// The stream's format decides how it is read: an Ogg stream for its comment
// headers, anything else (MP3, AAC) only to keep the source connected, as its
// tracks come by metadata requests. ffmpeg labels even Ogg "audio/mpeg", so the
// first bytes have the last word.
void ogg_session::start_stream()
{
    if (!streaming_) {
        streaming_ = true;
        if (!pending_.empty())
            lastStreamData_ = clock::now();
        windowBytes_ = pending_.size();
        deadline_.arm(clock::now() + options_.stream_check_interval,
                      [self = shared_from_this()] { self->check_stream_rate(); });
    }
    const std::string type = request_.head().field("Content-Type");
    if (pending_.compare(0, 4, "OggS") == 0 || type.empty() ||
        boost::algorithm::ifind_first(type, "ogg")) {
        format_ = format::ogg;
        // Clients that do not wait for the reply send stream bytes right behind the
        // request; they are the stream's first bytes. The swap also frees the buffer.
        std::string early;
        early.swap(pending_);
        stream_.feed(early.data(), early.size());
    } else if (pending_.size() >= 4) {
        format_ = format::other;
        log_.write("the stream is " + loggable(type) +
                       ", not Ogg: its audio is dropped, tracks come by metadata requests",
                   event_log::info, 1);
        std::string().swap(pending_);
    }
    read_data();
}

void ogg_session::read_data()
{
    char* target = discard_buffer();
    std::size_t size = streamChunk;
    if (format_ == format::ogg) {
        // libogg's own buffer receives the bytes, so nothing is copied on the way.
        target = stream_.prepare(streamChunk);
    } else if (format_ == format::undecided) {
        const std::size_t used = pending_.size();
        pending_.resize(used + handshakeChunk);
        target = &pending_[used];
        size = handshakeChunk;
    }
    socket_.async_read_some(
        boost::asio::buffer(target, size),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
            self->handle_read(error, bytes);
        });
}

void ogg_session::handle_read(const boost::system::error_code& error, std::size_t bytes)
{
    if (format_ == format::undecided)
        pending_.resize(pending_.size() - handshakeChunk + bytes);
    if (read_failed(error))
        return;
    lastData_ = lastStreamData_ = clock::now();
    windowBytes_ += bytes;
    guarded([this, bytes] {
        if (format_ == format::ogg) {
            stream_.commit(bytes);
            read_data();
        } else if (format_ == format::undecided) {
            start_stream();
        } else {
            read_data();
        }
    });
}

// A source that stops sending, or only trickles, is ended: any byte would keep
// a plain read deadline from ever passing.
void ogg_session::check_stream_rate()
{
    if (windowBytes_ < options_.min_stream_bytes) {
        end("sent " + std::to_string(windowBytes_) + " bytes in " +
                duration_text(options_.stream_check_interval) + ", fewer than " +
                std::to_string(options_.min_stream_bytes) + ": source on " + loggable(mount_) +
                " ended",
            event_log::warning);
        return;
    }
    windowBytes_ = 0;
    deadline_.arm(clock::now() + options_.stream_check_interval,
                  [self = shared_from_this()] { self->check_stream_rate(); });
}

void ogg_session::handle_timeout()
{
    log_.write(clock::now() >= handshakeEnd_ ? "handshake timeout" : "read timeout",
               event_log::info, 1);
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    if (ignored) {
        // The peer is gone already; closing cancels the outstanding read instead.
        socket_.close(ignored);
    }
}

// True when the read ended the session. The end of a source's stream is its
// normal end, and a reset after its last byte is one too.
bool ogg_session::read_failed(const boost::system::error_code& error)
{
    if (ended_)
        return true;
    if (!error)
        return false;
    const bool reset = error == boost::asio::error::connection_reset;
    const bool closed = error == boost::asio::error::eof;
    if (error == boost::asio::error::operation_aborted)
        end({}, event_log::info);
    else if (streaming_)
        end("source on " + loggable(mount_) + " ended (" + error_text(error) + ")",
            reset || closed ? event_log::info : event_log::error);
    else if (closed)
        end({}, event_log::info);
    else
        end("read error (" + error_text(error) + ")", reset ? event_log::info : event_log::error);
    return true;
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

void ogg_session::no_comment_header()
{
    log_.write("the stream has no Vorbis, Opus or FLAC comment header", event_log::info, 1);
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
    if (!track.reportable()) {
        log_.write("no ARTIST/TITLE in comments: " + loggable(comments.join(", ").toStdString()),
                   event_log::info, 1);
        return;
    }
    if (sources_->report(mount_, this, track.artist, track.title) ==
        source_table::update::counted_once)
        log_.write(loggable((track.artist + " - " + track.title).toStdString()) +
                       ": a metadata request brought it a moment ago, counted once",
                   event_log::info, 1);
}
