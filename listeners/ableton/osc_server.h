#pragma once

#include "connection.h"
#include "connection_manager.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

class Messanger;

// Accepts OSC connections on one TCP port and runs them, all on the thread that
// calls start().
class osc_server
{
public:
    // More connections than any sender needs; beyond it a local program could
    // only be exhausting the process's file descriptors.
    static constexpr std::size_t maxConnections = 64;

    // listenAddress: the IPv4 address to bind, as text.
    osc_server(Messanger* hub, std::string listenAddress);
    osc_server(const osc_server&) = delete;
    osc_server& operator=(const osc_server&) = delete;

    // Listens on the low 16 bits of port and runs the service until stop() (or
    // until nothing is left to do). Set-up failures are thrown as
    // boost::system::system_error naming the operation ("bind: ...").
    void start(int port);

    // Safe from any thread: closes the acceptor and all connections on the
    // service's thread, which makes start() return.
    void stop();

    // After start() threw or returned and the thread that ran it has finished:
    // closes whatever is still open and drops handlers left in the queue (a stop
    // posted after the service had already returned), so that the next start()
    // is not ended by them. Call only while no thread runs start().
    void reset();

    // The port actually listened on (useful with port 0), 0 while not listening.
    int listeningPort() const { return listeningPort_.load(); }

    void setAcceptRetryDelay(std::chrono::milliseconds delay) { acceptRetryDelay = delay; }

private:
    void start_accept();
    void handle_accept(const boost::system::error_code& error);
    void handle_stop();

    boost::asio::io_context service;
    connection_manager connections;
    connection_ptr pendingConnection;
    std::shared_ptr<boost::asio::ip::tcp::acceptor> acceptor;
    boost::asio::steady_timer acceptRetryTimer;
    Messanger* hub;
    std::string listenAddress;
    std::chrono::milliseconds acceptRetryDelay{1000};
    std::atomic<int> listeningPort_{0};
};
