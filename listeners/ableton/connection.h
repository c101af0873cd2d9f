#pragma once

#include "osc_parser.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <cstddef>
#include <memory>

class Messanger;
class connection_manager;

// One accepted OSC connection. It keeps itself alive through its outstanding
// read; every read's bytes go to its parser at once, so it never holds more than
// one read.
class connection : public std::enable_shared_from_this<connection>
{
public:
    static constexpr std::size_t maxReadSize = 65536;

    connection(boost::asio::io_context& service, connection_manager& manager, Messanger* hub);
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    boost::asio::ip::tcp::socket& socket() { return socket_; }

    void start();
    void stop();

private:
    void handle_read(const boost::system::error_code& error, std::size_t bytes);

    boost::asio::ip::tcp::socket socket_;
    connection_manager& manager;
    std::array<char, maxReadSize> buffer;
    osc_parser parser;
};

using connection_ptr = std::shared_ptr<connection>;
