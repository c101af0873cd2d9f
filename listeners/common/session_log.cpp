#include "session_log.h"

#include "eventlog.h"

#include <cstdio>

session_log::~session_log()
{
    flush();
}

void session_log::write(const std::string& text, int severity, int level)
{
    if (severity == lastSeverity_ && text == last_) {
        ++repeats_;
        return;
    }
    flush();
    event_log::write(prefix_ + text, severity, level);
    last_ = text;
    lastSeverity_ = severity;
    lastLevel_ = level;
}

void session_log::flush()
{
    if (repeats_ > 0)
        event_log::write(prefix_ + last_ + " (" + std::to_string(repeats_) + " more times)",
                         lastSeverity_, lastLevel_);
    repeats_ = 0;
}

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string loggable(const std::string& text, std::size_t limit)
{
    std::string out = printable(text);
    if (out.size() <= limit)
        return out;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80)
        --end;
    return out.substr(0, end) + "...";
}
