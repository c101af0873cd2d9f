#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The event log lines of one session (or connection). A line equal to one of
// the last few different lines is counted instead of written again; the count
// follows when the line drops out of that window or the session ends. A peer
// that repeats itself therefore cannot fill the disk through the log.
class session_log
{
public:
    // Every line begins with prefix ("Session 3: ").
    explicit session_log(std::string prefix) : prefix_(std::move(prefix)) {}
    ~session_log();
    session_log(const session_log&) = delete;
    session_log& operator=(const session_log&) = delete;

    void write(const std::string& text, int severity, int level);

private:
    struct line
    {
        std::string text;
        int severity;
        int level;
        unsigned long repeats;
    };
    static constexpr std::size_t window = 8;

    void flush(const line& l) const;

    std::string prefix_;
    // Most recently written or repeated first.
    std::vector<line> recent_;
};

// Control characters of peer-supplied text as \xNN, so that a text can never
// forge or split a line of the event log.
std::string printable(const std::string& text);
