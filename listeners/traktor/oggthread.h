#pragma once

#include "messanger.h"
#include "ogg_server_options.h"

#include <QString>
#include <QThread>

#include <memory>
#include <mutex>

namespace boost {
namespace asio {
class io_context;
} // namespace asio
} // namespace boost
class ogg_server;

// The worker thread of the Traktor source server. Its run() builds the server on
// the configured port and drives the I/O service until stop(); findings reach
// the GUI thread only through the hub's queued signals.
class OggThread : public QThread
{
    Q_OBJECT
public:
    // Only stores the port (its low 16 bits are used) and the listen address
    // ("advanced/ListenAddress"); the port is opened by run().
    explicit OggThread(int port, QObject* parent = nullptr);
    ~OggThread() override;

    // Takes effect at the next start(): tests shorten the deadlines here.
    void setOptions(const ogg_server_options& options);

    Messanger hub;

Q_SIGNALS:
    // The server accepts connections on this port (the system's pick if 0 was asked).
    void listening(int port);
    // The server could not be set up (or its loop failed): the listener is off.
    void listenFailed(QString error);

public Q_SLOTS:
    void stop();
    void restart(int portNumber);

protected:
    void run() override;

private:
    // Guards what the GUI thread and the listener thread both reach: the service
    // (stopped from the GUI thread), the server and the settings of the next run.
    mutable std::mutex mutex_;
    // A fresh service per run: work queued for an earlier server is destroyed with
    // its service and can never reach a later one.
    std::unique_ptr<boost::asio::io_context> service_;
    std::shared_ptr<ogg_server> server_;
    int port_;
    QString listenAddress_;
    ogg_server_options options_;
    bool stopRequested_ = false;
};
