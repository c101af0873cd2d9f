#include "connection_manager.h"

#include <algorithm>

void connection_manager::start(const connection_ptr& c)
{
    connections.insert(c);
    c->start();
}

void connection_manager::stop(const connection_ptr& c)
{
    connections.erase(c);
    c->stop();
}

void connection_manager::stop_all()
{
    for (const connection_ptr& c : connections)
        c->stop();
    connections.clear();
}

connection_ptr connection_manager::idlest() const
{
    const auto found = std::min_element(connections.begin(), connections.end(),
                                        [](const connection_ptr& a, const connection_ptr& b) {
                                            return a->lastMessage() < b->lastMessage();
                                        });
    return found == connections.end() ? nullptr : *found;
}
