#pragma once

#include "ogg_server_options.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>

class Messanger;
class ogg_session;

// The Traktor source server: accepts source clients on one TCP endpoint and
// gives every connection its own numbered session. All its work runs on the
// thread that runs the I/O service.
class ogg_server
{
public:
    // Opens, binds and listens; throws boost::system::system_error whose text
    // begins with the failed step ("open", "set_option", "bind", "listen").
    ogg_server(Messanger* hub, boost::asio::io_context& service,
               const boost::asio::ip::tcp::endpoint& endpoint, ogg_server_options options = {});
    ~ogg_server();
    ogg_server(const ogg_server&) = delete;
    ogg_server& operator=(const ogg_server&) = delete;

    // The port actually bound (the one asked for, or the system's pick for port 0).
    unsigned short port() const { return port_; }

private:
    void start_accept(std::shared_ptr<ogg_session> session);
    void handle_accept(const std::shared_ptr<ogg_session>& session,
                       const boost::system::error_code& error);

    Messanger* hub_;
    boost::asio::io_context& service_;
    ogg_server_options options_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    std::uint32_t nextSession_ = 1;
    unsigned short port_ = 0;
};
