#pragma once

#include "listener_options.h"

#include <chrono>
#include <cstddef>
#include <iostream>

// Tunables of the Traktor source server. The defaults are what the program
// runs with; tests shorten the time-outs so they finish in milliseconds.
struct ogg_server_options : listener_options
{
    // Every read of a session must complete within this time, or the session is ended.
    std::chrono::milliseconds read_timeout{std::chrono::seconds(180)};
    // The whole handshake must be done within this time, however steadily it trickles.
    std::chrono::milliseconds handshake_timeout{std::chrono::seconds(10)};
    // Sessions at once; at the cap, the oldest one still in its handshake makes room.
    std::size_t max_sessions = 16;
    // Longest request or header line, without its line end.
    std::size_t max_line_length = 8192;
    // Largest request line plus header block, line ends included.
    std::size_t max_header_bytes = 65536;
    // Bytes of one logical stream's pages kept while its headers are read; past
    // them its comments are given up.
    std::size_t max_stream_header_bytes = 1 << 20;
    // Where the comment texts of every new stream are echoed for diagnosis; null: nowhere.
    std::ostream* comment_echo = &std::cout;
};
