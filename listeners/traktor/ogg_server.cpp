#include "ogg_server.h"

#include "eventlog.h"
#include "ogg_session.h"

#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/format.hpp>
#include <boost/system/system_error.hpp>

namespace {

void check(const boost::system::error_code& error, const char* step)
{
    if (error)
        throw boost::system::system_error(error, step);
}

} // namespace

ogg_server::ogg_server(Messanger* hub, boost::asio::io_context& service,
                       const boost::asio::ip::tcp::endpoint& endpoint, ogg_server_options options)
    : hub_(hub), service_(service), options_(options), acceptor_(service), retry_(service)
{
    boost::system::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    check(error, "open");
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), error);
    check(error, "set_option");
    acceptor_.bind(endpoint, error);
    check(error, "bind");
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
    check(error, "listen");
    port_ = acceptor_.local_endpoint(error).port();

    start_accept(std::make_shared<ogg_session>(service_, nextSession_++, hub_, options_));
}

ogg_server::~ogg_server() = default;

void ogg_server::start_accept(std::shared_ptr<ogg_session> session)
{
    boost::asio::ip::tcp::socket& socket = session->socket();
    acceptor_.async_accept(
        socket, [this, session = std::move(session)](const boost::system::error_code& error) {
            handle_accept(session, error);
        });
}

void ogg_server::handle_accept(const std::shared_ptr<ogg_session>& session,
                               const boost::system::error_code& error)
{
    if (error) {
        if (error == boost::asio::error::operation_aborted)
            return; // the acceptor was closed: the server is going away
        event_log::write(boost::format("Error accepting connection (%1%)") %
                             ogg_session::error_text(error),
                         event_log::error, 1);
        // Running out of descriptors or memory passes; accept again after a pause,
        // with the same waiting session, rather than going deaf for good.
        retry_.expires_after(options_.accept_retry_pause);
        retry_.async_wait([this, session](const boost::system::error_code& waitError) {
            if (!waitError)
                start_accept(session);
        });
        return;
    }

    boost::system::error_code peerError;
    const boost::asio::ip::tcp::endpoint peer = session->socket().remote_endpoint(peerError);
    if (peerError) {
        // The client has reset the connection already; only this session is lost.
        event_log::write(boost::format("Session %1%: cannot read the peer address (%2%)") %
                             session->number() % ogg_session::error_text(peerError),
                         event_log::error, 1);
    } else {
        event_log::write(boost::format("Created session %1% (remote peer %2%)") %
                             session->number() % peer.address().to_string(),
                         event_log::info, 1);
        session->start();
    }

    start_accept(std::make_shared<ogg_session>(service_, nextSession_++, hub_, options_));
}
