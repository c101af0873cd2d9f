#pragma once

#include "accept_loop.h"
#include "connection_manager.h"
#include "listener_options.h"
#include "osc_parser.h"
#include "session_log.h"
#include "value_log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

class Messanger;

struct osc_server_options : listener_options
{
    // More connections than any sender needs; beyond it a local program could
    // only be exhausting the process's file descriptors. A newcomer beyond it
    // takes the place of the connection idle longest.
    std::size_t max_connections = 64;
    // A connection that has sent no whole message for this long is closed.
    std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};
    // At most one event log line per address and interval for the reported values.
    std::chrono::milliseconds value_log_interval{std::chrono::seconds(1)};
};

// Receives OSC on one endpoint, as TCP connections and as UDP datagrams on the
// same port, and runs it all on the thread that runs the I/O service.
class osc_server : private boost::noncopyable
{
public:
    // Opens, binds and listens on TCP; throws boost::system::system_error naming
    // the failed step ("bind: ..."). Without UDP (its port taken by another
    // program) it logs why and goes on with TCP.
    osc_server(Messanger* hub, boost::asio::io_context& service,
               const boost::asio::ip::tcp::endpoint& endpoint, osc_server_options options);
    ~osc_server();

    unsigned short port() const { return acceptor.port(); }

private:
    void handle_accept(boost::asio::ip::tcp::socket socket);
    void receive();

    Messanger* hub;
    osc_server_options options;
    session_log log{"OSC: "};
    value_log values;
    connection_manager connections;
    std::uint32_t nextConnection = 1;
    accept_loop acceptor;
    boost::asio::ip::udp::socket udp;
    boost::asio::ip::udp::endpoint udpSender;
    boost::asio::steady_timer udpRetry;
    std::array<char, osc_parser::maxMessage> datagram;
    osc_parser datagrams;
};
