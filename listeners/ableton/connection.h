#pragma once

#include "osc_parser.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

class Messanger;
class connection_manager;
class value_log;

// One accepted OSC connection. It keeps itself alive through its outstanding
// read, hands every read's bytes to its parser at once, and is closed when no
// whole message has come for the idle time-out, however many bytes trickle in.
class connection : public std::enable_shared_from_this<connection>
{
public:
    using clock = boost::asio::steady_timer::clock_type;
    static constexpr std::size_t maxReadSize = 65536;

    connection(boost::asio::ip::tcp::socket socket, std::uint32_t number,
               connection_manager& manager, Messanger* hub, value_log* values,
               std::chrono::milliseconds idleTimeout);
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    void start();
    void stop();

    // When the last whole message came (the accept, before the first).
    clock::time_point lastMessage() const { return lastMessage_; }

private:
    void read();
    void watchIdle(clock::time_point due);
    void handle_read(const boost::system::error_code& error, std::size_t bytes);

    boost::asio::ip::tcp::socket socket_;
    const std::uint32_t number;
    connection_manager& manager;
    boost::asio::steady_timer idle;
    const std::chrono::milliseconds idleTimeout;
    clock::time_point lastMessage_;
    std::array<char, maxReadSize> buffer;
    osc_parser parser;
};

using connection_ptr = std::shared_ptr<connection>;
