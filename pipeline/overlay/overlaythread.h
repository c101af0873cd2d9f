#pragma once

#include "asioserverthread.h"
#include "overlay_http.h"

#include <memory>
#include <string>

// The overlay server's worker thread: each run opens the server on 127.0.0.1
// and drives it until stop().
class OverlayThread : public AsioServerThread
{
    Q_OBJECT
public:
    OverlayThread(int port, std::shared_ptr<overlay_feed> feed, std::string templatePath,
                  std::string defaultPage, const overlay_http_options& options,
                  QObject* parent = nullptr);
    ~OverlayThread() override;

protected:
    opened open(boost::asio::io_context& service,
                const boost::asio::ip::tcp::endpoint& endpoint) override;

private:
    const std::shared_ptr<overlay_feed> feed_;
    const std::string templatePath_;
    const std::string defaultPage_;
    const overlay_http_options options_;
};
