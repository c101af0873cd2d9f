#pragma once

#include <QThread>

#include <atomic>
#include <memory>

class Messanger;
class osc_server;

// Hosts the OSC receiver: run() listens on the port until stop(), then idles in
// the thread's event loop. Reports leave through the hub, whose signals reach
// receivers on other threads as queued calls.
class OscThread : public QThread
{
    Q_OBJECT
public:
    // Does not listen yet; the address to bind is read from the deployment
    // settings here.
    explicit OscThread(int port, QObject* parent = nullptr);
    ~OscThread() override;

    Messanger* messanger() const { return hub; }
    // The port being listened on, 0 while not listening. Any thread.
    int listeningPort() const;
    // The thread ended because the port could not be opened; until the next
    // stop() or restart(). Any thread.
    bool listenFailed() const { return failed.load(std::memory_order_acquire); }
    // For the tests, before the thread starts.
    osc_server* oscServer() const { return server.get(); }

public Q_SLOTS:
    // Closes the port and all connections and waits for the thread to end.
    void stop();
    // Moves the receiver to another port (and starts it if it is not running).
    void restart(int portNumber);

protected:
    void run() override;

private:
    Messanger* hub;
    std::unique_ptr<osc_server> server;
    int port;
    // Written by the thread as the last thing it does with the server. Reading
    // it after the thread has ended orders that work before the caller's own
    // use of the server: QThread::wait() does so too, but through Qt's locks,
    // which race checkers do not see.
    std::atomic<bool> failed{false};
};
