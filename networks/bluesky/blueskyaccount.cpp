#include "blueskyaccount.h"

#include "postlength.h"

#include <QJsonObject>

#include <algorithm>

namespace {

constexpr int graphemeLimit = 300;
constexpr int maxTagGraphemes = 64;
constexpr int maxTagBytes = 640;

// ratelimit-reset: epoch seconds.
QDateTime resetOf(const HttpClient::Reply& reply)
{
    bool ok = false;
    const qint64 reset = reply.header("ratelimit-reset").toLongLong(&ok);
    return ok ? QDateTime::fromSecsSinceEpoch(reset, Qt::UTC) : QDateTime();
}

QString errorName(const HttpClient::Reply& reply)
{
    return reply.json().value(QStringLiteral("error")).toString();
}

bool isPunctuation(uint c)
{
    return QChar::isPunct(c);
}

} // namespace

namespace bluesky {

QJsonArray tagFacets(const QString& text)
{
    QJsonArray facets;
    const QVector<uint> chars = text.toUcs4();
    int bytes = 0; // UTF-8 offset of chars[i]
    QVector<int> offsets;
    offsets.reserve(chars.size() + 1);
    for (const uint c : chars) {
        offsets.append(bytes);
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    offsets.append(bytes);
    const auto isSpace = [](uint c) { return QChar::isSpace(c); };
    for (int i = 0; i < chars.size(); ++i) {
        if ((chars[i] != '#' && chars[i] != 0xFF03) || (i > 0 && !isSpace(chars[i - 1])))
            continue;
        const int start = i;
        int end = i + 1;
        while (end < chars.size() && !isSpace(chars[end]))
            ++end;
        int tagEnd = end;
        while (tagEnd > i + 1 && isPunctuation(chars[tagEnd - 1]))
            --tagEnd;
        const QString tag = QString::fromUcs4(chars.constData() + start + 1, tagEnd - start - 1);
        const bool named =
            std::any_of(chars.constBegin() + start + 1, chars.constBegin() + tagEnd,
                        [](uint c) { return !QChar::isDigit(c) && !isPunctuation(c); });
        i = end - 1;
        if (!named || postlength::graphemes(tag) > maxTagGraphemes ||
            tag.toUtf8().size() > maxTagBytes)
            continue;
        facets.append(QJsonObject{
            {QStringLiteral("index"), QJsonObject{{QStringLiteral("byteStart"), offsets[start]},
                                                  {QStringLiteral("byteEnd"), offsets[tagEnd]}}},
            {QStringLiteral("features"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("$type"), QStringLiteral("app.bsky.richtext.facet#tag")},
                 {QStringLiteral("tag"), tag}}}}});
    }
    return facets;
}

} // namespace bluesky

BlueskyAccount::BlueskyAccount(SecretStore& secrets, QObject* parent)
    : NetworkAccount(QStringLiteral("Bluesky"), secrets, graphemeLimit, parent)
{}

BlueskyAccount::~BlueskyAccount()
{
    stopWorker();
}

void BlueskyAccount::configure(const networksettings::Bluesky& settings)
{
    m_settings = settings;
    configureAccount(
        settings.active,
        {networksettings::blueskyAppPassword(), networksettings::blueskyRefreshToken()},
        [this, settings](const QMap<QString, QString>& secrets) {
            const bool sameAccount = settings.handle == m_handle && settings.service == m_service;
            m_service = settings.service;
            m_handle = settings.handle;
            m_password = secrets.value(networksettings::blueskyAppPassword());
            const QByteArray stored =
                secrets.value(networksettings::blueskyRefreshToken()).toUtf8();
            // The session of this run stays; the stored token may be older.
            if (!sameAccount || m_refreshToken.isEmpty() || stored.isEmpty())
                m_refreshToken = stored;
            m_accessToken.clear();
            hide(m_password);
            hide(QString::fromUtf8(m_refreshToken));
        });
}

void BlueskyAccount::setAppPassword(const QString& password)
{
    storeSecretsAndReconfigure({{networksettings::blueskyAppPassword(), password.trimmed()},
                                {networksettings::blueskyRefreshToken(), QString()}});
}

int BlueskyAccount::length(const QString& text) const
{
    return postlength::graphemes(text);
}

NetworkAccount::Attempt BlueskyAccount::takeSession(const HttpClient::Reply& reply)
{
    Attempt attempt =
        judge(reply, answerText(reply, {QStringLiteral("error"), QStringLiteral("message")}),
              resetOf(reply));
    const QJsonObject json = reply.json();
    const QByteArray access = json.value(QStringLiteral("accessJwt")).toString().toUtf8();
    const QByteArray refresh = json.value(QStringLiteral("refreshJwt")).toString().toUtf8();
    if (attempt.outcome == Attempt::Done && (access.isEmpty() || refresh.isEmpty())) {
        attempt.outcome = Attempt::Refused;
        attempt.answer = QStringLiteral("HTTP %1: no session in the answer").arg(reply.status);
    }
    if (attempt.outcome != Attempt::Done)
        return attempt;
    m_accessToken = access;
    m_refreshToken = refresh;
    hide(QString::fromUtf8(access));
    hide(QString::fromUtf8(refresh));
    keepSecret(networksettings::blueskyRefreshToken(), QString::fromUtf8(refresh));
    m_did = json.value(QStringLiteral("did")).toString();
    const QString handle = json.value(QStringLiteral("handle")).toString();
    setIdentity(QLatin1Char('@') + (handle.isEmpty() ? m_handle : handle));
    return attempt;
}

NetworkAccount::Attempt BlueskyAccount::connectAccount()
{
    if (m_handle.isEmpty())
        return Attempt{Attempt::NotSetUp, QStringLiteral("no handle"), {}};
    const QByteArray xrpc = "https://" + m_service.toUtf8() + "/xrpc/";
    m_accessToken.clear();
    if (!m_refreshToken.isEmpty()) {
        const HttpClient::Reply reply =
            http().send(HttpClient::Request{"POST",
                                            xrpc + "com.atproto.server.refreshSession",
                                            {{"Authorization", "Bearer " + m_refreshToken}},
                                            {}});
        const Attempt attempt = takeSession(reply);
        // Only a refused refresh token leads to a new session.
        if (attempt.outcome != Attempt::Unauthorized && attempt.outcome != Attempt::Refused)
            return attempt;
        m_refreshToken.clear();
        keepSecret(networksettings::blueskyRefreshToken(), QString());
    }
    if (m_password.isEmpty())
        return Attempt{Attempt::NotSetUp, QStringLiteral("no app password"), {}};
    return takeSession(http().postJson(xrpc + "com.atproto.server.createSession",
                                       QJsonObject{{QStringLiteral("identifier"), m_handle},
                                                   {QStringLiteral("password"), m_password}}));
}

HttpClient::Reply BlueskyAccount::createRecord(const QString& text)
{
    QJsonObject record{
        {QStringLiteral("$type"), QStringLiteral("app.bsky.feed.post")},
        {QStringLiteral("text"), text},
        {QStringLiteral("createdAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
    const QJsonArray facets = bluesky::tagFacets(text);
    if (!facets.isEmpty())
        record.insert(QStringLiteral("facets"), facets);
    return http().postJson(
        "https://" + m_service.toUtf8() + "/xrpc/com.atproto.repo.createRecord",
        QJsonObject{{QStringLiteral("repo"), m_did},
                    {QStringLiteral("collection"), QStringLiteral("app.bsky.feed.post")},
                    {QStringLiteral("record"), record}},
        m_accessToken);
}

NetworkAccount::Attempt BlueskyAccount::send(const QString& text, const QByteArray&)
{
    if (m_accessToken.isEmpty()) {
        const Attempt session = connectAccount();
        if (session.outcome != Attempt::Done)
            return session;
    }
    HttpClient::Reply reply = createRecord(text);
    // The access token lives for hours only: refresh it once and try again.
    const QString error = errorName(reply);
    if (reply.status == 401 || (reply.status == 400 && (error == QLatin1String("ExpiredToken") ||
                                                        error == QLatin1String("InvalidToken")))) {
        const Attempt session = connectAccount();
        if (session.outcome != Attempt::Done)
            return session;
        reply = createRecord(text);
    }
    return judge(reply,
                 answerText(reply, reply.ok() ? QStringList{QStringLiteral("uri")}
                                              : QStringList{QStringLiteral("error"),
                                                            QStringLiteral("message")}),
                 resetOf(reply));
}
