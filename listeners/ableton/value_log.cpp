#include "value_log.h"

#include "eventlog.h"
#include "session_log.h"

#include <string>

value_log::value_log(boost::asio::io_context& service, std::chrono::milliseconds interval)
    : interval(interval), tempo_(service, "tempo"), clip_(service, "clip")
{}

value_log::~value_log()
{
    for (address* a : {&tempo_, &clip_})
        if (a->changed)
            line(*a);
}

void value_log::write(address_kind kind, const QString& value)
{
    address& a = kind == tempo ? tempo_ : clip_;
    ++a.messages;
    if (!a.changed && value == a.written)
        return;
    a.latest = value;
    a.changed = true;
    if (a.waiting)
        return;
    if (clock::now() >= a.writtenAt + interval) {
        line(a);
        return;
    }
    a.waiting = true;
    a.timer.expires_at(a.writtenAt + interval);
    a.timer.async_wait([this, &a](const boost::system::error_code& error) {
        if (error)
            return; // the log is going away and writes what waits itself
        a.waiting = false;
        if (a.changed)
            line(a);
    });
}

void value_log::line(address& a)
{
    std::string text = std::string("OSC ") + a.name + ' ' + printable(a.latest.toStdString());
    if (a.messages > 1)
        text += " (" + std::to_string(a.messages) + " messages since the last line)";
    event_log::write(text, event_log::info, 1);
    a.written = a.latest;
    a.writtenAt = clock::now();
    a.messages = 0;
    a.changed = false;
}
