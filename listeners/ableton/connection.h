#pragma once

#include "osc_parser.h"
#include "read_deadline.h"

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

class Messanger;
class connection_manager;

// One accepted OSC connection. It keeps itself alive through its outstanding
// read, hands every read's bytes to its parser at once, and is closed when it
// has been silent for the idle time-out.
class connection : public std::enable_shared_from_this<connection>
{
public:
    static constexpr std::size_t maxReadSize = 65536;

    connection(boost::asio::ip::tcp::socket socket, std::uint32_t number,
               connection_manager& manager, Messanger* hub, std::chrono::milliseconds idleTimeout);
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    void start();
    void stop();

private:
    void handle_read(const boost::system::error_code& error, std::size_t bytes);

    boost::asio::ip::tcp::socket socket_;
    connection_manager& manager;
    read_deadline idle;
    std::chrono::milliseconds idleTimeout;
    std::array<char, maxReadSize> buffer;
    osc_parser parser;
};

using connection_ptr = std::shared_ptr<connection>;
