#include "osc_server.h"

#include "eventlog.h"

#include <boost/asio/error.hpp>

#include <string>

osc_server::osc_server(Messanger* hub, boost::asio::io_context& service,
                       const boost::asio::ip::tcp::endpoint& endpoint, osc_server_options options)
    : hub(hub), options(std::move(options)), values(service, this->options.value_log_interval),
      acceptor(
          service, endpoint, this->options.accept_retry_pause,
          [](const boost::system::error_code& error) {
              event_log::write("OSC accept failed (" + error_text(error) + "), retrying",
                               event_log::warning, 1);
          },
          [this](boost::asio::ip::tcp::socket socket) { handle_accept(std::move(socket)); }),
      udp(service), udpRetry(service), datagram(), datagrams(hub, "OSC over UDP: ", &values)
{
    const boost::asio::ip::udp::endpoint at(endpoint.address(), acceptor.port());
    boost::system::error_code error;
    udp.open(at.protocol(), error);
    if (!error) {
        close_on_exec(udp.native_handle());
        udp.bind(at, error);
    }
    if (error) {
        event_log::write("OSC over UDP is off on port " + std::to_string(at.port()) + ": bind (" +
                             error_text(error) + ")",
                         event_log::warning, 1);
        return;
    }
    // Room for a burst while the thread is busy elsewhere; the system may give less.
    udp.set_option(boost::asio::socket_base::receive_buffer_size(1 << 22), error);
    receive();
}

osc_server::~osc_server()
{
    connections.stop_all();
}

void osc_server::handle_accept(boost::asio::ip::tcp::socket socket)
{
    if (connections.size() >= options.max_connections && connections.size() > 0) {
        log.write(std::to_string(connections.size()) +
                      " connections open: the one idle longest closed for a newcomer",
                  event_log::warning, 1);
        connections.stop(connections.idlest());
    }
    connections.start(std::make_shared<connection>(std::move(socket), nextConnection++, connections,
                                                   hub, &values, options.idle_timeout));
}

void osc_server::receive()
{
    udp.async_receive_from(
        boost::asio::buffer(datagram), udpSender,
        [this](const boost::system::error_code& error, std::size_t bytes) {
            if (error == boost::asio::error::operation_aborted)
                return;
            if (error) {
                // Such as a shortage of memory, which passes.
                log.write("UDP receive failed (" + error_text(error) + "), retrying",
                          event_log::warning, 1);
                udpRetry.expires_after(options.accept_retry_pause);
                udpRetry.async_wait([this](const boost::system::error_code& waitError) {
                    if (!waitError)
                        receive();
                });
                return;
            }
            datagrams.datagram(datagram.data(), bytes);
            receive();
        });
}
