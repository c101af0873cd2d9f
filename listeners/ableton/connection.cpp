#include "connection.h"

#include "connection_manager.h"

#include <boost/asio/error.hpp>

connection::connection(boost::asio::io_context& service, connection_manager& manager,
                       Messanger* hub)
    : socket_(service), manager(manager), parser(hub)
{}

void connection::start()
{
    auto self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(buffer),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->handle_read(error, bytes);
                            });
}

void connection::stop()
{
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void connection::handle_read(const boost::system::error_code& error, std::size_t bytes)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        manager.stop(shared_from_this());
        return;
    }
    parser.feed(buffer.data(), bytes);
    start();
}
