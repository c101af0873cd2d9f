#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <utility>

// The deadline of a connection's outstanding read. Re-arming or disarming it
// also defeats an expiry whose handler is already queued behind the read that
// just completed, which a plain cancel() would not.
class read_deadline
{
public:
    using clock = boost::asio::steady_timer::clock_type;

    // An I/O service or an executor, such as the connection socket's.
    template <class Executor> explicit read_deadline(const Executor& executor) : timer_(executor) {}

    // expired() runs once the time has come, unless arm() or disarm() comes first.
    // It should hold its owner alive (a shared pointer), as the timer is the owner's.
    template <class Handler> void arm(clock::time_point when, Handler expired)
    {
        timer_.expires_at(when);
        timer_.async_wait([this, expired = std::move(expired)](
                              const boost::system::error_code& error) mutable {
            if (error == boost::asio::error::operation_aborted || timer_.expiry() > clock::now())
                return;
            expired();
        });
    }

    void disarm() { timer_.expires_at(clock::time_point::max()); }

private:
    boost::asio::steady_timer timer_;
};
