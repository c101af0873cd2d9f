#pragma once

#include "ogg_server_options.h"
#include "ogg_stream_reader.h"
#include "read_deadline.h"
#include "request_parser.h"
#include "session_log.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>

class source_table;
struct metadata_request;

// One client connection. A source client (SOURCE or PUT) gets its reply and then
// streams: an Ogg stream's comment headers are read for its tracks, any other
// format is read and dropped. A metadata client (GET /admin/metadata) reports one
// track of a connected source; libshout's probes get the answers that let it go
// on in plain HTTP, anything else an HTTP error. A session is kept alive only by
// its outstanding operations; when it starts none, it is released and its socket
// closed.
class ogg_session : public std::enable_shared_from_this<ogg_session>,
                    private ogg_stream_reader::observer
{
public:
    using clock = read_deadline::clock;

    ogg_session(boost::asio::ip::tcp::socket socket, std::uint32_t number,
                std::shared_ptr<source_table> sources, const ogg_server_options& options);
    ~ogg_session() override;
    ogg_session(const ogg_session&) = delete;
    ogg_session& operator=(const ogg_session&) = delete;

    // Reads the request; called once, when the connection is accepted.
    void start();

    // A source that sent stream data since `since`: it must not give way to a newcomer.
    bool streamed_since(clock::time_point since) const { return lastStreamData_ >= since; }
    // When a byte last arrived (the time of the connection if none has).
    clock::time_point last_data() const { return lastData_; }
    // Ends the session for the reason given (logged).
    void drop(const std::string& reason);

private:
    enum class format { undecided, ogg, other };

    void take_lines();
    void handle_read_request(const boost::system::error_code& error, std::size_t bytes);
    void dispatch();
    void start_source();
    void answer_metadata(const metadata_request& request);
    void refuse(const char* status, const std::string& why, const std::string& extraFields = {});
    void reply_and_close(std::string reply);
    void linger();
    void start_stream();
    void read_data();
    void handle_read(const boost::system::error_code& error, std::size_t bytes);
    void check_stream_rate();
    void handle_timeout();
    bool read_failed(const boost::system::error_code& error);
    void end(const std::string& reason, int severity);
    std::string request_text() const;
    // Reports artist and title found in one stream's comment texts, if any.
    void report_track(const QStringList& comments);
    template <class Work> void guarded(Work work);

    // ogg_stream_reader::observer
    void corrupt_data() override;
    void stream_started() override;
    void comments(const std::vector<std::string>& texts) override;
    void stream_ended() override;
    void headers_too_large() override;
    void no_comment_header() override;

    std::shared_ptr<source_table> sources_;
    boost::asio::ip::tcp::socket socket_;
    read_deadline deadline_;
    const ogg_server_options options_;
    session_log log_;
    clock::time_point handshakeEnd_;
    clock::time_point lastData_;
    // When stream data (not the request) last arrived; the clock's start if never.
    clock::time_point lastStreamData_;
    request_parser request_;
    // Received request bytes, of which the first taken_ are lines already taken;
    // after the request, the first stream bytes.
    std::string pending_;
    std::size_t taken_ = 0;
    // What is being written to the client.
    std::string reply_;
    bool waitingForLine_ = false;
    bool streaming_ = false;
    bool ended_ = false;
    // The mount this session is the source of, once its handshake is done.
    std::string mount_;
    format format_ = format::undecided;
    std::size_t windowBytes_ = 0;
    ogg_stream_reader stream_;
};
