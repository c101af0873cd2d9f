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
    int currentPort() const { return port; }
    // The port being listened on, 0 while not listening. Any thread.
    int listeningPort() const;
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
    // After the thread has ended: takes over what it did with the server.
    void claimServer();

    Messanger* hub;
    std::unique_ptr<osc_server> server;
    int port;
    // The thread hands the server back when run() ends. QThread's own state
    // (wait(), isRunning()) orders that before what follows, but only through
    // Qt's own locks; this release/acquire pair states the hand-over where race
    // checkers see it.
    std::atomic<bool> serverReleased{false};
};
