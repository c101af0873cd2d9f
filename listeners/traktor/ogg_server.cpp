#include "ogg_server.h"

#include "eventlog.h"
#include "ogg_session.h"
#include "source_table.h"

#include <algorithm>

ogg_server::ogg_server(Messanger* hub, boost::asio::io_context& service,
                       const boost::asio::ip::tcp::endpoint& endpoint, ogg_server_options options)
    : options_(std::move(options)),
      sources_(std::make_shared<source_table>(hub, options_.duplicate_window)),
      acceptor_(
          service, endpoint, options_.accept_retry_pause,
          [](const boost::system::error_code& error) {
              event_log::write("Error accepting connection (" + error_text(error) + "), retrying",
                               event_log::error, 1);
          },
          [this](boost::asio::ip::tcp::socket socket) { handle_accept(std::move(socket)); })
{}

ogg_server::~ogg_server() = default;

void ogg_server::handle_accept(boost::asio::ip::tcp::socket socket)
{
    const std::uint32_t number = nextSession_++;
    boost::system::error_code peerError;
    const boost::asio::ip::tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) {
        // The client has reset the connection already; only this session is lost.
        event_log::write("Session " + std::to_string(number) + ": cannot read the peer address (" +
                             error_text(peerError) + ")",
                         event_log::error, 1);
        return;
    }
    event_log::write("Created session " + std::to_string(number) + " (remote peer " +
                         peer.address().to_string() + ")",
                     event_log::info, 1);
    if (!make_room()) {
        event_log::write("Session " + std::to_string(number) + ": refused, " +
                             std::to_string(sessions_.size()) + " sources are streaming",
                         event_log::warning, 1);
        return;
    }
    auto session = std::make_shared<ogg_session>(std::move(socket), number, sources_, options_);
    sessions_.push_back(session);
    session->start();
}

// Clients that stay silent or trickle must not lock a real source out: at the
// cap the session silent longest gives way, but never a source that is
// streaming right now.
bool ogg_server::make_room()
{
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [](const std::weak_ptr<ogg_session>& s) { return s.expired(); }),
                    sessions_.end());
    if (sessions_.size() < options_.max_sessions)
        return true;
    const ogg_session::clock::time_point recent = ogg_session::clock::now() - options_.active_grace;
    auto victim = sessions_.end();
    std::shared_ptr<ogg_session> chosen;
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        std::shared_ptr<ogg_session> session = it->lock();
        if (!session || session->streamed_since(recent))
            continue;
        if (!chosen || session->last_data() < chosen->last_data()) {
            chosen = std::move(session);
            victim = it;
        }
    }
    if (!chosen)
        return false;
    chosen->drop("dropped for a new connection, too many sessions");
    sessions_.erase(victim);
    return true;
}
