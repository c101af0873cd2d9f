#pragma once

#include <boost/format/format_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

// Leveled event records of the listeners. Records are always built; they reach a
// sink only when one is attached and the record's level passes the filter.
// Callers that build messages with boost::format include <boost/format.hpp>
// themselves; this header only names the type.
namespace event_log {

enum severity : int { info = 0, warning = 1, error = 2 };

// A record: the time it was built, its text (more can be streamed in before it
// is written), its verbosity level and its severity.
class record
{
public:
    record(const std::string& text, int severity, int level);
    record(const boost::format& text, int severity, int level);

    std::int64_t time() const { return time_; }
    int level() const { return level_; }
    int severity() const { return severity_; }
    std::string text() const { return text_.str(); }
    std::ostream& stream() { return text_; }

private:
    std::int64_t time_;
    std::ostringstream text_;
    int level_;
    int severity_;
};

// The line a sink receives: "2017-Mar-14 09:26:53<TAB>INF<TAB>text".
std::string format_line(std::int64_t time, int severity, const std::string& text);
const char* severity_name(int severity);

// An output text stream that several threads may write to: each line is written
// and flushed whole under the sink's own lock.
class file_logger
{
public:
    explicit file_logger(std::ostream& out) : out_(out) {}
    virtual ~file_logger() = default;
    file_logger(const file_logger&) = delete;
    file_logger& operator=(const file_logger&) = delete;

    void write_line(const std::string& line);

protected:
    // Runs under the lock before a line of the given size (end of line
    // included) is written, so a file sink can start a new file first.
    virtual void before_line(std::size_t /*bytes*/) {}

private:
    std::mutex mutex_;
    std::ostream& out_;
};

// The process-wide logger, created on first use (the accessors live in
// eventlog.cpp, where a Boost.Serialization singleton holds the one instance).
template <class Sink> class log
{
public:
    static log& get_instance();
    static log& get_mutable_instance();

    void set_sink(Sink* sink) { sink_.store(sink); }
    Sink* sink() const { return sink_.load(); }
    void set_level(int level) { level_.store(level); }
    int level() const { return level_.load(); }

    void write(const record& r)
    {
        Sink* target = sink_.load();
        const int threshold = level_.load();
        if (target == nullptr || threshold == 0 || threshold < r.level())
            return;
        target->write_line(format_line(r.time(), r.severity(), r.text()));
    }

protected:
    log() = default;

private:
    std::atomic<Sink*> sink_{nullptr};
    std::atomic<int> level_{1};
};

using logger = log<file_logger>;
extern template class log<file_logger>;

logger& instance();

// Builds and writes one record through the process-wide logger.
void write(const boost::format& text, int severity, int level);
void write(const std::string& text, int severity, int level);

} // namespace event_log
