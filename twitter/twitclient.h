#pragma once

#include "posttarget.h"
#include "twitcurl.h"
#include "twitthread.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The application's one Twitter account: keeps the access token in the settings
// store, runs the PIN authorization (browser page plus PIN dialog), checks the
// stored token at start-up and posts status texts on its worker thread. No
// transfer runs on the GUI thread, so a quit is honoured at any moment.
class TwitClient : public QObject, public PostTarget
{
    Q_OBJECT
public:
    enum class PostKind { NowPlaying, Other, Start, Stop, Manual, Test };

    // Where the access token pair is kept; without one, in the settings file.
    // read calls done (possibly later, never after context is gone) with the
    // stored pair, empty when there is none.
    struct TokenStore
    {
        using Done = std::function<void(QString key, QString secret)>;
        std::function<void(QObject* context, Done done)> read;
        std::function<void(const QString& key, const QString& secret)> write;
    };
    static const QString& tokenKeyName();
    static const QString& tokenSecretName();

    // Reads the deployment settings once. Without a stored token and with
    // posting switched on (active), shows the PIN dialog (before returning when
    // the pair is read from the settings file); the stored token is checked in
    // the background.
    explicit TwitClient(QObject* parent = nullptr, bool active = true, TokenStore tokens = {});
    ~TwitClient() override;

    // Whether posting is switched on: only then does FENK ask for a PIN by itself.
    void setActive(bool active) { m_active = active; }
    // A token pair is stored (it may still be rejected by the service).
    bool hasToken() const { return m_hasToken; }
    // No post or check waits or runs.
    bool isIdle() const { return m_worker.isIdle(); }

    // The account as the status line shows it: a state ("@name", "checking…",
    // "not authorized", "posting paused", "last post failed", "not reachable",
    // "check failed") and its detail; accountState() is "<state> — <detail>".
    QString accountState() const;
    QString accountVerdict() const { return m_state; }
    QString accountDetail() const { return m_detail; }

    // As a post target beside the other networks: the "Active" switch for X
    // decides whether the posting output hands it messages.
    void setPostingActive(bool active) { setActive(active); }
    bool postingActive() const override { return m_active; }
    void post(const QString& text, ::PostKind kind) override { post(text, kind, QString()); }
    // With duplicateSuffix as updateStatus takes it.
    quint64 post(const QString& text, ::PostKind kind, const QString& duplicateSuffix);

Q_SIGNALS:
    void setUserNameID(QString screenName, QString userId);
    void accountStateChanged(QString state, QString detail);
    // The outcome of the post updateStatus numbered id: the service's answer,
    // or why it failed.
    void postFinished(quint64 id, bool sent, QString answer);

public Q_SLOTS:
    // A now-playing post may be dropped while posting is paused and a newer one
    // waits. A text the service turns down as a duplicate is sent once more with
    // duplicateSuffix appended, when there is one. Returns the post's number.
    quint64 updateStatus(QString text, TwitClient::PostKind kind = PostKind::Other,
                         QString duplicateSuffix = QString());
    void requestToken();

private:
    enum class Transfer { Done, Failed, Interrupted };

    // Returns true when a new token pair was stored.
    bool authorize();
    Transfer runOffGuiThread(twitCurl& client, const std::function<bool()>& transfer);
    std::shared_ptr<twitCurl> newClient(bool shortTimeouts) const;
    void useTokens(const QString& key, const QString& secret);
    void setState(const QString& state, const QString& detail = QString());
    void rememberName(const QString& screenName);
    void storeV2();

    twitCurl::Options m_options;
    TokenStore m_tokens;
    bool m_hasToken = false;
    bool m_pinAsked = false;
    TwitThread m_worker;
    std::shared_ptr<twitCurl> m_client;
    QString m_screenName;
    QString m_state;
    QString m_detail;
    quint64 m_lastPost = 0;
    bool m_active = true;
};

Q_DECLARE_METATYPE(TwitClient::PostKind)
