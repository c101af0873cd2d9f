#pragma once

#include "ogg_server_options.h"
#include "ogg_stream_reader.h"
#include "source_request_parser.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
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
    ogg_session(boost::asio::io_context& service, std::uint32_t number, Messanger* hub,
                const ogg_server_options& options);
    ~ogg_session() override;
    ogg_session(const ogg_session&) = delete;
    ogg_session& operator=(const ogg_session&) = delete;

    boost::asio::ip::tcp::socket& socket() { return socket_; }
    std::uint32_t number() const { return number_; }

    // Reads the next request or header line (taken from the bytes already received
    // when it is there); called once the socket is connected.
    void start();

    // Reports artist and title found in one stream's comment texts, if any.
    void report_track(const QStringList& comments);

    // "category:value", the form every error takes in the event log.
    static std::string error_text(const boost::system::error_code& error);

private:
    void handle_read_request(const boost::system::error_code& error, std::size_t bytes);
    void handle_write(const boost::system::error_code& error);
    void read_data();
    void handle_read(const boost::system::error_code& error, std::size_t bytes);
    void arm_deadline();
    void disarm_deadline();
    void handle_timeout(const boost::system::error_code& error);

    // ogg_stream_reader::observer
    void corrupt_data() override;
    void stream_started() override;
    void comments(const std::vector<std::string>& texts) override;
    void stream_ended() override;

    Messanger* hub_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    ogg_server_options options_;
    std::uint32_t number_;
    source_request_parser request_;
    // Received handshake bytes not yet taken as lines; emptied once streaming starts.
    std::string pending_;
    bool waitingForLine_ = false;
    ogg_stream_reader stream_;
};
