#include "serialworker.h"

#include <QSemaphore>

SerialWorker::SerialWorker(const QString& name) : m_context(std::make_unique<QObject>())
{
    m_thread.setObjectName(name);
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

SerialWorker::~SerialWorker()
{
    QThread* const thread = &m_thread;
    post([thread] { thread->quit(); });
    m_thread.wait();
}

void SerialWorker::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(m_context.get(), std::move(job), Qt::QueuedConnection);
}

void SerialWorker::wait()
{
    QSemaphore done;
    post([&done] { done.release(); });
    done.acquire();
}
