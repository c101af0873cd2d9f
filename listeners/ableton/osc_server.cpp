#include "osc_server.h"

#include "eventlog.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/format.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

osc_server::osc_server(Messanger* hub, std::string listenAddress)
    : pendingConnection(std::make_shared<connection>(service, connections, hub)),
      acceptRetryTimer(service), hub(hub), listenAddress(std::move(listenAddress))
{}

void osc_server::start(int port)
{
    service.restart();

    const tcp::endpoint endpoint(asio::ip::make_address_v4(listenAddress),
                                 static_cast<unsigned short>(port & 0xffff));
    // Held by the server only once it listens: a failed set-up closes it here.
    auto opened = std::make_shared<tcp::acceptor>(service);
    opened->open(endpoint.protocol());
    opened->set_option(tcp::acceptor::reuse_address(true));
    opened->bind(endpoint);
    opened->listen(asio::socket_base::max_listen_connections);
    acceptor = std::move(opened);
    listeningPort_.store(acceptor->local_endpoint().port());

    start_accept();
    service.run();
}

void osc_server::stop()
{
    asio::post(service, [this] { handle_stop(); });
}

void osc_server::reset()
{
    handle_stop();
    service.restart();
    service.poll();
    service.restart();
}

void osc_server::start_accept()
{
    acceptor->async_accept(
        pendingConnection->socket(),
        [this](const boost::system::error_code& error) { handle_accept(error); });
}

void osc_server::handle_accept(const boost::system::error_code& error)
{
    if (!acceptor) {
        // Stopped after this accept had completed: the connection is not
        // wanted, and a socket left open would fail every accept of the next
        // run.
        pendingConnection->stop();
        return;
    }
    if (error) {
        // Out of descriptors or memory for a moment: giving up would leave the
        // port open but deaf for the rest of the run, so try again shortly.
        event_log::write(boost::format("OSC accept failed: %1%:%2%, retrying") %
                             error.category().name() % error.value(),
                         event_log::warning, 1);
        acceptRetryTimer.expires_after(acceptRetryDelay);
        acceptRetryTimer.async_wait([this](const boost::system::error_code& timerError) {
            if (!timerError && acceptor)
                start_accept();
        });
        return;
    }

    if (connections.size() >= maxConnections) {
        boost::system::error_code ignored;
        const tcp::endpoint peer = pendingConnection->socket().remote_endpoint(ignored);
        event_log::write(boost::format("OSC connection from %1% refused: %2% connections open") %
                             peer % connections.size(),
                         event_log::warning, 1);
        pendingConnection->stop();
    } else {
        connections.start(pendingConnection);
        pendingConnection = std::make_shared<connection>(service, connections, hub);
    }
    start_accept();
}

void osc_server::handle_stop()
{
    acceptRetryTimer.cancel();
    if (acceptor) {
        boost::system::error_code ignored;
        acceptor->close(ignored);
        acceptor.reset();
    }
    listeningPort_.store(0);
    connections.stop_all();
}
