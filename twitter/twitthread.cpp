#include "twitthread.h"

#include "eventlog.h"
#include "oauth.h"
#include "twitcurl.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {

// A post on its way usually completes within moments, but a logout or SIGTERM
// must end the program within two seconds.
constexpr unsigned long shutdownGraceMs = 300;
constexpr int postLimit = 280;
constexpr qint64 maxPauseSecs = 24 * 3600;
constexpr qint64 defaultPauseSecs = 15 * 60;
constexpr int v1OnlyForV2Code = 453;

QJsonObject jsonObject(const QByteArray& reply)
{
    return QJsonDocument::fromJson(reply).object();
}

// The service's own words for a refused request: v1.1 "errors", v2 problem details.
QString serviceErrorText(const QByteArray& reply)
{
    const QJsonObject object = jsonObject(reply);
    QStringList messages;
    for (const QJsonValue& error : object.value(QStringLiteral("errors")).toArray()) {
        const QString message = error.toObject().value(QStringLiteral("message")).toString();
        if (!message.isEmpty())
            messages.append(message);
    }
    for (const char* field : {"detail", "title"}) {
        const QString text = object.value(QLatin1String(field)).toString();
        if (messages.isEmpty() && !text.isEmpty())
            messages.append(text);
    }
    if (!messages.isEmpty())
        return messages.join(QStringLiteral("; "));
    return QString::fromUtf8(reply.left(200)).simplified();
}

// A text the account posted before: v1.1 code 187, v2 a problem detail.
bool isDuplicateRefusal(twitCurl& client)
{
    if (client.getLastHttpStatus() != 403)
        return false;
    const QJsonObject object = jsonObject(client.getLastReply());
    for (const QJsonValue& error : object.value(QStringLiteral("errors")).toArray()) {
        if (error.toObject().value(QStringLiteral("code")).toInt() == 187)
            return true;
    }
    return object.value(QStringLiteral("detail")).toString().contains(QLatin1String("duplicate"));
}

// The new post's ID as the service answered it, v1.1 or v2.
QString postedId(const QByteArray& reply)
{
    const QJsonObject object = jsonObject(reply);
    const QJsonObject v2 = object.value(QStringLiteral("data")).toObject();
    return (v2.isEmpty() ? object.value(QStringLiteral("id_str")) : v2.value(QStringLiteral("id")))
        .toString()
        .left(40);
}

// Why a start-up check that was answered did not name the account.
QString checkFailure(twitCurl& client)
{
    const long status = client.getLastHttpStatus();
    if (status == 429)
        return QStringLiteral("rate limit (HTTP 429)");
    if (status == 503)
        return QStringLiteral("service unavailable (HTTP 503)");
    if (status >= 200 && status < 300)
        return client.getLastReply().trimmed().isEmpty()
                   ? QStringLiteral("no answer (an empty reply)")
                   : QStringLiteral("no answer (a reply without the account)");
    return QStringLiteral("HTTP %1: %2").arg(status).arg(serviceErrorText(client.getLastReply()));
}

bool isV1OnlyRefusal(twitCurl& client)
{
    if (client.getLastHttpStatus() != 403)
        return false;
    for (const QJsonValue& error :
         jsonObject(client.getLastReply()).value(QStringLiteral("errors")).toArray()) {
        if (error.toObject().value(QStringLiteral("code")).toInt() == v1OnlyForV2Code)
            return true;
    }
    return false;
}

void logEvent(const QString& text, int severity = event_log::error)
{
    event_log::write(text.toStdString(), severity, 1);
}

// When posting may resume: the reset of the limit the service says is used up
// (user or app, per day or per window), else the latest reset it names; at
// most a day away.
QDateTime resetTime(twitCurl& client)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qint64 exhausted = 0;
    qint64 latest = 0;
    for (const QByteArray& limit :
         {QByteArrayLiteral("x-user-limit-24hour"), QByteArrayLiteral("x-app-limit-24hour"),
          QByteArrayLiteral("x-rate-limit")}) {
        bool ok = false;
        const qint64 reset = client.getLastHeader(limit + "-reset").toLongLong(&ok);
        if (!ok)
            continue;
        latest = std::max(latest, reset);
        if (client.getLastHeader(limit + "-remaining") == "0")
            exhausted = std::max(exhausted, reset);
    }
    qint64 reset = exhausted > now ? exhausted : latest;
    if (reset <= now)
        reset = now + defaultPauseSecs;
    return QDateTime::fromSecsSinceEpoch(std::min(reset, now + maxPauseSecs));
}

} // namespace

TwitThread::TwitThread(QObject* parent) : QThread(parent)
{}

TwitThread::~TwitThread()
{
    std::size_t abandoned = 0;
    QStringList dropped;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        abandoned = m_queue.size();
        for (const Job& job : m_queue)
            if (job.kind == PostStatus)
                dropped << QStringLiteral("%1 post \"%2\"")
                               .arg(job.post.kind, QString::fromUtf8(job.text));
        m_queue.clear();
    }
    m_wake.notify_all();
    for (const QString& post : qAsConst(dropped))
        logEvent(QStringLiteral("Twitter: %1 not sent, FENK quit first").arg(post),
                 event_log::warning);
    if (abandoned > 0)
        logEvent(
            QStringLiteral("Twitter: %1 post(s) or check(s) abandoned at shutdown").arg(abandoned),
            event_log::warning);
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

void TwitThread::setApi(Api forced, bool v2)
{
    m_forced.store(forced);
    m_v2.store(forced == Api::V2 || (forced == Api::Auto && v2));
}

void TwitThread::setTwitMsg(std::shared_ptr<twitCurl> Client, QByteArray message, Post post)
{
    enqueue(Job{PostStatus, std::move(Client), std::move(message), std::move(post)});
}

bool TwitThread::isIdle() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_active && m_queue.empty();
}

void TwitThread::getUserInfo(std::shared_ptr<twitCurl> Client, QByteArray screenName)
{
    enqueue(Job{FetchUserInfo, std::move(Client), std::move(screenName), Post()});
}

void TwitThread::verifyCredentials(std::shared_ptr<twitCurl> Client)
{
    enqueue(Job{VerifyCredentials, std::move(Client), QByteArray(), Post()});
}

void TwitThread::enqueue(Job job)
{
    if (!job.client)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping)
        return;
    m_queue.push_back(std::move(job));
    if (m_pausedUntil.isValid())
        dropSupersededPosts();
    if (m_active) {
        lock.unlock();
        m_wake.notify_all(); // a paused loop may have other work now
        return;
    }
    m_active = true;
    lock.unlock();
    // The previous run may still be on its way out after leaving its loop; a
    // running QThread ignores start(), so let it finish first. This is short.
    wait();
    start(QThread::NormalPriority);
}

// While posting is paused, a now-playing post that a newer one of the same set
// (no start, stop or other message between them) follows is stale: drop it.
void TwitThread::dropSupersededPosts()
{
    bool newerFollows = false;
    for (auto it = m_queue.end(); it != m_queue.begin();) {
        --it;
        if (it->kind != PostStatus)
            continue;
        if (!it->post.droppable) {
            newerFollows = false;
        } else if (newerFollows) {
            logEvent(QStringLiteral("Twitter: dropped the waiting post \"%1\", a newer track "
                                    "follows")
                         .arg(QString::fromUtf8(it->text)),
                     event_log::warning);
            it = m_queue.erase(it);
        } else {
            newerFollows = true;
        }
    }
}

// Called with the lock held. While paused, anything but a post may go first.
bool TwitThread::takeNextJob(Job& job)
{
    auto it = m_queue.begin();
    if (m_pausedUntil.isValid()) {
        if (QDateTime::currentDateTimeUtc() >= m_pausedUntil)
            m_pausedUntil = QDateTime();
        else
            it = std::find_if(m_queue.begin(), m_queue.end(),
                              [](const Job& j) { return j.kind != PostStatus; });
    }
    if (it == m_queue.end())
        return false;
    job = std::move(*it);
    m_queue.erase(it);
    return true;
}

void TwitThread::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_stopping && !m_queue.empty() && !takeNextJob(job))
                m_wake.wait_until(
                    lock, std::chrono::system_clock::from_time_t(m_pausedUntil.toSecsSinceEpoch()));
            if (m_stopping || job.kind == Idle) {
                m_active = false;
                return;
            }
            m_running = job.client;
        }
        const Result result = runJob(job);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_running.reset();
            if (result == Result::RateLimited && !m_stopping) {
                m_queue.push_front(job);
                dropSupersededPosts();
            }
        }
        // The job's reference may be the client's last one: let it go here, on the
        // thread that used it last.
        job.client.reset();
    }
}

bool TwitThread::switchToV2(twitCurl& client)
{
    if (m_v2.load() || m_forced.load() != Api::Auto || !isV1OnlyRefusal(client))
        return false;
    m_v2.store(true);
    logEvent(QStringLiteral("Twitter: this app may only use the v2 API, switching to it"),
             event_log::info);
    Q_EMIT switchedToV2();
    return true;
}

void TwitThread::pauseUntil(const QDateTime& until)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pausedUntil = until.toUTC();
    }
    logEvent(QStringLiteral("Twitter: rate limit reached, posting paused until %1")
                 .arg(until.toLocalTime().toString(Qt::ISODate)));
    Q_EMIT postingPaused(until);
}

TwitThread::Result TwitThread::runJob(Job& job)
{
    twitCurl& client = *job.client;
    switch (job.kind) {
    case PostStatus:
        return post(job);
    case FetchUserInfo:
        fetchUser(job);
        break;
    case VerifyCredentials: {
        bool done = m_v2.load() ? client.fetchMe() : client.verifyCredentials();
        if (done && switchToV2(client))
            done = client.fetchMe();
        if (!done) {
            const QString reason = QString::fromUtf8(client.getLastCurlError());
            logEvent(QStringLiteral("Twitter: cannot check the account: %1").arg(reason));
            Q_EMIT unreachable(reason);
        } else if (client.getLastHttpStatus() == 401) {
            logEvent(QStringLiteral("Twitter: the stored token was rejected (HTTP 401)"));
            Q_EMIT unauthorized();
        } else if (!reportUser(client.getLastReply())) {
            const QString reason = checkFailure(client);
            logEvent(QStringLiteral("Twitter: the account check failed: %1").arg(reason));
            Q_EMIT checkFailed(reason);
        }
        break;
    }
    default:
        break;
    }
    return Result::Done;
}

void TwitThread::fetchUser(const Job& job)
{
    twitCurl& client = *job.client;
    bool done = m_v2.load() ? client.fetchMe() : client.showUser(job.text, false);
    if (done && switchToV2(client))
        done = client.fetchMe();
    if (done)
        reportUser(client.getLastReply());
}

bool TwitThread::reportUser(const QByteArray& reply)
{
    const User user = readUser(reply);
    if (user.screenName.isEmpty())
        return false;
    Q_EMIT setUserNameID(user.screenName, user.userId);
    logEvent(QStringLiteral("Twitter: signed in as @%1").arg(user.screenName), event_log::info);
    return true;
}

TwitThread::Result TwitThread::post(Job& job)
{
    twitCurl& client = *job.client;
    const QString text = QString::fromUtf8(job.text);
    qDebug().noquote() << "Twitter Status: " + text;
    bool done = m_v2.load() ? client.postTweet(job.text) : client.postStatus(job.text, {});
    if (done && switchToV2(client))
        done = client.postTweet(job.text);
    const long status = client.getLastHttpStatus();
    if (done && status >= 200 && status < 300) {
        const QString id = postedId(client.getLastReply());
        const QString answer = id.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                                            : QStringLiteral("HTTP %1, id %2").arg(status).arg(id);
        logEvent(
            QStringLiteral("Twitter: %1 post sent: \"%2\" (%3)").arg(job.post.kind, text, answer),
            event_log::info);
        Q_EMIT posted(job.post.id, answer);
        return Result::Done;
    }
    if (done && status == 429) {
        pauseUntil(resetTime(client).toLocalTime());
        return Result::RateLimited;
    }
    qDebug() << "Twitter status update failed.";
    QString reason;
    if (job.text.isEmpty())
        reason = QStringLiteral("empty text");
    else if (!done)
        reason = QString::fromUtf8(client.getLastCurlError());
    else
        reason =
            QStringLiteral("HTTP %1: %2").arg(status).arg(serviceErrorText(client.getLastReply()));
    const int length = weightedLength(text);
    if (done && length > postLimit)
        reason +=
            QStringLiteral(" (%1 weighted characters, the limit is %2)").arg(length).arg(postLimit);
    // A second set at the same place repeats its start text word for word.
    if (done && !job.post.duplicateSuffix.isEmpty() && isDuplicateRefusal(client)) {
        job.text += std::exchange(job.post.duplicateSuffix, QByteArray());
        logEvent(QStringLiteral("Twitter: %1 post \"%2\" turned down as a duplicate (%3), sending "
                                "\"%4\" instead")
                     .arg(job.post.kind, text, reason, QString::fromUtf8(job.text)),
                 event_log::warning);
        return post(job);
    }
    logEvent(
        QStringLiteral("Twitter: %1 post failed: \"%2\" (%3)").arg(job.post.kind, text, reason));
    Q_EMIT postFailed(job.post.id, reason);
    if (status == 401)
        Q_EMIT unauthorized();
    return Result::Done;
}

TwitThread::User TwitThread::readUser(const QByteArray& reply)
{
    const QJsonObject object = jsonObject(reply);
    const QJsonObject v2 = object.value(QStringLiteral("data")).toObject();
    const QByteArray name = (v2.isEmpty() ? object.value(QStringLiteral("screen_name"))
                                          : v2.value(QStringLiteral("username")))
                                .toString()
                                .toUtf8();
    const QByteArray id =
        (v2.isEmpty() ? object.value(QStringLiteral("id_str")) : v2.value(QStringLiteral("id")))
            .toString()
            .toUtf8();
    if (!oAuth::isScreenName(name) || !oAuth::isUserId(id))
        return User();
    return User{QString::fromLatin1(name), QString::fromLatin1(id)};
}

int TwitThread::weightedLength(const QString& text)
{
    static const QRegularExpression url(QStringLiteral("https?://\\S+"));
    QString rest = text;
    int length = 0;
    for (auto match = url.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        length += 23;
        rest.replace(m.captured(), QString());
    }
    for (const uint c : rest.toUcs4()) {
        const bool light = c <= 4351 || (c >= 8192 && c <= 8205) || (c >= 8208 && c <= 8223) ||
                           (c >= 8242 && c <= 8247);
        length += light ? 1 : 2;
    }
    return length;
}
