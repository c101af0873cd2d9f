#pragma once

#include "ogg_server_options.h"
#include "ogg_stream_reader.h"
#include "read_deadline.h"
#include "session_log.h"
#include "source_request_parser.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>

class Messanger;

// One source client's connection: the SOURCE handshake, then the Ogg stream,
// whose tracks are reported through the hub. A session is kept alive only by its
// outstanding operations; when it starts none, it is released and its socket closed.
class ogg_session : public std::enable_shared_from_this<ogg_session>,
                    private ogg_stream_reader::observer
{
public:
    ogg_session(boost::asio::ip::tcp::socket socket, std::uint32_t number, Messanger* hub,
                const ogg_server_options& options);
    ~ogg_session() override;
    ogg_session(const ogg_session&) = delete;
    ogg_session& operator=(const ogg_session&) = delete;

    // Reads the next request or header line (taken from the bytes already received
    // when it is there); called once, when the connection is accepted.
    void start();

    // The reply has not been sent yet.
    bool handshaking() const { return handshaking_; }
    // Ends the session for the reason given (logged).
    void drop(const std::string& reason);

    // Reports artist and title found in one stream's comment texts, if any.
    void report_track(const QStringList& comments);

private:
    void take_lines();
    void handle_read_request(const boost::system::error_code& error, std::size_t bytes);
    void handle_write(const boost::system::error_code& error);
    void read_data();
    void handle_read(const boost::system::error_code& error, std::size_t bytes);
    void arm_deadline();
    void handle_timeout();
    bool read_failed(const boost::system::error_code& error);
    template <class Work> void guarded(Work work);

    // ogg_stream_reader::observer
    void corrupt_data() override;
    void stream_started() override;
    void comments(const std::vector<std::string>& texts) override;
    void stream_ended() override;
    void headers_too_large() override;

    Messanger* hub_;
    boost::asio::ip::tcp::socket socket_;
    read_deadline deadline_;
    const ogg_server_options options_;
    session_log log_;
    read_deadline::clock::time_point handshakeEnd_;
    bool handshaking_ = true;
    source_request_parser request_;
    // Received handshake bytes not yet taken as lines; emptied once streaming starts.
    std::string pending_;
    bool waitingForLine_ = false;
    ogg_stream_reader stream_;
};
