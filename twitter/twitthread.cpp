#include "twitthread.h"

#include "twitcurl.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr unsigned long shutdownGraceMs = 2000;

// The service's own words for a refused request, for the debug output.
QString serviceErrorText(const QByteArray& reply)
{
    const QJsonDocument doc = QJsonDocument::fromJson(reply);
    if (doc.isObject()) {
        QStringList messages;
        const QJsonValue errors = doc.object().value(QStringLiteral("errors"));
        for (const QJsonValue& error : errors.toArray()) {
            const QString message = error.toObject().value(QStringLiteral("message")).toString();
            if (!message.isEmpty())
                messages.append(message);
        }
        if (!messages.isEmpty())
            return messages.join(QStringLiteral("; "));
    }
    return QString::fromUtf8(reply.left(500));
}

} // namespace

TwitThread::TwitThread(QObject* parent) : QThread(parent)
{}

TwitThread::~TwitThread()
{
    std::size_t abandoned = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        abandoned = m_queue.size();
        m_queue.clear();
    }
    if (abandoned > 0)
        qDebug() << "Twitter:" << abandoned << "queued job(s) abandoned at shutdown.";
    // A post on its way usually completes within moments; a silent server must
    // not hold up the program's exit for the whole transfer time-out.
    if (!wait(shutdownGraceMs)) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_running)
                m_running->cancel();
        }
        wait();
    }
    // The worker has ended. Letting go of its last client under the lock also
    // states that order where race checkers can see it (they cannot see the
    // thread's join).
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_running.reset();
}

int TwitThread::pendingJobs() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size()) + (m_running ? 1 : 0);
}

void TwitThread::setTwitMsg(std::shared_ptr<twitCurl> Client, QByteArray message)
{
    enqueue(Job{PostStatus, std::move(Client), std::move(message)});
}

void TwitThread::getUserInfo(std::shared_ptr<twitCurl> Client, QByteArray screenName)
{
    enqueue(Job{FetchUserInfo, std::move(Client), std::move(screenName)});
}

void TwitThread::enqueue(Job job)
{
    if (!job.client)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping)
        return;
    m_queue.push_back(std::move(job));
    if (m_active)
        return; // the running loop picks it up
    m_active = true;
    lock.unlock();
    // The previous run may still be on its way out after leaving its loop; a
    // running QThread ignores start(), so let it finish first. This is short.
    wait();
    start(QThread::NormalPriority);
}

void TwitThread::run()
{
    for (;;) {
        Job job;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.empty() || m_stopping) {
                m_active = false;
                return;
            }
            job = std::move(m_queue.front());
            m_queue.pop_front();
            m_running = job.client;
        }
        runJob(job);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_running.reset();
        }
        // The job's reference may be the client's last one: let it go here, on the
        // thread that used it last.
        job.client.reset();
    }
}

void TwitThread::runJob(const Job& job)
{
    twitCurl& client = *job.client;
    if (job.kind == PostStatus) {
        qDebug().noquote() << "Twitter Status: " + QString::fromUtf8(job.text);
        if (!client.postStatus(job.text, QByteArray())) {
            qDebug().noquote() << "Twitter status update failed."
                               << QString::fromUtf8(client.getLastCurlError());
        } else if (client.getLastHttpStatus() >= 400) {
            qDebug().noquote() << "Twitter status update failed." << client.getLastHttpStatus()
                               << serviceErrorText(client.getLastReply());
        }
        return;
    }
    if (job.kind == FetchUserInfo) {
        if (!client.showUser(job.text, false))
            return;
        const User user = readUser(client.getLastReply());
        if (!user.screenName.isEmpty())
            Q_EMIT setUserNameID(user.screenName, user.userId);
    }
}

TwitThread::User TwitThread::readUser(const QByteArray& reply)
{
    const QJsonObject object = QJsonDocument::fromJson(reply).object();
    User user{object.value(QStringLiteral("screen_name")).toString(),
              object.value(QStringLiteral("id_str")).toString()};
    if (user.screenName.isEmpty() || user.userId.isEmpty())
        return User();
    return user;
}
