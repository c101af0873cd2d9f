#pragma once

#include "asioserverthread.h"
#include "messanger.h"
#include "ogg_server_options.h"

// The worker thread of the Traktor source server. Its run() builds the server on
// the configured port and drives the I/O service until stop(); findings reach
// the GUI thread only through the hub's queued signals.
class OggThread : public AsioServerThread
{
    Q_OBJECT
public:
    // Only stores the port (its low 16 bits are used) and the options; the port is
    // opened by run().
    explicit OggThread(int port, QObject* parent = nullptr, ogg_server_options options = {});
    ~OggThread() override;

    Messanger hub;

protected:
    opened open(boost::asio::io_context& service,
                const boost::asio::ip::tcp::endpoint& endpoint) override;

private:
    const ogg_server_options options_;
};
