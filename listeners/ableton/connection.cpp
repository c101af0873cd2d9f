#include "connection.h"

#include "connection_manager.h"
#include "eventlog.h"

#include <boost/asio/error.hpp>

#include <string>

connection::connection(boost::asio::ip::tcp::socket socket, std::uint32_t number,
                       connection_manager& manager, Messanger* hub, value_log* values,
                       std::chrono::milliseconds idleTimeout)
    : socket_(std::move(socket)), number(number), manager(manager), idle(socket_.get_executor()),
      idleTimeout(idleTimeout), lastMessage_(clock::now()),
      parser(hub, "OSC connection " + std::to_string(number) + ": ", values)
{}

void connection::start()
{
    lastMessage_ = clock::now();
    watchIdle(lastMessage_ + idleTimeout);
    read();
}

void connection::stop()
{
    idle.cancel();
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void connection::read()
{
    auto self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(buffer),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->handle_read(error, bytes);
                            });
}

// The timer is set again from the last message when it runs out, not at every
// message, so a busy sender costs no timer work per read.
void connection::watchIdle(clock::time_point due)
{
    idle.expires_at(due);
    idle.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (error || !self->socket_.is_open())
            return;
        const clock::time_point next = self->lastMessage_ + self->idleTimeout;
        if (clock::now() < next)
            return self->watchIdle(next);
        event_log::write("OSC connection " + std::to_string(self->number) +
                             " closed: no whole message for " +
                             std::to_string(self->idleTimeout.count()) + " ms",
                         event_log::info, 1);
        self->manager.stop(self);
    });
}

void connection::handle_read(const boost::system::error_code& error, std::size_t bytes)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        manager.stop(shared_from_this());
        return;
    }
    if (parser.feed(buffer.data(), bytes) > 0)
        lastMessage_ = clock::now();
    read();
}
