#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <QString>
#include <QThread>

#include <memory>
#include <mutex>
#include <string>

// A listener's worker thread: each run builds the server on a fresh I/O service
// and drives it until stop(). Work queued for an earlier server is destroyed with
// its service and can never reach a later one. Findings leave only through
// queued signals.
class AsioServerThread : public QThread
{
    Q_OBJECT
public:
    ~AsioServerThread() override;

Q_SIGNALS:
    // The server accepts connections on this port (the system's pick if 0 was asked).
    void listening(int port);
    // The server could not be set up (or its loop failed): the listener is off
    // until it is started again.
    void listenFailed(QString error);

public Q_SLOTS:
    // Stops the service and waits for the thread; the server and every connection
    // are closed. Returns at once when the thread does not run.
    void stop();
    // Listens on another port from now on (and starts the thread if it does not run).
    void restart(int portNumber);

protected:
    struct opened
    {
        std::shared_ptr<void> server;
        unsigned short port;
    };

    // Only stores the port (its low 16 bits are used) and the address; run() listens.
    AsioServerThread(int port, std::string listenAddress, const QString& name, QObject* parent);

    // Builds the server of one run on the service; throws when it cannot listen.
    // The server is released only after the thread has been joined. Subclasses
    // must call stop() in their destructor, as run() calls this.
    virtual opened open(boost::asio::io_context& service,
                        const boost::asio::ip::tcp::endpoint& endpoint) = 0;

    void run() final;

private:
    // Guards what the GUI thread and the listener thread both reach.
    std::mutex mutex_;
    std::unique_ptr<boost::asio::io_context> service_;
    std::shared_ptr<void> server_;
    int port_;
    std::string listenAddress_;
    bool stopRequested_ = false;
};
