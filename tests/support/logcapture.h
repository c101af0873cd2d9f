#pragma once

#include "eventlog.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

// Attaches an in-memory sink to the process-wide event log for its lifetime.
// Listener threads write while the test reads, so the text is guarded.
class LogCapture
{
public:
    explicit LogCapture(int level = 1) : stream_(&buffer_), sink_(stream_)
    {
        event_log::instance().set_level(level);
        event_log::instance().set_sink(&sink_);
    }
    ~LogCapture()
    {
        event_log::instance().set_sink(nullptr);
        event_log::instance().set_level(1);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The text of every record ("SEV<TAB>text"), without the time stamps.
    QStringList records() const
    {
        QStringList result;
        const QStringList lines = QString::fromStdString(buffer_.text()).split('\n');
        for (const QString& line : lines) {
            const int tab = line.indexOf('\t');
            if (tab >= 0)
                result << line.mid(tab + 1);
        }
        return result;
    }
    bool contains(const QString& record) const { return records().contains(record); }
    // The lines as the sink received them, time stamps included.
    QString text() const { return QString::fromStdString(buffer_.text()); }

private:
    class LockedBuffer : public std::streambuf
    {
    public:
        std::string text() const
        {
            std::lock_guard<std::mutex> lock(mutex_);
            return text_;
        }

    protected:
        int_type overflow(int_type c) override
        {
            if (c != traits_type::eof()) {
                std::lock_guard<std::mutex> lock(mutex_);
                text_ += traits_type::to_char_type(c);
            }
            return traits_type::not_eof(c);
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override
        {
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(s, static_cast<std::size_t>(n));
            return n;
        }

    private:
        mutable std::mutex mutex_;
        std::string text_;
    };

    LockedBuffer buffer_;
    std::ostream stream_;
    event_log::file_logger sink_;
};
