#include "oscthread.h"

#include "messanger.h"

OscThread::OscThread(int port, QObject* parent, osc_server_options options)
    : AsioServerThread(port, options.listen_address, QStringLiteral("Ableton listener"), parent),
      hub(new Messanger(this)), options(std::move(options))
{}

OscThread::~OscThread()
{
    stop();
}

AsioServerThread::opened OscThread::open(boost::asio::io_context& service,
                                         const boost::asio::ip::tcp::endpoint& endpoint)
{
    auto server = std::make_shared<osc_server>(hub, service, endpoint, options);
    const unsigned short port = server->port();
    return {std::move(server), port};
}
