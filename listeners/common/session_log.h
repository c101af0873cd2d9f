#pragma once

#include <cstddef>
#include <string>

// The event log lines of one session (or connection). A line equal to the one
// just before it is counted instead of written again; the count follows with the
// next different line or when the session ends. A peer that repeats itself
// therefore cannot fill the disk through the log, while lines that come in turn
// (a track's start and end) are all written.
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
    void flush();

    std::string prefix_;
    // The last line written, and how often it came again since.
    std::string last_;
    int lastSeverity_ = -1;
    int lastLevel_ = 0;
    unsigned long repeats_ = 0;
};

// Control characters of peer-supplied text as \xNN, so that a text can never
// forge or split a line of the event log.
std::string printable(const std::string& text);

// Peer text for the log: printable(), at most `limit` bytes, never cut inside a
// UTF-8 sequence, and "..." where it was cut.
std::string loggable(const std::string& text, std::size_t limit = 120);
