#pragma once

#include <chrono>
#include <string>

// What every listener is told by its owner rather than reading it from the
// settings store itself.
struct listener_options
{
    // The IPv4 address to bind, as text.
    std::string listen_address = "127.0.0.1";
    // After a failed accept (for example no file descriptors left) the listener waits
    // this long before it accepts again, so a persistent failure does not spin the thread.
    std::chrono::milliseconds accept_retry_pause{std::chrono::milliseconds(500)};
};
