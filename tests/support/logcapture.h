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
class LogCapture : std::streambuf
{
public:
    explicit LogCapture(int level = 1)
    {
        event_log::instance().set_level(level);
        event_log::instance().set_sink(&sink_);
    }
    ~LogCapture() override
    {
        event_log::instance().set_sink(nullptr);
        event_log::instance().set_level(1);
    }

    // The lines as the sink received them, time stamps included.
    QString text() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return QString::fromStdString(text_);
    }
    // The text of every record ("SEV<TAB>text"), without the time stamps.
    QStringList records() const
    {
        QStringList result;
        for (const QString& line : text().split('\n'))
            if (line.contains('\t'))
                result << line.section('\t', 1);
        return result;
    }
    bool contains(const QString& record) const { return records().contains(record); }

private:
    int_type overflow(int_type c) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            text_ += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }

    mutable std::mutex mutex_;
    std::string text_;
    std::ostream stream_{this};
    event_log::file_logger sink_{stream_};
};
