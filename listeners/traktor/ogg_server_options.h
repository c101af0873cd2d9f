#pragma once

#include <chrono>
#include <cstddef>
#include <iosfwd>

// Tunables of the Traktor source server. The defaults are what the program
// runs with; tests shorten the time-outs so they finish in milliseconds.
struct ogg_server_options
{
    // Every read of a session must complete within this time, or the session is ended.
    std::chrono::milliseconds read_timeout{std::chrono::seconds(180)};
    // After a failed accept (for example no file descriptors left) the server waits this
    // long before it accepts again, so a persistent failure does not spin the thread.
    std::chrono::milliseconds accept_retry_pause{std::chrono::milliseconds(500)};
    // Longest request or header line, without its line end.
    std::size_t max_line_length = 8192;
    // Largest request line plus header block, line ends included.
    std::size_t max_header_bytes = 65536;
    // Where the comment texts of every new stream are echoed for diagnosis; null: nowhere.
    std::ostream* comment_echo = nullptr;
};
