#include "eventlog.h"

#include <chrono>
#include <cstdio>

namespace event_log {

namespace {

std::int64_t nowSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

record::record(const std::string& text, int severity, int level)
    : time_(nowSeconds()), level_(level), severity_(severity)
{
    text_ << text;
}

record::record(const boost::format& text, int severity, int level)
    : record(text.str(), severity, level)
{}

const char* severity_name(int severity)
{
    switch (severity) {
    case info:
        return "INF";
    case warning:
        return "WRN";
    case error:
        return "ERR";
    default:
        return "UNK";
    }
}

std::string format_line(std::int64_t time, int severity, const std::string& text)
{
    // Month names are fixed here: the application sets the process locale, and a
    // localised "%b" would make the log format depend on the desktop language.
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%s-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  months[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec);
    std::string line(stamp);
    line += '\t';
    line += severity_name(severity);
    line += '\t';
    line += text;
    return line;
}

void file_logger::write_line(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << line << std::endl;
}

} // namespace event_log
