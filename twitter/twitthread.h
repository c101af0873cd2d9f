#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <deque>
#include <memory>
#include <mutex>

class twitCurl;

// Runs the account's network jobs (posting a status, reading the user's name and
// ID) off the GUI thread. Jobs queue up and run one at a time in the order they
// were requested; the thread runs while there is work and ends when the queue is
// empty. Each job keeps its client alive until it is done, so the account may
// replace its client at any time.
class TwitThread : public QThread
{
    Q_OBJECT
public:
    enum JobKind { Idle = 0, PostStatus = 1, FetchUserInfo = 2 };

    explicit TwitThread(QObject* parent = nullptr);
    // Abandons the jobs still waiting, cancels the running transfer and waits.
    ~TwitThread() override;

    // Jobs waiting or running.
    int pendingJobs() const;

    // The screen name and numeric ID of a user object reply, both empty unless
    // the reply carries both.
    struct User
    {
        QString screenName;
        QString userId;
    };
    static User readUser(const QByteArray& reply);

Q_SIGNALS:
    void setUserNameID(QString screenName, QString userId);

public Q_SLOTS:
    void setTwitMsg(std::shared_ptr<twitCurl> Client, QByteArray message);
    void getUserInfo(std::shared_ptr<twitCurl> Client, QByteArray screenName);

protected:
    void run() override;

private:
    struct Job
    {
        JobKind kind = Idle;
        std::shared_ptr<twitCurl> client;
        QByteArray text;
    };

    void enqueue(Job job);
    void runJob(const Job& job);

    mutable std::mutex m_mutex;
    std::deque<Job> m_queue;
    std::shared_ptr<twitCurl> m_running; // client of the job in progress
    bool m_active = false;               // run() has been started and not yet left its loop
    bool m_stopping = false;
};
