#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <QString>

#include <chrono>

// The event log lines of the reported tempo and clip values, shared by every
// connection of a server. A sender may report many times a second for hours;
// every report still goes out, but the log gets at most one line per address
// and interval: a change at once, and the changes that follow within the
// interval as one line at its end, with the latest value and the number of
// messages since the line before. Repeats of the value last written only add
// to that number. Runs on the I/O service's thread.
class value_log
{
public:
    enum address_kind { tempo, clip };

    value_log(boost::asio::io_context& service, std::chrono::milliseconds interval);
    // Writes what is still waiting, so the last value is never lost.
    ~value_log();
    value_log(const value_log&) = delete;
    value_log& operator=(const value_log&) = delete;

    void write(address_kind kind, const QString& value);

private:
    using clock = boost::asio::steady_timer::clock_type;

    struct address
    {
        address(boost::asio::io_context& service, const char* name) : name(name), timer(service) {}

        const char* name;
        QString written;
        QString latest;
        clock::time_point writtenAt = clock::time_point::min();
        unsigned long messages = 0;
        bool changed = false;
        bool waiting = false;
        boost::asio::steady_timer timer;
    };

    void line(address& a);

    std::chrono::milliseconds interval;
    address tempo_;
    address clip_;
};
