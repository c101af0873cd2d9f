#include "asioserverthread.h"

#include "eventlog.h"

#include <boost/asio/ip/address_v4.hpp>

#include <exception>

AsioServerThread::AsioServerThread(int port, std::string listenAddress, const QString& name,
                                   QObject* parent)
    : QThread(parent), port_(port), listenAddress_(std::move(listenAddress))
{
    setObjectName(name);
}

AsioServerThread::~AsioServerThread()
{
    stop();
}

void AsioServerThread::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopRequested_)
        return;
    server_.reset();
    service_ = std::make_unique<boost::asio::io_context>(1);
    boost::asio::io_context& service = *service_;
    try {
        // Built under the lock, so that stop(), which releases server and service,
        // sees everything done to them here, also when the server could not be built.
        const boost::asio::ip::tcp::endpoint endpoint(
            boost::asio::ip::make_address_v4(listenAddress_),
            static_cast<unsigned short>(port_ & 0xffff));
        const opened server = open(service, endpoint);
        server_ = server.server;
        lock.unlock();
        Q_EMIT listening(server.port);
        service.run();
    } catch (const std::exception& e) {
        // The thread's last touch of the object, also under the lock.
        if (!lock.owns_lock())
            lock.lock();
        event_log::write(std::string("Exception: ") + e.what(), event_log::error, 1);
        Q_EMIT listenFailed(QString::fromLocal8Bit(e.what()));
    }
}

void AsioServerThread::stop()
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
    // No handler runs any more: the server goes, and with the service everything
    // still queued for it, connected sessions included.
    server_.reset();
    service_.reset();
    stopRequested_ = false;
}

void AsioServerThread::restart(int portNumber)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (portNumber == port_)
            return;
        port_ = portNumber;
    }
    stop();
    start(QThread::NormalPriority);
}
