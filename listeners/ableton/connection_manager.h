#pragma once

#include "connection.h"

#include <cstddef>
#include <set>

// The open connections of the OSC server, so that a stop can close them all.
class connection_manager
{
public:
    connection_manager() = default;
    connection_manager(const connection_manager&) = delete;
    connection_manager& operator=(const connection_manager&) = delete;

    void start(const connection_ptr& c);
    void stop(const connection_ptr& c);
    void stop_all();

    std::size_t size() const { return connections.size(); }
    // The one whose last whole message is oldest; null when there is none.
    connection_ptr idlest() const;

private:
    std::set<connection_ptr> connections;
};
