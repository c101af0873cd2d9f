#include "osc_server.h"

#include "eventlog.h"

osc_server::osc_server(Messanger* hub, boost::asio::io_context& service,
                       const boost::asio::ip::tcp::endpoint& endpoint, osc_server_options options)
    : hub(hub), options(std::move(options)),
      acceptor(
          service, endpoint, this->options.accept_retry_pause,
          [](const boost::system::error_code& error) {
              event_log::write("OSC accept failed (" + error_text(error) + "), retrying",
                               event_log::warning, 1);
          },
          [this](boost::asio::ip::tcp::socket socket) { handle_accept(std::move(socket)); })
{}

osc_server::~osc_server()
{
    connections.stop_all();
}

void osc_server::handle_accept(boost::asio::ip::tcp::socket socket)
{
    if (connections.size() >= options.max_connections) {
        boost::system::error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        event_log::write("OSC connection from " + peer.address().to_string() + ':' +
                             std::to_string(peer.port()) + " refused: " +
                             std::to_string(connections.size()) + " connections open",
                         event_log::warning, 1);
        return;
    }
    connections.start(std::make_shared<connection>(std::move(socket), nextConnection++, connections,
                                                   hub, options.idle_timeout));
}
