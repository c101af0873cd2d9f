#include "eventlog.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <boost/serialization/singleton.hpp>

#include <chrono>
#include <ctime>
#include <stdexcept>

namespace event_log {

namespace {

std::int64_t nowSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Boost's simple format names the months in English whatever the process
// locale, so the log reads the same on every desktop.
std::string format_local_time(std::int64_t time)
{
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    try {
        if (localtime_r(&t, &local) != nullptr)
            return boost::posix_time::to_simple_string(boost::posix_time::ptime_from_tm(local));
    } catch (const std::out_of_range&) {
        // Outside the years 1400 to 9999: a clock gone wrong must not stop the log.
    }
    return std::to_string(time);
}

// Records come in bursts within one second (a track's lines), and formatting
// the time is most of the cost of a line.
const std::string& local_time_text(std::int64_t time)
{
    thread_local std::int64_t cachedTime = 0;
    thread_local std::string cachedText;
    if (cachedText.empty() || cachedTime != time) {
        cachedText = format_local_time(time);
        cachedTime = time;
    }
    return cachedText;
}

} // namespace

template <class Sink> log<Sink>& log<Sink>::get_instance()
{
    // Boost keeps its own get_instance() private; both names reach the one logger.
    return boost::serialization::singleton<log<Sink>>::get_mutable_instance();
}

template <class Sink> log<Sink>& log<Sink>::get_mutable_instance()
{
    return boost::serialization::singleton<log<Sink>>::get_mutable_instance();
}

template class log<file_logger>;

logger& instance()
{
    return logger::get_mutable_instance();
}

void write(const boost::format& text, int severity, int level)
{
    instance().write(record(text, severity, level));
}

void write(const std::string& text, int severity, int level)
{
    instance().write(record(text, severity, level));
}

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
    std::string line = local_time_text(time);
    line += '\t';
    line += severity_name(severity);
    line += '\t';
    line += text;
    return line;
}

void file_logger::write_line(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    before_line(line.size() + 1);
    out_ << line << std::endl;
}

} // namespace event_log
