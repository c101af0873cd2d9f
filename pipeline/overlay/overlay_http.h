#pragma once

#include "overlayfeed.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct overlay_http_options
{
    // A request must arrive whole within this time, else its connection closes.
    std::chrono::milliseconds request_deadline{5000};
    // A comment on every event stream, so proxies and the page see it alive.
    std::chrono::milliseconds heartbeat{15000};
    // A response or event the client does not take within this time ends it.
    std::chrono::milliseconds write_deadline{30000};
    std::size_t max_connections = 32;
    // A request head (request line and header fields) above this gets 431.
    std::size_t header_limit = 8 * 1024;
    // Events queued for a client that does not read; past it the stream ends.
    std::size_t max_queued_bytes = 256 * 1024;
    // A user template above this size is not served.
    std::size_t template_limit = 1024 * 1024;
};

// The overlay's HTTP server on the service: GET and HEAD of "/" (the user's
// template_path if that file exists, else default_page with "__HOLD_SECONDS__"
// filled in), "/nowplaying.json", "/nowplaying.txt" and the event stream
// "/events". Nothing else is served from disk.
//
// At the connection limit a newcomer takes the place of the oldest connection
// still waiting for its request, or else of the oldest event stream, whose page
// reconnects; only when every connection is busy writing is it turned away.
//
// Opens, binds and listens at once and throws boost::system::system_error
// ("bind: Address already in use") when it cannot. Everything runs on the
// service's thread; the server lives until the returned pointer is released,
// which must happen after the service stopped running.
struct overlay_http_server
{
    std::shared_ptr<void> server;
    unsigned short port;
};
overlay_http_server open_overlay_http(boost::asio::io_context& service,
                                      const boost::asio::ip::tcp::endpoint& endpoint,
                                      std::shared_ptr<overlay_feed> feed, std::string template_path,
                                      std::string default_page,
                                      const overlay_http_options& options);
