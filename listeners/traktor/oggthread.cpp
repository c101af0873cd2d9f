#include "oggthread.h"

#include "ogg_server.h"

OggThread::OggThread(int port, QObject* parent, ogg_server_options options)
    : AsioServerThread(port, options.listen_address, QStringLiteral("Traktor listener"), parent),
      hub(this), options_(std::move(options))
{}

OggThread::~OggThread()
{
    stop();
}

AsioServerThread::opened OggThread::open(boost::asio::io_context& service,
                                         const boost::asio::ip::tcp::endpoint& endpoint)
{
    auto server = std::make_shared<ogg_server>(&hub, service, endpoint, options_);
    const unsigned short port = server->port();
    return {std::move(server), port};
}
