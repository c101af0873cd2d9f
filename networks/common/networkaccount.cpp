#include "networkaccount.h"

#include "advancedsettings.h"
#include "eventlog.h"
#include "postlength.h"
#include "secretstore.h"

#include <QJsonObject>
#include <QUuid>

#include <algorithm>

struct NetworkAccount::Secrets
{
    bool ready = false;
    QMap<QString, QString> values;
};

struct NetworkAccount::Job
{
    enum Kind { Connect, Post, Task } kind = Post;
    QString text;
    PostKind postKind = PostKind::Manual;
    QByteArray id;
    // Connect: the secrets as they arrive, the settings inside apply, the trust.
    std::shared_ptr<Secrets> secrets;
    std::function<void(const QMap<QString, QString>&)> apply;
    QString extraCaFile;
    std::function<void()> task;
};

class NetworkAccount::Worker : public QThread
{
public:
    explicit Worker(NetworkAccount* account) : m_account(account) {}

protected:
    void run() override { m_account->work(); }

private:
    NetworkAccount* m_account;
};

namespace {

bool automatic(PostKind kind)
{
    return kind == PostKind::NowPlaying || kind == PostKind::Start || kind == PostKind::Stop;
}

bool setBoundary(PostKind kind)
{
    return kind == PostKind::Start || kind == PostKind::Stop;
}

} // namespace

NetworkAccount::NetworkAccount(QString name, SecretStore& secrets, int limit, QObject* parent)
    : QObject(parent), m_name(std::move(name)), m_secrets(&secrets), m_limit(limit),
      m_worker(std::make_unique<Worker>(this))
{
    qRegisterMetaType<PostKind>();
    m_state = m_shownState = QStringLiteral("off");
    m_worker->setObjectName(m_name + QStringLiteral(" posting"));
    m_worker->start();
}

NetworkAccount::~NetworkAccount()
{
    stopWorker();
}

void NetworkAccount::stopWorker()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        if (m_http)
            m_http->cancel();
    }
    m_wake.notify_all();
    m_worker->wait();
    // A refresh token learnt just before the quit must still reach the store.
    flushSecrets();
}

void NetworkAccount::setTiming(const Timing& timing)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_timing = timing;
}

bool NetworkAccount::postsPending() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_postRunning || std::any_of(m_queue.begin(), m_queue.end(),
                                        [](const Job& job) { return job.kind == Job::Post; });
}

QString NetworkAccount::state() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

QString NetworkAccount::detail() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_detail;
}

void NetworkAccount::post(const QString& text, PostKind kind)
{
    Job job;
    job.kind = Job::Post;
    job.text = text;
    job.postKind = kind;
    job.id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    enqueue(std::move(job));
}

void NetworkAccount::configureAccount(bool active, const QStringList& secretKeys,
                                      std::function<void(const QMap<QString, QString>&)> apply)
{
    m_active.store(active);
    if (!active) {
        // Nothing to sign in to; a post still waiting is sent all the same.
        setState(QStringLiteral("off"));
        return;
    }
    Job job;
    job.kind = Job::Connect;
    job.secrets = std::make_shared<Secrets>();
    job.apply = std::move(apply);
    job.extraCaFile = AdvancedSettings().extraCaCertificates();
    setState(QStringLiteral("signing in"));
    const std::shared_ptr<Secrets> secrets = job.secrets;
    enqueue(std::move(job));
    if (!m_secrets) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        secrets->ready = true;
        m_wake.notify_all();
        return;
    }
    m_secrets->read(secretKeys, this, [this, secrets](const QMap<QString, QString>& values) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            secrets->values = values;
            secrets->ready = true;
        }
        m_wake.notify_all();
    });
}

void NetworkAccount::storeSecretsAndReconfigure(const QList<QPair<QString, QString>>& secrets)
{
    if (secrets.isEmpty() || !m_secrets) {
        reconfigure();
        return;
    }
    m_secrets->write(
        secrets.first().first, secrets.first().second,
        [self = QPointer<NetworkAccount>(this), rest = secrets.mid(1)](SecretStore::Place) {
            if (self)
                self->storeSecretsAndReconfigure(rest);
        });
}

void NetworkAccount::runOnWorker(std::function<void()> task)
{
    Job job;
    job.kind = Job::Task;
    job.task = std::move(task);
    enqueue(std::move(job));
}

void NetworkAccount::enqueue(Job job)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_queue.push_back(std::move(job));
        if (m_pausedUntil.isValid())
            dropSuperseded();
    }
    m_wake.notify_all();
}

// Called with the lock held. While paused only tasks may go; a sign-in waits for
// its secrets, and everything queued after it waits with it.
bool NetworkAccount::takeJob(std::unique_lock<std::mutex>& lock, Job& job)
{
    (void)lock;
    auto it = m_queue.begin();
    if (m_pausedUntil.isValid()) {
        if (QDateTime::currentDateTimeUtc() >= m_pausedUntil)
            m_pausedUntil = QDateTime();
        else
            it = std::find_if(m_queue.begin(), m_queue.end(),
                              [](const Job& j) { return j.kind == Job::Task; });
    }
    if (it == m_queue.end() || (it->kind == Job::Connect && !it->secrets->ready))
        return false;
    job = std::move(*it);
    m_queue.erase(it);
    return true;
}

void NetworkAccount::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_postRunning = false;
            while (!m_stopping && !takeJob(lock, job)) {
                if (m_pausedUntil.isValid())
                    m_wake.wait_until(
                        lock, std::chrono::system_clock::time_point(
                                  std::chrono::milliseconds(m_pausedUntil.toMSecsSinceEpoch())));
                else
                    m_wake.wait(lock);
            }
            if (m_stopping)
                break;
            m_postRunning = job.kind == Job::Post;
        }
        process(job);
    }
    std::deque<Job> left;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        left.swap(m_queue);
    }
    for (const Job& job : left) {
        if (job.kind == Job::Post)
            logPost(job, QStringLiteral("not sent"), QStringLiteral("FENK quit first"),
                    event_log::warning);
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_http.reset();
}

bool NetworkAccount::waitFor(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, delay, [this] { return m_stopping; });
}

HttpClient& NetworkAccount::http()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_http) {
        // A sign-in step before the account was ever configured.
        m_workerTiming = m_timing;
        m_http = std::make_shared<HttpClient>(
            HttpClient::Options{AdvancedSettings().extraCaCertificates(), m_timing.connectTimeout,
                                m_timing.totalTimeout});
    }
    return *m_http;
}

void NetworkAccount::process(Job& job)
{
    if (job.kind == Job::Task) {
        job.task();
        return;
    }
    if (job.kind == Job::Connect) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_workerTiming = m_timing;
            HttpClient::Options options{job.extraCaFile, m_timing.connectTimeout,
                                        m_timing.totalTimeout};
            m_http = std::make_shared<HttpClient>(options);
        }
        m_connected = false;
        m_signedOut = false;
        m_identity.clear();
        job.apply(job.secrets->values);
    } else if (m_signedOut) {
        logPost(job, QStringLiteral("failed"), m_signedOutWhy, event_log::error);
        return;
    } else if (automatic(job.postKind)) {
        const int limit = m_limit.load();
        job.text = postlength::shorten(
            job.text, [this, limit](const QString& t) { return length(t) <= limit; });
    }
    if (!m_http) {
        logPost(job, QStringLiteral("failed"), QStringLiteral("the account is off"),
                event_log::error);
        return;
    }

    for (int retry = 0;; ++retry) {
        Attempt attempt;
        if (!m_connected || job.kind == Job::Connect) {
            attempt = connectAccount();
            m_connected = attempt.outcome == Attempt::Done;
        }
        if (m_connected && job.kind == Job::Post)
            attempt = send(job.text, job.id);
        attempt.answer = scrub(attempt.answer);

        switch (attempt.outcome) {
        case Attempt::Done:
            if (job.kind == Job::Post)
                logPost(job, QStringLiteral("sent"), attempt.answer, event_log::info);
            setState(m_identity);
            return;
        case Attempt::Unauthorized:
        case Attempt::NotSetUp: {
            const bool setUp = attempt.outcome == Attempt::Unauthorized;
            m_signedOut = true;
            m_signedOutWhy = setUp ? QStringLiteral("sign in again: ") + attempt.answer
                                   : QStringLiteral("not set up: ") + attempt.answer;
            setState(setUp ? QStringLiteral("sign in again") : QStringLiteral("not set up"),
                     attempt.answer);
            if (job.kind == Job::Post)
                logPost(job, QStringLiteral("failed"), attempt.answer, event_log::error);
            else
                log(QStringLiteral("%1: %2").arg(m_name, m_signedOutWhy), event_log::error);
            return;
        }
        case Attempt::RateLimited: {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            QDateTime until = attempt.resumeAt.toUTC();
            if (!until.isValid() || until <= now)
                until = now.addSecs(m_workerTiming.defaultPause.count());
            until = std::min(until, now.addSecs(m_workerTiming.maxPause.count()));
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_pausedUntil = until;
                m_queue.push_front(job);
                dropSuperseded();
            }
            log(QStringLiteral("%1: rate limit reached (%2), posting paused until %3")
                    .arg(m_name, attempt.answer, until.toLocalTime().toString(Qt::ISODate)),
                event_log::warning);
            setState(QStringLiteral("paused"),
                     QStringLiteral("until %1")
                         .arg(until.toLocalTime().toString(QStringLiteral("HH:mm"))));
            return;
        }
        case Attempt::Refused:
            if (job.kind == Job::Post)
                logPost(job, QStringLiteral("failed"), attempt.answer, event_log::error);
            else
                log(QStringLiteral("%1: sign-in refused: %2").arg(m_name, attempt.answer),
                    event_log::error);
            setState(job.kind == Job::Post ? QStringLiteral("last post failed")
                                           : QStringLiteral("sign-in failed"),
                     attempt.answer);
            return;
        case Attempt::Transient:
            break;
        }
        if (retry >= m_workerTiming.retryDelays.size()) {
            setState(QStringLiteral("not reachable"), attempt.answer);
            if (job.kind == Job::Post)
                logPost(job, QStringLiteral("failed"),
                        QStringLiteral("%1 (after %2 tries)").arg(attempt.answer).arg(retry + 1),
                        event_log::error);
            else
                log(QStringLiteral("%1: cannot sign in: %2").arg(m_name, attempt.answer),
                    event_log::error);
            return;
        }
        log(QStringLiteral("%1: %2, trying again").arg(m_name, attempt.answer), event_log::info);
        if (!waitFor(m_workerTiming.retryDelays[retry])) {
            if (job.kind == Job::Post)
                logPost(job, QStringLiteral("not sent"), QStringLiteral("FENK quit first"),
                        event_log::warning);
            return;
        }
        if (job.kind == Job::Post && superseded(job)) {
            logPost(job, QStringLiteral("dropped"), QStringLiteral("a newer track waits"),
                    event_log::warning);
            return;
        }
    }
}

// A now-playing post that a newer one of the same set (no start or stop
// between them) waits behind is stale.
bool NetworkAccount::superseded(const Job& job) const
{
    if (job.postKind != PostKind::NowPlaying)
        return false;
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Job& waiting : m_queue) {
        if (waiting.kind != Job::Post)
            continue;
        if (waiting.postKind == PostKind::NowPlaying)
            return true;
        if (setBoundary(waiting.postKind))
            return false;
    }
    return false;
}

// Called with the lock held.
void NetworkAccount::dropSuperseded()
{
    bool newerFollows = false;
    for (auto it = m_queue.end(); it != m_queue.begin();) {
        --it;
        if (it->kind != Job::Post)
            continue;
        if (setBoundary(it->postKind)) {
            newerFollows = false;
        } else if (it->postKind == PostKind::NowPlaying) {
            if (newerFollows) {
                logPost(*it, QStringLiteral("dropped"), QStringLiteral("a newer track waits"),
                        event_log::warning);
                it = m_queue.erase(it);
            } else {
                newerFollows = true;
            }
        }
    }
}

void NetworkAccount::setState(const QString& state, const QString& detail)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (state == m_state && detail == m_detail)
            return;
        m_state = state;
        m_detail = detail;
    }
    if (QThread::currentThread() == thread())
        emitState();
    else
        QMetaObject::invokeMethod(this, "emitState", Qt::QueuedConnection);
}

void NetworkAccount::emitState()
{
    QString state;
    QString detail;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == m_shownState && m_detail == m_shownDetail)
            return;
        state = m_shownState = m_state;
        detail = m_shownDetail = m_detail;
    }
    Q_EMIT stateChanged(state, detail);
}

void NetworkAccount::setIdentity(const QString& identity)
{
    m_identity = identity;
}

void NetworkAccount::keepSecret(const QString& key, const QString& value)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_secretsToKeep.append({key, value});
    }
    QMetaObject::invokeMethod(this, "flushSecrets", Qt::QueuedConnection);
}

void NetworkAccount::flushSecrets()
{
    QList<QPair<QString, QString>> secrets;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        secrets.swap(m_secretsToKeep);
    }
    for (const auto& secret : secrets) {
        if (m_secrets)
            m_secrets->write(secret.first, secret.second);
    }
}

void NetworkAccount::hide(const QString& secret)
{
    if (secret.size() >= 4 && !m_hidden.contains(secret))
        m_hidden.append(secret);
}

QString NetworkAccount::scrub(QString text) const
{
    for (const QString& secret : m_hidden)
        text.replace(secret, QStringLiteral("***"));
    return text;
}

NetworkAccount::Attempt NetworkAccount::judge(const HttpClient::Reply& reply, const QString& answer,
                                              const QDateTime& resetAt)
{
    Attempt attempt;
    attempt.answer = reply.completed ? answer : reply.error;
    if (!reply.completed || reply.status >= 500)
        attempt.outcome = Attempt::Transient;
    else if (reply.status == 401)
        attempt.outcome = Attempt::Unauthorized;
    else if (reply.status == 429)
        attempt.outcome = Attempt::RateLimited;
    else if (reply.status < 200 || reply.status >= 300)
        attempt.outcome = Attempt::Refused;
    attempt.resumeAt = resetAt;
    return attempt;
}

QString NetworkAccount::answerText(const HttpClient::Reply& reply, const QStringList& fields)
{
    const QJsonObject json = reply.json();
    QStringList words;
    for (const QString& field : fields) {
        const QJsonValue value = json.value(field);
        const QString text =
            value.isDouble() ? QString::number(value.toDouble()) : value.toString().simplified();
        if (!text.isEmpty())
            words.append(text);
    }
    QString text = words.join(QStringLiteral(": "));
    if (text.isEmpty() && !(reply.status >= 200 && reply.status < 300))
        text = QString::fromUtf8(reply.body.left(200)).simplified();
    text.truncate(300);
    return text.isEmpty() ? QStringLiteral("HTTP %1").arg(reply.status)
                          : QStringLiteral("HTTP %1: %2").arg(reply.status).arg(text);
}

void NetworkAccount::log(const QString& text, int severity) const
{
    event_log::write(scrub(text).toStdString(), severity, 1);
}

void NetworkAccount::logPost(const Job& job, const QString& outcome, const QString& answer,
                             int severity)
{
    log(QStringLiteral("%1: %2 post %3: \"%4\" \u2014 %5")
            .arg(m_name, postKindName(job.postKind), outcome, job.text, answer),
        severity);
    if (job.postKind != PostKind::Test)
        return;
    // Only now-playing posts are logged with the lock held (when dropped).
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_testSent = outcome == QLatin1String("sent");
        m_testAnswer = scrub(answer.isEmpty() ? outcome : answer);
    }
    QMetaObject::invokeMethod(this, "emitTestResult", Qt::QueuedConnection);
}

void NetworkAccount::emitTestResult()
{
    bool sent = false;
    QString answer;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        sent = m_testSent;
        answer.swap(m_testAnswer);
    }
    if (!answer.isEmpty())
        Q_EMIT testFinished(sent, answer);
}
