#include "oggthread.h"

#include "advancedsettings.h"
#include "eventlog.h"
#include "ogg_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>

#include <exception>
#include <iostream>

OggThread::OggThread(int port, QObject* parent)
    : QThread(parent), hub(this), port_(port), listenAddress_(AdvancedSettings().listenAddress())
{
    setObjectName(QStringLiteral("Traktor listener"));
    options_.comment_echo = &std::cout;
}

OggThread::~OggThread()
{
    if (isRunning())
        stop();
    std::lock_guard<std::mutex> lock(mutex_);
    server_.reset();
    service_.reset();
}

void OggThread::setOptions(const ogg_server_options& options)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
}

void OggThread::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopRequested_)
        return;
    server_.reset();
    service_ = std::make_unique<boost::asio::io_context>(1);
    boost::asio::io_context& service = *service_;
    try {
        // Built under the lock, so that stop() and the destructor, which release the
        // server and its service, see everything done to them here, also when the
        // server could not be built and nothing else ran on this thread.
        const boost::asio::ip::tcp::endpoint endpoint(
            boost::asio::ip::make_address_v4(listenAddress_.toStdString()),
            static_cast<unsigned short>(port_ & 0xffff));
        server_ = std::make_shared<ogg_server>(&hub, service, endpoint, options_);
        const int bound = server_->port();
        lock.unlock();
        Q_EMIT listening(bound);
        service.run();
    } catch (const std::exception& e) {
        // Reported under the lock too: this is the thread's last touch of the object,
        // and stop() and the destructor take the lock before they release anything.
        // (The reports are queued to other threads, so nothing runs back into it.)
        if (!lock.owns_lock())
            lock.lock();
        event_log::write(std::string("Exception: ") + e.what(), event_log::error, 1);
        Q_EMIT listenFailed(QString::fromLocal8Bit(e.what()));
    }
}

void OggThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        if (service_)
            service_->stop();
    }
    quit();
    wait();
    std::lock_guard<std::mutex> lock(mutex_);
    // The thread is joined, so no handler runs: the server can go, and with the
    // service everything still queued for it, including connected sessions.
    server_.reset();
    service_.reset();
    stopRequested_ = false;
}

void OggThread::restart(int portNumber)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (portNumber == port_)
            return;
        port_ = portNumber;
    }
    if (isRunning())
        stop();
    start(QThread::NormalPriority);
}
