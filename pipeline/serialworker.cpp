#include "serialworker.h"

#include <pthread.h>

SerialWorker::SerialWorker(std::string name) : m_name(std::move(name)), m_thread([this] { run(); })
{}

SerialWorker::~SerialWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void SerialWorker::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_changed.notify_all();
}

void SerialWorker::wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

void SerialWorker::run()
{
    pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
        if (m_jobs.empty())
            return; // stopping, and everything posted before has run
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}
