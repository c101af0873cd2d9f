#include "discordaccount.h"

#include "postlength.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

namespace {

constexpr int characterLimit = 2000;

// Retry-After: seconds, possibly with a fraction.
QDateTime resetOf(const HttpClient::Reply& reply)
{
    bool ok = false;
    const double seconds = reply.header("Retry-After").toDouble(&ok);
    if (!ok || seconds < 0)
        return QDateTime();
    return QDateTime::currentDateTimeUtc().addMSecs(static_cast<qint64>(std::ceil(seconds * 1000)));
}

} // namespace

DiscordAccount::DiscordAccount(SecretStore& secrets, QObject* parent)
    : NetworkAccount(QStringLiteral("Discord"), secrets, characterLimit, parent)
{}

DiscordAccount::~DiscordAccount()
{
    stopWorker();
}

void DiscordAccount::configure(const networksettings::Discord& settings)
{
    m_settings = settings;
    configureAccount(settings.active, {networksettings::discordWebhookUrl()},
                     [this](const QMap<QString, QString>& secrets) {
                         const QString url =
                             secrets.value(networksettings::discordWebhookUrl()).trimmed();
                         m_url = url.toUtf8();
                         hide(url);
                         // The token is the URL's last part: never in the log either.
                         hide(QUrl(url).path().section(QLatin1Char('/'), -1));
                     });
}

void DiscordAccount::setWebhookUrl(const QString& url)
{
    storeSecretsAndReconfigure({{networksettings::discordWebhookUrl(), url.trimmed()}});
}

int DiscordAccount::length(const QString& text) const
{
    return postlength::codePoints(text);
}

NetworkAccount::Attempt DiscordAccount::connectAccount()
{
    const QUrl url(QString::fromUtf8(m_url), QUrl::StrictMode);
    if (m_url.isEmpty())
        return Attempt{Attempt::NotSetUp, QStringLiteral("no webhook URL"), {}};
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return Attempt{
            Attempt::NotSetUp, QStringLiteral("the webhook URL must be an https URL"), {}};
    const HttpClient::Reply reply = http().send(HttpClient::Request{"GET", m_url, {}, {}});
    Attempt attempt = judge(reply, answerText(reply, {QStringLiteral("message")}), resetOf(reply));
    // A webhook that was deleted or whose token is wrong: the DJ needs a new URL.
    if (reply.status == 404 || reply.status == 403)
        return Attempt{Attempt::Unauthorized, attempt.answer, {}};
    // A webhook elsewhere may not answer a GET at all; its posts will tell.
    if (attempt.outcome == Attempt::Refused)
        attempt.outcome = Attempt::Done;
    if (attempt.outcome == Attempt::Done) {
        const QString name = reply.json().value(QStringLiteral("name")).toString().simplified();
        setIdentity(name.isEmpty() ? QStringLiteral("webhook on %1").arg(url.host())
                                   : QStringLiteral("webhook \u201C%1\u201D").arg(name.left(80)));
    }
    return attempt;
}

NetworkAccount::Attempt DiscordAccount::send(const QString& text, const QByteArray&)
{
    // wait=true: the answer names the message, for the log.
    QUrl url(QString::fromUtf8(m_url));
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("wait"));
    query.addQueryItem(QStringLiteral("wait"), QStringLiteral("true"));
    url.setQuery(query);
    const HttpClient::Reply reply = http().postJson(
        url.toEncoded(), QJsonObject{{QStringLiteral("content"), text},
                                     {QStringLiteral("allowed_mentions"),
                                      QJsonObject{{QStringLiteral("parse"), QJsonArray()}}}});
    const Attempt attempt =
        judge(reply,
              answerText(reply, reply.ok() ? QStringList{QStringLiteral("id")}
                                           : QStringList{QStringLiteral("message")}),
              resetOf(reply));
    if (reply.status == 404 || reply.status == 403)
        return Attempt{Attempt::Unauthorized, attempt.answer, {}};
    return attempt;
}
