#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class twitCurl;

// How a post is handled and logged.
struct TwitPost
{
    quint64 id = 0;
    QString kind = QStringLiteral("other"); // "now playing", "start", ... for the log
    // A now-playing post may give way to a newer one while posting is paused.
    bool droppable = false;
    // Appended for one more try when the service turns the text down as a duplicate.
    QByteArray duplicateSuffix;
};

// Runs the account's network jobs (posting, reading the user's name and ID,
// checking the stored token) off the GUI thread, one at a time in the order they
// were asked for; the thread runs while there is work. Each job keeps its client
// alive until it is done, so the account may replace its client at any time.
//
// The worker speaks the v1.1 API until the service says (code 453) that the app
// may only use v2; it then repeats the call on v2 and stays there. After a rate
// limit (429) it holds the posts back, in order, until the service's reset time.
class TwitThread : public QThread
{
    Q_OBJECT
public:
    enum JobKind { Idle = 0, PostStatus = 1, FetchUserInfo = 2, VerifyCredentials = 3 };
    enum class Api { Auto, V1, V2 };

    explicit TwitThread(QObject* parent = nullptr);
    // Abandons the jobs still waiting, cancels the running transfer and waits.
    ~TwitThread() override;

    // forced: V1 or V2 use only that API; Auto starts on v2 when v2 is true.
    void setApi(Api forced, bool v2);

    // The screen name and numeric ID of a v1.1 or v2 user reply, both empty unless
    // the reply carries both in the form the service allows.
    struct User
    {
        QString screenName;
        QString userId;
    };
    static User readUser(const QByteArray& reply);

    // Twitter's weighted length of a post: URLs count 23, most Latin text 1 per
    // character, CJK and emoji 2.
    static int weightedLength(const QString& text);

    using Post = TwitPost;

    // Nothing waits and no job runs.
    bool isIdle() const;

Q_SIGNALS:
    void setUserNameID(QString screenName, QString userId);
    void posted(quint64 id, QString answer);
    void postFailed(quint64 id, QString reason);
    void unauthorized();
    void postingPaused(QDateTime until);
    // The start-up check could not reach the service.
    void unreachable(QString reason);
    // The start-up check was answered, but not with the account (rate limit,
    // service unavailable, an empty reply): the token was not rejected.
    void checkFailed(QString reason);
    void switchedToV2();

public Q_SLOTS:
    void setTwitMsg(std::shared_ptr<twitCurl> Client, QByteArray message, Post post = Post());
    void getUserInfo(std::shared_ptr<twitCurl> Client, QByteArray screenName);
    void verifyCredentials(std::shared_ptr<twitCurl> Client);

protected:
    void run() override;

private:
    struct Job
    {
        JobKind kind = Idle;
        std::shared_ptr<twitCurl> client;
        QByteArray text;
        Post post;
    };
    enum class Result { Done, RateLimited };

    void enqueue(Job job);
    bool takeNextJob(Job& job);
    void dropSupersededPosts();
    Result runJob(Job& job);
    Result post(Job& job);
    void fetchUser(const Job& job);
    bool reportUser(const QByteArray& reply);
    bool switchToV2(twitCurl& client);
    void pauseUntil(const QDateTime& until);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    std::shared_ptr<twitCurl> m_running; // client of the job in progress
    QDateTime m_pausedUntil;             // posts wait until then
    bool m_active = false;               // run() has been started and not yet left its loop
    bool m_stopping = false;
    std::atomic<Api> m_forced{Api::Auto};
    std::atomic<bool> m_v2{false};
};
