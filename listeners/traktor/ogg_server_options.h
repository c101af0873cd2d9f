#pragma once

#include "listener_options.h"

#include <chrono>
#include <cstddef>
#include <iostream>

// Tunables of the broadcast source server. The defaults are what the program
// runs with; tests shorten the time-outs so they finish in milliseconds.
struct ogg_server_options : listener_options
{
    // Every read of a request must complete within this time, or the session is ended.
    std::chrono::milliseconds read_timeout{std::chrono::seconds(180)};
    // The whole request must be in within this time, however steadily it trickles.
    std::chrono::milliseconds handshake_timeout{std::chrono::seconds(10)};
    // After its handshake a source must send at least min_stream_bytes in every
    // stream_check_interval, far below any audio stream, or it is ended: a client
    // that only trickles must not hold a place for good.
    std::chrono::milliseconds stream_check_interval{std::chrono::seconds(10)};
    std::size_t min_stream_bytes = 1024;
    // Sessions at once. At the cap a newcomer takes the place of the session that
    // has been silent longest, but never of a source that sent stream data
    // within active_grace.
    std::size_t max_sessions = 16;
    std::chrono::milliseconds active_grace{std::chrono::seconds(5)};
    // How long a client may take to read a final reply before its connection is closed.
    std::chrono::milliseconds linger_timeout{std::chrono::seconds(2)};
    // A track that came in a comment header and by a metadata request within this
    // time counts once.
    std::chrono::milliseconds duplicate_window{std::chrono::seconds(5)};
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
