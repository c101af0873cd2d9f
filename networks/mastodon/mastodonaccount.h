#pragma once

#include "httpclient.h"
#include "networkaccount.h"
#include "networksettings.h"

#include <QUrl>

#include <mutex>

// The desktop sign-in on a Mastodon instance, as plain steps: register FENK as
// an app, open the authorize page, exchange the code the DJ pastes for a token
// with the scopes "write:statuses read:accounts".
namespace mastodon {

struct App
{
    QString clientId;
    QString clientSecret;
};

QByteArray baseUrl(const QString& instance);
// POST /api/v1/apps; an empty App, and why in *error, when refused.
App registerApp(HttpClient& http, const QString& instance, QString* error);
QUrl authorizeUrl(const QString& instance, const App& app);
// POST /oauth/token; the access token, or empty and why in *error.
QString exchangeCode(HttpClient& http, const QString& instance, const App& app, const QString& code,
                     QString* error);

} // namespace mastodon

// A Mastodon account: posts with POST /api/v1/statuses (an Idempotency-Key per
// message, so a retry after a lost answer never posts twice), in the visibility
// of the settings; the length limit is the instance's, links counting 23.
class MastodonAccount : public NetworkAccount
{
    Q_OBJECT
public:
    explicit MastodonAccount(SecretStore& secrets, QObject* parent = nullptr);
    ~MastodonAccount() override;

    // Takes the settings and the stored token, then checks the account.
    void configure(const networksettings::Mastodon& settings);
    // A token the DJ pasted: kept as a secret, then checked.
    void setAccessToken(const QString& token);

    // The desktop sign-in on the instance given (host[:port], also taken as the
    // account's instance): registerApp() ends in authorizePageReady (open it in
    // the browser) or signInFailed; then exchangeCode() with the code the page
    // shows stores the token and checks the account (stateChanged).
    void registerApp(const QString& instance);
    void exchangeCode(const QString& code);

    int length(const QString& text) const override;

Q_SIGNALS:
    void authorizePageReady(QUrl page);
    void signInFailed(QString reason);

protected:
    void reconfigure() override { configure(m_settings); }
    Attempt connectAccount() override;
    Attempt send(const QString& text, const QByteArray& postId) override;

private:
    // The worker's sign-in results reach the GUI thread through m_signInMutex.
    Q_INVOKABLE void deliverSignIn();
    void signInDone(const QUrl& page, const QString& token, const QString& error);

    networksettings::Mastodon m_settings;
    std::mutex m_signInMutex;
    QUrl m_signInPage;
    QString m_signInToken;
    QString m_signInError;
    // Worker only.
    QString m_instance;
    QString m_visibility;
    QByteArray m_token;
    mastodon::App m_app;
};
