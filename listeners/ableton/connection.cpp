#include "connection.h"

#include "connection_manager.h"
#include "eventlog.h"

#include <boost/asio/error.hpp>

connection::connection(boost::asio::ip::tcp::socket socket, std::uint32_t number,
                       connection_manager& manager, Messanger* hub,
                       std::chrono::milliseconds idleTimeout)
    : socket_(std::move(socket)), manager(manager), idle(socket_.get_executor()),
      idleTimeout(idleTimeout), parser(hub, "OSC connection " + std::to_string(number) + ": ")
{}

void connection::start()
{
    auto self = shared_from_this();
    // A connection that sends nothing must not hold one of the few places forever.
    idle.arm(read_deadline::clock::now() + idleTimeout, [self] {
        event_log::write("OSC connection closed after being idle", event_log::info, 2);
        self->manager.stop(self);
    });
    socket_.async_read_some(boost::asio::buffer(buffer),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->handle_read(error, bytes);
                            });
}

void connection::stop()
{
    idle.disarm();
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
