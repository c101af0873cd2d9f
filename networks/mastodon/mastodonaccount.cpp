#include "mastodonaccount.h"

#include "eventlog.h"
#include "postlength.h"

#include <QJsonObject>
#include <QUrlQuery>

namespace {

const QString scopes = QStringLiteral("write:statuses read:accounts");
const QString outOfBand = QStringLiteral("urn:ietf:wg:oauth:2.0:oob");
constexpr int defaultLimit = 500;
constexpr int linkWeight = 23;

QByteArray form(const QList<QPair<QString, QString>>& fields)
{
    QUrlQuery query;
    for (const auto& field : fields)
        query.addQueryItem(field.first, QString::fromLatin1(QUrl::toPercentEncoding(field.second)));
    return query.toString(QUrl::FullyEncoded).toUtf8();
}

HttpClient::Reply postForm(HttpClient& http, const QByteArray& url,
                           const QList<QPair<QString, QString>>& fields)
{
    return http.send(HttpClient::Request{
        "POST", url, {{"Content-Type", "application/x-www-form-urlencoded"}}, form(fields)});
}

QString refusal(const HttpClient::Reply& reply)
{
    if (!reply.completed)
        return reply.error;
    const QJsonObject json = reply.json();
    QString text = json.value(QStringLiteral("error_description")).toString();
    if (text.isEmpty())
        text = json.value(QStringLiteral("error")).toString();
    return QStringLiteral("HTTP %1: %2").arg(reply.status).arg(text.simplified().left(300));
}

// X-RateLimit-Reset: an ISO 8601 time.
QDateTime resetOf(const HttpClient::Reply& reply)
{
    return QDateTime::fromString(QString::fromLatin1(reply.header("X-RateLimit-Reset")),
                                 Qt::ISODateWithMs);
}

} // namespace

namespace mastodon {

QByteArray baseUrl(const QString& instance)
{
    return "https://" + instance.toUtf8();
}

App registerApp(HttpClient& http, const QString& instance, QString* error)
{
    const HttpClient::Reply reply =
        postForm(http, baseUrl(instance) + "/api/v1/apps",
                 {{QStringLiteral("client_name"), QStringLiteral("FENK")},
                  {QStringLiteral("redirect_uris"), outOfBand},
                  {QStringLiteral("scopes"), scopes},
                  {QStringLiteral("website"), QStringLiteral("https://www.fenk.fm")}});
    const QJsonObject json = reply.json();
    App app{json.value(QStringLiteral("client_id")).toString(),
            json.value(QStringLiteral("client_secret")).toString()};
    if (!reply.ok() || app.clientId.isEmpty() || app.clientSecret.isEmpty()) {
        *error = refusal(reply);
        return App();
    }
    return app;
}

QUrl authorizeUrl(const QString& instance, const App& app)
{
    QUrl url(QString::fromUtf8(baseUrl(instance)) + QStringLiteral("/oauth/authorize"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("client_id"), app.clientId);
    query.addQueryItem(QStringLiteral("redirect_uri"), outOfBand);
    query.addQueryItem(QStringLiteral("scope"), scopes);
    url.setQuery(query);
    return url;
}

QString exchangeCode(HttpClient& http, const QString& instance, const App& app, const QString& code,
                     QString* error)
{
    const HttpClient::Reply reply =
        postForm(http, baseUrl(instance) + "/oauth/token",
                 {{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                  {QStringLiteral("code"), code.trimmed()},
                  {QStringLiteral("client_id"), app.clientId},
                  {QStringLiteral("client_secret"), app.clientSecret},
                  {QStringLiteral("redirect_uri"), outOfBand},
                  {QStringLiteral("scope"), scopes}});
    const QString token = reply.json().value(QStringLiteral("access_token")).toString();
    if (!reply.ok() || token.isEmpty()) {
        *error = refusal(reply);
        return QString();
    }
    return token;
}

} // namespace mastodon

MastodonAccount::MastodonAccount(SecretStore& secrets, QObject* parent)
    : NetworkAccount(QStringLiteral("Mastodon"), secrets, defaultLimit, parent)
{}

MastodonAccount::~MastodonAccount()
{
    stopWorker();
}

void MastodonAccount::configure(const networksettings::Mastodon& settings)
{
    m_settings = settings;
    configureAccount(settings.active, {networksettings::mastodonAccessToken()},
                     [this, settings](const QMap<QString, QString>& secrets) {
                         m_instance = settings.instance;
                         m_visibility = settings.visibility;
                         m_token = secrets.value(networksettings::mastodonAccessToken()).toUtf8();
                         hide(QString::fromUtf8(m_token));
                     });
}

void MastodonAccount::setAccessToken(const QString& token)
{
    storeSecretsAndReconfigure({{networksettings::mastodonAccessToken(), token.trimmed()}});
}

void MastodonAccount::registerApp(const QString& instance)
{
    m_settings.instance = networksettings::hostOf(instance);
    const QString host = m_settings.instance;
    runOnWorker([this, host] {
        QString error = QStringLiteral("no instance address");
        m_app = host.isEmpty() ? mastodon::App() : mastodon::registerApp(http(), host, &error);
        hide(m_app.clientSecret);
        if (m_app.clientId.isEmpty()) {
            log(QStringLiteral("Mastodon: registering FENK on %1 failed: %2").arg(host, error),
                event_log::warning);
            signInDone(QUrl(), QString(), error);
            return;
        }
        signInDone(mastodon::authorizeUrl(host, m_app), QString(), QString());
    });
}

void MastodonAccount::exchangeCode(const QString& code)
{
    const QString host = m_settings.instance;
    runOnWorker([this, host, code] {
        QString error = QStringLiteral("register the app first");
        const QString token = m_app.clientId.isEmpty()
                                  ? QString()
                                  : mastodon::exchangeCode(http(), host, m_app, code, &error);
        if (token.isEmpty()) {
            log(QStringLiteral("Mastodon: sign-in on %1 failed: %2").arg(host, error),
                event_log::warning);
            signInDone(QUrl(), QString(), error);
            return;
        }
        hide(token);
        signInDone(QUrl(), token, QString());
    });
}

void MastodonAccount::signInDone(const QUrl& page, const QString& token, const QString& error)
{
    {
        const std::lock_guard<std::mutex> lock(m_signInMutex);
        m_signInPage = page;
        m_signInToken = token;
        m_signInError = error;
    }
    QMetaObject::invokeMethod(this, "deliverSignIn", Qt::QueuedConnection);
}

void MastodonAccount::deliverSignIn()
{
    QUrl page;
    QString token;
    QString error;
    {
        const std::lock_guard<std::mutex> lock(m_signInMutex);
        std::swap(page, m_signInPage);
        std::swap(token, m_signInToken);
        std::swap(error, m_signInError);
    }
    if (!page.isEmpty())
        Q_EMIT authorizePageReady(page);
    else if (!token.isEmpty())
        setAccessToken(token);
    else if (!error.isEmpty())
        Q_EMIT signInFailed(error);
}

int MastodonAccount::length(const QString& text) const
{
    return postlength::withLinksAs(text, linkWeight);
}

NetworkAccount::Attempt MastodonAccount::connectAccount()
{
    if (m_instance.isEmpty())
        return Attempt{Attempt::NotSetUp, QStringLiteral("no instance address"), {}};
    if (m_token.isEmpty())
        return Attempt{Attempt::NotSetUp, QStringLiteral("no access token"), {}};
    const QByteArray base = mastodon::baseUrl(m_instance);
    const HttpClient::Reply me =
        http().send(HttpClient::Request{"GET",
                                        base + "/api/v1/accounts/verify_credentials",
                                        {{"Authorization", "Bearer " + m_token}},
                                        {}});
    const Attempt attempt = judge(me, answerText(me, {QStringLiteral("error")}), resetOf(me));
    if (attempt.outcome != Attempt::Done)
        return attempt;
    const QString user = me.json().value(QStringLiteral("username")).toString();
    setIdentity(QStringLiteral("@%1@%2").arg(user, m_instance));

    const HttpClient::Reply instance =
        http().send(HttpClient::Request{"GET", base + "/api/v2/instance", {}, {}});
    const int limit = instance.json()
                          .value(QStringLiteral("configuration"))
                          .toObject()
                          .value(QStringLiteral("statuses"))
                          .toObject()
                          .value(QStringLiteral("max_characters"))
                          .toInt(defaultLimit);
    setLimit(limit > 0 ? limit : defaultLimit);
    return attempt;
}

NetworkAccount::Attempt MastodonAccount::send(const QString& text, const QByteArray& postId)
{
    const HttpClient::Reply reply = http().postJson(
        mastodon::baseUrl(m_instance) + "/api/v1/statuses",
        QJsonObject{{QStringLiteral("status"), text}, {QStringLiteral("visibility"), m_visibility}},
        m_token, {{"Idempotency-Key", postId}});
    return judge(reply,
                 answerText(reply, reply.ok() ? QStringList{QStringLiteral("url")}
                                              : QStringList{QStringLiteral("error")}),
                 resetOf(reply));
}
