#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

// A named thread that runs jobs one after another in the order they were posted.
// The destructor lets every job posted before it finish, then joins, so no
// write handed over is lost at shutdown.
class SerialWorker
{
public:
    explicit SerialWorker(const QString& name);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> job);
    // Returns once every job posted so far has run.
    void wait();

private:
    QThread m_thread;
    std::unique_ptr<QObject> m_context;
};
