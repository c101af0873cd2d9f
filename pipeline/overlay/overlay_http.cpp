#include "overlay_http.h"

#include "accept_loop.h"
#include "eventlog.h"
#include "session_log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <deque>
#include <fstream>
#include <list>
#include <optional>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using text = overlay_feed::text;

class connection;

class server : public std::enable_shared_from_this<server>
{
public:
    server(net::io_context& service, const tcp::endpoint& endpoint,
           std::shared_ptr<overlay_feed> feed, std::string template_path, std::string page,
           const overlay_http_options& options)
        : service_(service), options_(options), feed_(std::move(feed)),
          template_path_(std::move(template_path)), page_(std::move(page)), heartbeat_(service),
          log_("Overlay: "),
          acceptor_(
              service, endpoint, std::chrono::milliseconds(500),
              [this](const boost::system::error_code& error) {
                  log_.write("accept failed: " + error_text(error), event_log::warning, 1);
              },
              [this](tcp::socket socket) { accepted(std::move(socket)); })
    {}

    ~server() { feed_->detach(); }

    void start();
    unsigned short port() const { return acceptor_.port(); }

    const overlay_http_options& options() const { return options_; }
    overlay_feed& feed() { return *feed_; }
    session_log& log() { return log_; }
    // The page for "/": the user's template when there is one.
    std::string page();

    void remove(const connection* c);

private:
    void accepted(tcp::socket socket);
    bool make_room();
    void broadcast(const text& event);
    void beat();

    net::io_context& service_;
    const overlay_http_options options_;
    std::shared_ptr<overlay_feed> feed_;
    const std::string template_path_;
    const std::string page_;
    // Oldest first.
    std::list<std::shared_ptr<connection>> connections_;
    net::steady_timer heartbeat_;
    session_log log_;
    accept_loop acceptor_; // last: it accepts from its construction on
};

class connection : public std::enable_shared_from_this<connection>
{
public:
    enum class phase { reading, writing, streaming, closed };

    connection(tcp::socket socket, server& owner)
        : stream_(std::move(socket)), buffer_(owner.options().header_limit + 1024), owner_(owner)
    {}

    phase current() const { return phase_; }
    void start() { read_request(); }
    void close();
    void send_event(const text& event);

private:
    using response = http::response<http::string_body>;

    void read_request();
    void on_request(const beast::error_code& error);
    void handle(const http::request<http::empty_body>& request);
    void respond(http::status status, std::string type, std::string body, bool head,
                 bool keep_alive, unsigned version);
    void start_stream(bool head, unsigned version);
    void discard_input();
    void write_next();

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    server& owner_;
    phase phase_ = phase::reading;
    std::deque<text> queue_;
    std::size_t queued_bytes_ = 0;
    bool writing_ = false;
    std::array<char, 512> discard_{};
};

void server::start()
{
    std::weak_ptr<server> weak = weak_from_this();
    net::io_context& service = service_;
    feed_->attach([weak, &service](text event) {
        net::post(service, [weak, event = std::move(event)] {
            if (const auto self = weak.lock())
                self->broadcast(event);
        });
    });
    beat();
}

void server::beat()
{
    heartbeat_.expires_after(options_.heartbeat);
    heartbeat_.async_wait([this](const boost::system::error_code& error) {
        if (error)
            return;
        static const text comment = std::make_shared<const std::string>(": heartbeat\n\n");
        broadcast(comment);
        beat();
    });
}

void server::broadcast(const text& event)
{
    // A stream that overflows closes and leaves the list while it is walked.
    const std::vector<std::shared_ptr<connection>> all(connections_.begin(), connections_.end());
    for (const auto& c : all)
        c->send_event(event);
}

void server::accepted(tcp::socket socket)
{
    if (connections_.size() >= options_.max_connections && !make_room()) {
        log_.write("connection refused: all connections are busy", event_log::warning, 1);
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    auto c = std::make_shared<connection>(std::move(socket), *this);
    connections_.push_back(c);
    c->start();
}

bool server::make_room()
{
    // An idle or slow request first: a browser resends on a fresh connection,
    // while a dropped event stream makes its page reconnect.
    for (const auto wanted : {connection::phase::reading, connection::phase::streaming}) {
        for (const auto& c : connections_) {
            if (c->current() == wanted) {
                log_.write(wanted == connection::phase::reading
                               ? "connection limit: the oldest waiting connection is closed"
                               : "connection limit: the oldest event stream is closed",
                           event_log::info, 1);
                const std::shared_ptr<connection> keep = c;
                keep->close();
                return true;
            }
        }
    }
    return false;
}

void server::remove(const connection* c)
{
    connections_.remove_if([c](const std::shared_ptr<connection>& p) { return p.get() == c; });
}

std::string server::page()
{
    std::ifstream file(template_path_, std::ios::binary);
    if (file) {
        std::string content(options_.template_limit + 1, '\0');
        file.read(&content[0], static_cast<std::streamsize>(content.size()));
        const auto size = static_cast<std::size_t>(file.gcount());
        if (size > 0 && size <= options_.template_limit) {
            content.resize(size);
            return content;
        }
        // An empty or unreadable template (a folder of that name) would leave
        // the stream blank; so would one too large to hold.
        log_.write("overlay.html is empty, unreadable or larger than " +
                       std::to_string(options_.template_limit) +
                       " bytes; the built-in page is served",
                   event_log::warning, 1);
    }
    std::string page = page_;
    const std::string marker = "__HOLD_SECONDS__";
    const std::string hold = std::to_string(feed_->current().hold_seconds);
    for (auto at = page.find(marker); at != std::string::npos; at = page.find(marker, at))
        page.replace(at, marker.size(), hold);
    return page;
}

void connection::close()
{
    if (phase_ == phase::closed)
        return;
    phase_ = phase::closed;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
    queue_.clear();
    owner_.remove(this);
}

void connection::read_request()
{
    phase_ = phase::reading;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(owner_.options().header_limit));
    stream_.expires_after(owner_.options().request_deadline);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                         self->on_request(error);
                     });
}

void connection::on_request(const beast::error_code& error)
{
    if (phase_ == phase::closed)
        return;
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
        owner_.log().write("request head over the limit: 431", event_log::warning, 1);
        respond(http::status::request_header_fields_too_large, "text/plain; charset=utf-8",
                "Request header fields too large\n", false, false, 11);
        return;
    }
    if (error == beast::error::timeout) {
        // Idle keep-alive connections end here too, so only log half-sent requests.
        if (buffer_.size() > 0)
            owner_.log().write("request not complete in time: closed", event_log::info, 1);
        close();
        return;
    }
    if (error && error.category() == http::make_error_code(http::error::end_of_stream).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message) {
        owner_.log().write("malformed request: " + error.message(), event_log::warning, 1);
        respond(http::status::bad_request, "text/plain; charset=utf-8", "Bad request\n", false,
                false, 11);
        return;
    }
    if (error) {
        close();
        return;
    }
    handle(parser_->get());
}

void connection::handle(const http::request<http::empty_body>& request)
{
    const bool head = request.method() == http::verb::head;
    const bool keep_alive = request.keep_alive();
    const unsigned version = request.version();
    if (!head && request.method() != http::verb::get) {
        respond(http::status::method_not_allowed, "text/plain; charset=utf-8",
                "Only GET and HEAD\n", false, false, version);
        return;
    }
    std::string target(request.target());
    target = target.substr(0, target.find('?'));
    if (target == "/") {
        respond(http::status::ok, "text/html; charset=utf-8", owner_.page(), head, keep_alive,
                version);
    } else if (target == "/nowplaying.json") {
        respond(http::status::ok, "application/json; charset=utf-8", *owner_.feed().current().json,
                head, keep_alive, version);
    } else if (target == "/nowplaying.txt") {
        respond(http::status::ok, "text/plain; charset=utf-8", *owner_.feed().current().plain, head,
                keep_alive, version);
    } else if (target == "/events") {
        start_stream(head, version);
    } else {
        respond(http::status::not_found, "text/plain; charset=utf-8", "Not found\n", head,
                keep_alive, version);
    }
}

void connection::respond(http::status status, std::string type, std::string body, bool head,
                         bool keep_alive, unsigned version)
{
    auto message = std::make_shared<response>(status, version);
    message->set(http::field::server, "FENK");
    message->set(http::field::content_type, std::move(type));
    message->set(http::field::cache_control, "no-store");
    message->set("X-Content-Type-Options", "nosniff");
    if (status == http::status::method_not_allowed)
        message->set(http::field::allow, "GET, HEAD");
    message->body() = std::move(body);
    message->keep_alive(keep_alive);
    message->prepare_payload();
    if (head)
        message->body().clear(); // Content-Length still tells the size of a GET
    phase_ = phase::writing;
    stream_.expires_after(owner_.options().write_deadline);
    http::async_write(
        stream_, *message,
        [self = shared_from_this(), message](const beast::error_code& error, std::size_t) {
            if (error || !message->keep_alive())
                self->close();
            else if (self->phase_ != phase::closed)
                self->read_request();
        });
}

void connection::start_stream(bool head, unsigned version)
{
    if (head) {
        respond(http::status::ok, "text/event-stream; charset=utf-8", std::string(), true, false,
                version);
        return;
    }
    std::string start = version >= 11 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.0 200 OK\r\n";
    // retry: a quick reconnect after a restart of FENK; the page also retries by itself.
    start += "Server: FENK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
             "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
             "Connection: keep-alive\r\n\r\nretry: 2000\n\n";
    phase_ = phase::streaming;
    stream_.expires_never();
    buffer_.consume(buffer_.size());
    discard_input();
    send_event(std::make_shared<const std::string>(
        start + overlay_feed::event("track", *owner_.feed().current().json)));
}

void connection::discard_input()
{
    // Reads on only to learn when the client goes; whatever it sends is dropped.
    stream_.async_read_some(
        net::buffer(discard_),
        [self = shared_from_this()](const beast::error_code& error, std::size_t) {
            if (error)
                self->close();
            else if (self->phase_ == phase::streaming)
                self->discard_input();
        });
}

void connection::send_event(const text& event)
{
    if (phase_ != phase::streaming)
        return;
    queued_bytes_ += event->size();
    if (queued_bytes_ > owner_.options().max_queued_bytes) {
        owner_.log().write("event stream not read: closed", event_log::warning, 1);
        close();
        return;
    }
    queue_.push_back(event);
    if (!writing_)
        write_next();
}

void connection::write_next()
{
    writing_ = true;
    stream_.expires_after(owner_.options().write_deadline);
    net::async_write(stream_, net::buffer(*queue_.front()),
                     [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                         self->writing_ = false;
                         if (error || self->phase_ != phase::streaming) {
                             self->close();
                             return;
                         }
                         self->queued_bytes_ -= self->queue_.front()->size();
                         self->queue_.pop_front();
                         if (!self->queue_.empty())
                             self->write_next();
                     });
}

} // namespace

overlay_http_server open_overlay_http(boost::asio::io_context& service,
                                      const boost::asio::ip::tcp::endpoint& endpoint,
                                      std::shared_ptr<overlay_feed> feed, std::string template_path,
                                      std::string default_page, const overlay_http_options& options)
{
    auto s = std::make_shared<server>(service, endpoint, std::move(feed), std::move(template_path),
                                      std::move(default_page), options);
    s->start();
    return {s, s->port()};
}
