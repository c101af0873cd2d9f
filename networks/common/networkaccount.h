#pragma once

#include "httpclient.h"
#include "posttarget.h"

#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class SecretStore;

// One account on one network (Mastodon, Bluesky, Discord). Posts are queued and
// sent in order by the account's own worker thread, so one network's outage,
// rate limit or slowness never delays another, and post() returns at once.
//
// On the worker: a 401 makes the state "sign in again" and later posts fail
// without a request until the account is configured anew; a 429 pauses the
// queue until the network's reset (at most a day), dropping a waiting
// now-playing post when a newer one of the same set waits; 5xx answers and
// network errors are retried with backoff up to three times. Every post sent,
// failed or dropped is one events.log line with its kind, its full text and the
// service's answer. An automatic message too long for the network is shortened
// for it alone.
class NetworkAccount : public QObject, public PostTarget
{
    Q_OBJECT
public:
    struct Timing
    {
        std::chrono::milliseconds connectTimeout{10000};
        std::chrono::milliseconds totalTimeout{30000};
        QVector<std::chrono::milliseconds> retryDelays{
            std::chrono::seconds(5), std::chrono::seconds(20), std::chrono::seconds(60)};
        // When a 429 names no usable reset.
        std::chrono::seconds defaultPause{15 * 60};
        std::chrono::seconds maxPause{24 * 3600};
    };

    ~NetworkAccount() override;

    // "Mastodon", "Bluesky", "Discord".
    QString name() const { return m_name; }

    // The "Active" setting given to configure().
    bool postingActive() const override { return m_active.load(); }
    void post(const QString& text, PostKind kind) override;

    // For the status area: a short state ("@dj@example.social", "sign in again",
    // "paused", "not reachable") and its detail (the reason, "until 21:40").
    QString state() const;
    QString detail() const;

    // This network's length of text and its limit, for the message counter.
    virtual int length(const QString& text) const = 0;
    int limit() const { return m_limit.load(); }
    int charactersLeft(const QString& text) const { return limit() - length(text); }

    // Tests shorten the waits. Takes effect with the next configure().
    void setTiming(const Timing& timing);

    // A post waits in the queue or is on its way (a quit waits for these).
    bool postsPending() const;

Q_SIGNALS:
    void stateChanged(QString state, QString detail);
    // What became of the last test post: the service's answer, or why it failed.
    void testFinished(bool sent, QString answer);

protected:
    // The result of one request, as the worker's queue acts on it.
    struct Attempt
    {
        enum Outcome { Done, Unauthorized, NotSetUp, RateLimited, Transient, Refused };
        Outcome outcome = Done;
        QString answer;     // the service's answer, for the log and the detail
        QDateTime resumeAt; // RateLimited: when the network's limit resets
    };

    NetworkAccount(QString name, SecretStore& secrets, int limit, QObject* parent);

    // GUI thread. Reads the secrets, then hands them to apply() on the worker,
    // which takes them with the settings captured in it, and connects the
    // account (connectAccount) before any post queued after this call.
    void configureAccount(bool active, const QStringList& secretKeys,
                          std::function<void(const QMap<QString, QString>&)> apply);
    // GUI thread: stores the secrets (an empty value removes one), then
    // configures the account again.
    void storeSecretsAndReconfigure(const QList<QPair<QString, QString>>& secrets);
    virtual void reconfigure() = 0;
    // GUI thread: runs task on the worker, in the queue's order but even while paused.
    void runOnWorker(std::function<void()> task);

    // Ends the worker, abandoning what waits. Every subclass calls it first in
    // its destructor, so that the worker never runs into a half-destroyed account.
    void stopWorker();

    // Worker thread.
    virtual Attempt connectAccount() = 0;
    // One try at sending; postId stays the same over the retries of one post.
    virtual Attempt send(const QString& text, const QByteArray& postId) = 0;
    HttpClient& http();
    void setState(const QString& state, const QString& detail = QString());
    // What the state says while all is well ("@dj.bsky.social").
    void setIdentity(const QString& identity);
    void setLimit(int limit) { m_limit.store(limit); }
    // Hands a secret the worker learnt (a new refresh token) to the store.
    void keepSecret(const QString& key, const QString& value);
    // Never written to the log or shown, even if a service echoes it.
    void hide(const QString& secret);
    QString scrub(QString text) const;
    // Judges an answer: 2xx, 401, 429 (resumeAt from the network's reset
    // header), 5xx or a network error (Transient), any other (Refused).
    static Attempt judge(const HttpClient::Reply& reply, const QString& answer,
                         const QDateTime& resetAt = QDateTime());
    // "HTTP 422: <the service's own words>" from one of its JSON fields.
    static QString answerText(const HttpClient::Reply& reply, const QStringList& fields);
    void log(const QString& text, int severity) const;

private:
    // Queued from the worker by name: the hand-over goes through this class's
    // own lock, never through data captured in Qt's event queue.
    Q_INVOKABLE void emitState();
    Q_INVOKABLE void flushSecrets();
    Q_INVOKABLE void emitTestResult();

    struct Job;
    struct Secrets;
    class Worker;

    void enqueue(Job job);
    void work();
    bool takeJob(std::unique_lock<std::mutex>& lock, Job& job);
    void process(Job& job);
    bool superseded(const Job& job) const;
    void dropSuperseded();
    void logPost(const Job& job, const QString& outcome, const QString& answer, int severity);
    bool waitFor(std::chrono::milliseconds delay);

    const QString m_name;
    QPointer<SecretStore> m_secrets;
    std::atomic<bool> m_active{false};
    std::atomic<int> m_limit;
    std::unique_ptr<Worker> m_worker;

    mutable std::mutex m_mutex; // guards everything below up to the worker-only part
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_postRunning = false;
    QDateTime m_pausedUntil;
    bool m_stopping = false;
    Timing m_timing;
    QString m_state;
    QString m_detail;
    QString m_shownState; // as last emitted
    QString m_shownDetail;
    std::shared_ptr<HttpClient> m_http;
    QList<QPair<QString, QString>> m_secretsToKeep;
    bool m_testSent = false;
    QString m_testAnswer; // empty: no result to hand over

    // Worker only.
    Timing m_workerTiming;
    QString m_identity;
    QStringList m_hidden;
    bool m_connected = false;
    bool m_signedOut = false;
    QString m_signedOutWhy;
};
