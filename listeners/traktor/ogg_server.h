#pragma once

#include "accept_loop.h"
#include "ogg_server_options.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/core/noncopyable.hpp>

#include <cstdint>
#include <deque>
#include <memory>

class Messanger;
class ogg_session;
class source_table;

// The broadcast source server: accepts source and metadata clients on one TCP
// endpoint and gives every connection its own numbered session, at most
// max_sessions at once. All its work runs on the thread that runs the I/O service.
class ogg_server : private boost::noncopyable
{
public:
    // Opens, binds and listens; throws boost::system::system_error whose text
    // begins with the failed step ("open", "set_option", "bind", "listen").
    ogg_server(Messanger* hub, boost::asio::io_context& service,
               const boost::asio::ip::tcp::endpoint& endpoint, ogg_server_options options = {});
    ~ogg_server();

    unsigned short port() const { return acceptor_.port(); }

private:
    void handle_accept(boost::asio::ip::tcp::socket socket);
    bool make_room();

    ogg_server_options options_;
    // Shared with the sessions, which may outlive the server in a stopped service.
    std::shared_ptr<source_table> sources_;
    std::uint32_t nextSession_ = 1;
    // The live sessions; a session is kept alive by its own operations.
    std::deque<std::weak_ptr<ogg_session>> sessions_;
    accept_loop acceptor_;
};
