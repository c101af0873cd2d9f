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
    enum class PostKind { NowPlaying, Other };

    // Reads the deployment settings once. May show the PIN dialog before returning
    // (no stored token); the stored token is checked in the background.
    explicit TwitClient(QObject* parent = nullptr);
    ~TwitClient() override;

    // "@name", "not authorized: request a new token in Preferences", "posting
    // paused until 21:40 (rate limit)", why the last post failed, or why the
    // start-up check could not reach the service; empty until known.
    QString accountState() const { return m_state; }

    // As a post target beside the other networks: the window's "Active" switch
    // for X decides whether the posting output hands it messages.
    void setPostingActive(bool active) { m_postingActive = active; }
    bool postingActive() const override { return m_postingActive; }
    void post(const QString& text, ::PostKind kind) override
    {
        updateStatus(text, kind == ::PostKind::NowPlaying ? PostKind::NowPlaying : PostKind::Other);
    }

Q_SIGNALS:
    void setUserNameID(QString screenName, QString userId);
    void accountStateChanged(QString text);

public Q_SLOTS:
    // A now-playing post may be dropped while posting is paused and a newer one waits.
    void updateStatus(QString text, TwitClient::PostKind kind = PostKind::Other);
    void requestToken();

private:
    enum class Transfer { Done, Failed, Interrupted };

    // Returns true when a new token pair was stored.
    bool authorize();
    Transfer runOffGuiThread(twitCurl& client, const std::function<bool()>& transfer);
    std::shared_ptr<twitCurl> newClient(bool shortTimeouts) const;
    void setState(const QString& text);
    void rememberName(const QString& screenName);
    void storeV2();

    twitCurl::Options m_options;
    TwitThread m_worker;
    std::shared_ptr<twitCurl> m_client;
    QString m_screenName;
    QString m_state;
    bool m_postingActive = true;
};

Q_DECLARE_METATYPE(TwitClient::PostKind)
