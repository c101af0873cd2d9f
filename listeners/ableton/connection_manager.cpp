#include "connection_manager.h"

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
