#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A named thread that runs jobs one after another in the order they were posted.
// The destructor lets every job posted before it finish, then joins, so no
// write handed over is lost at shutdown. Plain standard locking, which the race
// checker sees, rather than Qt's event queue, which it cannot.
class SerialWorker
{
public:
    // name: at most 15 characters show in the system's thread list.
    explicit SerialWorker(std::string name);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> job);
    // Returns once every job posted so far has run.
    void wait();

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    bool m_busy = false;
    bool m_stopping = false;
    const std::string m_name;
    std::thread m_thread; // last: starts once the rest exists
};
