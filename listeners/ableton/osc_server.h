#pragma once

#include "accept_loop.h"
#include "connection_manager.h"
#include "listener_options.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/core/noncopyable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>

class Messanger;

struct osc_server_options : listener_options
{
    // More connections than any sender needs; beyond it a local program could
    // only be exhausting the process's file descriptors.
    std::size_t max_connections = 64;
    // A connection that has sent nothing for this long is closed.
    std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};
};

// Accepts OSC connections on one TCP endpoint and runs them, all on the thread
// that runs the I/O service.
class osc_server : private boost::noncopyable
{
public:
    // Opens, binds and listens; throws boost::system::system_error naming the
    // failed step ("bind: ...").
    osc_server(Messanger* hub, boost::asio::io_context& service,
               const boost::asio::ip::tcp::endpoint& endpoint, osc_server_options options);
    ~osc_server();

    unsigned short port() const { return acceptor.port(); }

private:
    void handle_accept(boost::asio::ip::tcp::socket socket);

    Messanger* hub;
    osc_server_options options;
    connection_manager connections;
    std::uint32_t nextConnection = 1;
    accept_loop acceptor;
};
