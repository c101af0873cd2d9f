#include "accept_loop.h"

#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include <cctype>

#include <fcntl.h>

namespace {

void check(const boost::system::error_code& error, const char* step)
{
    if (error)
        throw boost::system::system_error(error, step);
}

} // namespace

void close_on_exec(int descriptor)
{
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
}

std::string error_text(const boost::system::error_code& error)
{
    std::string text = error.message();
    if (text.empty())
        return std::string(error.category().name()) + ':' + std::to_string(error.value());
    // "Connection reset by peer" reads as part of the sentence it stands in.
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

accept_loop::accept_loop(boost::asio::io_context& service,
                         const boost::asio::ip::tcp::endpoint& endpoint,
                         std::chrono::milliseconds retryPause, failure_handler failed,
                         handler accepted)
    : acceptor_(service), retry_(service), retryPause_(retryPause), failed_(std::move(failed)),
      accepted_(std::move(accepted))
{
    boost::system::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    check(error, "open");
    close_on_exec(acceptor_.native_handle());
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), error);
    check(error, "set_option");
    acceptor_.bind(endpoint, error);
    check(error, "bind");
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
    check(error, "listen");
    port_ = acceptor_.local_endpoint(error).port();
    accept();
}

void accept_loop::accept()
{
    acceptor_.async_accept(
        [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
            if (error == boost::asio::error::operation_aborted)
                return; // the acceptor was closed: the server is going away
            if (error) {
                failed_(error);
                // Running out of descriptors or memory passes.
                retry_.expires_after(retryPause_);
                retry_.async_wait([this](const boost::system::error_code& waitError) {
                    if (!waitError)
                        accept();
                });
                return;
            }
            close_on_exec(socket.native_handle());
            accepted_(std::move(socket));
            accept();
        });
}
