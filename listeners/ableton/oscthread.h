#pragma once

#include "asioserverthread.h"
#include "osc_server.h"

class Messanger;

// Hosts the OSC receiver: run() listens on the port until stop(). Reports leave
// through the hub, whose signals reach receivers on other threads as queued calls.
class OscThread : public AsioServerThread
{
    Q_OBJECT
public:
    // Does not listen yet.
    explicit OscThread(int port, QObject* parent = nullptr, osc_server_options options = {});
    ~OscThread() override;

    // Child of the thread object.
    Messanger* const hub;

protected:
    opened open(boost::asio::io_context& service,
                const boost::asio::ip::tcp::endpoint& endpoint) override;

private:
    const osc_server_options options;
};
