#include "oscthread.h"

#include "advancedsettings.h"
#include "eventlog.h"
#include "messanger.h"
#include "osc_server.h"

#include <boost/format.hpp>

#include <exception>

OscThread::OscThread(int port, QObject* parent)
    : QThread(parent), hub(new Messanger(this)),
      server(std::make_unique<osc_server>(hub, AdvancedSettings().listenAddress().toStdString())),
      port(port)
{}

OscThread::~OscThread()
{
    // Destroying a running thread would abort the process.
    if (isRunning())
        stop();
    claimServer();
}

int OscThread::listeningPort() const
{
    return server->listeningPort();
}

void OscThread::run()
{
    try {
        server->start(port);
    } catch (const std::exception& e) {
        event_log::write(boost::format("Exception: %1%") % e.what(), event_log::error, 1);
        server->reset();
        serverReleased.store(true, std::memory_order_release);
        return;
    }
    serverReleased.store(true, std::memory_order_release);
    exec();
}

void OscThread::claimServer()
{
    serverReleased.load(std::memory_order_acquire);
}

void OscThread::stop()
{
    server->stop();
    quit();
    wait();
    claimServer();
    // The thread may have ended on its own before the stop reached it; that
    // stop must not end the next run.
    server->reset();
}

void OscThread::restart(int portNumber)
{
    if (portNumber == port)
        return;
    if (isRunning()) {
        server->stop();
        quit();
        wait();
    }
    claimServer();
    server->reset();
    // Stored only now: a thread that has just started may still be reading it.
    port = portNumber;
    start(QThread::NormalPriority);
}
