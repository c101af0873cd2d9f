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
    stop();
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
        failed.store(true, std::memory_order_release);
        return;
    }
    failed.store(false, std::memory_order_release);
    exec();
}

void OscThread::stop()
{
    server->stop();
    quit();
    wait();
    // Takes the server over from the ended thread (see the member).
    failed.load(std::memory_order_acquire);
    // The thread may have ended on its own before the stop reached it; that
    // stop must not end the next run.
    server->reset();
    failed.store(false, std::memory_order_relaxed);
}

void OscThread::restart(int portNumber)
{
    if (portNumber == port)
        return;
    stop();
    // Stored only now: a thread that has just started may still be reading it.
    port = portNumber;
    start(QThread::NormalPriority);
}
