#pragma once

#include "eventlog.h"

#include <QString>

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

// An event log sink whose text the test thread can read while listener
// threads write to it.
class LockedLog : private std::streambuf
{
public:
    LockedLog() : stream(this), sink(stream) { event_log::instance().set_sink(&sink); }
    ~LockedLog() override { event_log::instance().set_sink(nullptr); }

    QString text()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return QString::fromStdString(buffer);
    }

private:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            std::lock_guard<std::mutex> lock(mutex);
            buffer.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        buffer.append(s, std::size_t(n));
        return n;
    }

    std::mutex mutex;
    std::string buffer;
    std::ostream stream;
    event_log::file_logger sink;
};
