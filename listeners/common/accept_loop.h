#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>

// A listening TCP acceptor that hands every accepted socket on and, after a
// failed accept, logs it and tries again after a pause instead of going deaf.
class accept_loop
{
public:
    using handler = std::function<void(boost::asio::ip::tcp::socket)>;
    // Logs a failed accept; the loop tries again after the pause.
    using failure_handler = std::function<void(const boost::system::error_code&)>;

    // Opens, binds and listens at once; throws boost::system::system_error whose
    // text begins with the failed step ("open", "set_option", "bind", "listen").
    accept_loop(boost::asio::io_context& service, const boost::asio::ip::tcp::endpoint& endpoint,
                std::chrono::milliseconds retryPause, failure_handler failed, handler accepted);
    accept_loop(const accept_loop&) = delete;
    accept_loop& operator=(const accept_loop&) = delete;

    // The port actually bound (the system's pick for port 0).
    unsigned short port() const { return port_; }

private:
    void accept();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    std::chrono::milliseconds retryPause_;
    failure_handler failed_;
    handler accepted_;
    unsigned short port_ = 0;
};

// The error as the event log says it: its text ("connection reset by peer"), or
// "category:value" for an error that has none.
std::string error_text(const boost::system::error_code& error);

// Asio opens sockets inheritable: a program FENK starts (the browser it opens a
// page in) would otherwise keep a listener's port bound after it closed it.
// Every socket a listener opens goes through here.
void close_on_exec(int descriptor);
