#include "session_log.h"

#include "eventlog.h"

#include <algorithm>
#include <cstdio>

session_log::~session_log()
{
    for (const line& l : recent_)
        flush(l);
}

void session_log::write(const std::string& text, int severity, int level)
{
    const auto seen = std::find_if(recent_.begin(), recent_.end(), [&](const line& l) {
        return l.severity == severity && l.text == text;
    });
    if (seen != recent_.end()) {
        ++seen->repeats;
        std::rotate(recent_.begin(), seen, seen + 1);
        return;
    }
    event_log::write(prefix_ + text, severity, level);
    if (recent_.size() == window) {
        flush(recent_.back());
        recent_.pop_back();
    }
    recent_.insert(recent_.begin(), line{text, severity, level, 0});
}

void session_log::flush(const line& l) const
{
    if (l.repeats > 0)
        event_log::write(prefix_ + l.text + " (" + std::to_string(l.repeats) + " more times)",
                         l.severity, l.level);
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
