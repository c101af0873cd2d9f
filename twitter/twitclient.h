#pragma once

#include "twitthread.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class twitCurl;

// The application's one Twitter account: keeps the access token in the settings
// store, runs the PIN authorization (browser page plus PIN dialog), checks the
// stored token at start-up and posts status texts on its worker thread.
class TwitClient : public QObject
{
    Q_OBJECT
public:
    // The two places where the account meets the desktop. Tests replace them to
    // answer the dialog and to see the browser request without opening anything.
    struct DesktopHooks
    {
        // Shows the PIN dialog; returns the text, *ok false when cancelled.
        std::function<QString(const QString& title, const QString& label, bool* ok)> askPin;
        // Asks the desktop to open the page; must not wait for the browser.
        std::function<void(const QUrl& url)> openUrl;
    };
    // Empty members fall back to the real dialog and browser.
    static void setDesktopHooks(DesktopHooks hooks);

    // May show the PIN dialog before returning (no stored token, or the stored
    // one could not be checked because the service was unreachable).
    explicit TwitClient(QObject* parent = nullptr);
    // Abandons waiting jobs, cancels a running transfer and waits for the worker.
    ~TwitClient() override;

    TwitThread* worker() { return &m_worker; }

Q_SIGNALS:
    void setUserNameID(QString screenName, QString userId);

public Q_SLOTS:
    void updateStatus(QString text);
    void requestToken();

private:
    // Returns true when a new token pair was stored.
    bool authorize();
    void loadTokens();
    void checkCredentials();
    static std::shared_ptr<twitCurl> newClient();

    TwitThread m_worker;
    std::shared_ptr<twitCurl> m_client;
};
