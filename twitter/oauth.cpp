#include "oauth.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>

namespace {

const QByteArray headerPrefix = QByteArrayLiteral("Authorization: OAuth ");
const QByteArray signatureName = QByteArrayLiteral("oauth_signature");

constexpr int nonceLength = 32;
constexpr int maxScreenNameLength = 15;

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// application/x-www-form-urlencoded: "+" is a blank, %XX a byte.
QByteArray formDecode(QByteArray value)
{
    value.replace('+', ' ');
    return QByteArray::fromPercentEncoding(value);
}

// Every "name=value" piece of a query or form body, decoded and encoded afresh;
// a piece without "=" is a name with an empty value.
void addFormPairs(const QByteArray& data, oAuth::ParameterMap& map)
{
    if (data.isEmpty())
        return;
    for (const QByteArray& piece : data.split('&')) {
        if (piece.isEmpty())
            continue;
        const int eq = piece.indexOf('=');
        const QByteArray name = eq < 0 ? piece : piece.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : piece.mid(eq + 1);
        map.emplace(oAuth::percentEncode(formDecode(name)),
                    oAuth::percentEncode(formDecode(value)));
    }
}

QByteArray join(const oAuth::ParameterMap& map, const char* separator, bool quoted)
{
    QByteArray joined;
    for (const auto& [name, value] : map) {
        if (!joined.isEmpty())
            joined.append(separator);
        joined.append(name).append('=');
        if (quoted)
            joined.append('"').append(value).append('"');
        else
            joined.append(value);
    }
    return joined;
}

QByteArray methodName(oAuth::RequestKind kind)
{
    switch (kind) {
    case oAuth::GET:
        return QByteArrayLiteral("GET");
    case oAuth::POST:
        return QByteArrayLiteral("POST");
    case oAuth::DELETE:
        return QByteArrayLiteral("DELETE");
    }
    return QByteArray();
}

QByteArray randomNonce()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr int alphabetSize = sizeof(alphabet) - 1;
    QRandomGenerator* random = QRandomGenerator::system();
    QByteArray nonce(nonceLength, Qt::Uninitialized);
    for (char& c : nonce)
        c = alphabet[random->bounded(alphabetSize)];
    return nonce;
}

} // namespace

QByteArray oAuth::percentEncode(const QByteArray& data)
{
    return data.toPercentEncoding();
}

bool oAuth::isScreenName(const QByteArray& name)
{
    return !name.isEmpty() && name.size() <= maxScreenNameLength &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_';
           });
}

bool oAuth::isUserId(const QByteArray& id)
{
    return !id.isEmpty() && id.size() <= 20 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

oAuth::ParameterMap oAuth::protocolParameters(bool withPin, const QByteArray& nonce,
                                              const QByteArray& timestamp) const
{
    ParameterMap map;
    const auto add = [&map](const char* name, const QByteArray& value) {
        map.emplace(QByteArray(name), value);
    };
    add("oauth_consumer_key", m_consumerKey);
    add("oauth_nonce", nonce);
    add("oauth_signature_method", QByteArrayLiteral("HMAC-SHA1"));
    add("oauth_timestamp", timestamp);
    if (!m_tokenKey.isEmpty())
        add("oauth_token", m_tokenKey);
    if (withPin && !m_pin.isEmpty())
        add("oauth_verifier", m_pin);
    add("oauth_version", QByteArrayLiteral("1.0"));
    return map;
}

QByteArray oAuth::signatureBase(RequestKind kind, const QByteArray& url, const QByteArray& body,
                                const ParameterMap& protocol)
{
    const int question = url.indexOf('?');
    ParameterMap map;
    if (question >= 0)
        addFormPairs(url.mid(question + 1), map);
    addFormPairs(body, map);
    for (const auto& [name, value] : protocol)
        map.emplace(percentEncode(name), percentEncode(value));
    const QByteArray baseUrl = question >= 0 ? url.left(question) : url;
    return methodName(kind) + '&' + percentEncode(baseUrl) + '&' +
           percentEncode(join(map, "&", false));
}

QByteArray oAuth::sign(const QByteArray& base, const QByteArray& consumerSecret,
                       const QByteArray& tokenSecret)
{
    const QByteArray key = percentEncode(consumerSecret) + '&' + percentEncode(tokenSecret);
    return QMessageAuthenticationCode::hash(base, key, QCryptographicHash::Sha1).toBase64();
}

QByteArray oAuth::authHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                             bool withPin, const QByteArray& nonce,
                             const QByteArray& timestamp) const
{
    ParameterMap protocol = protocolParameters(withPin, nonce, timestamp);
    const QByteArray signature =
        sign(signatureBase(kind, url, body, protocol), m_consumerSecret, m_tokenSecret);
    // Query and body pairs are signed, but only the protocol pairs go into the header.
    protocol.emplace(signatureName, signature);
    ParameterMap header;
    for (const auto& [name, value] : protocol)
        header.emplace(percentEncode(name), percentEncode(value));
    return headerPrefix + join(header, ",", true);
}

bool oAuth::buildAuthHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                            bool withPin, QByteArray& header)
{
    // A service rejects a nonce it has seen with the same timestamp as a replay, so
    // every header gets a nonce of its own, even several within one second.
    header = authHeader(kind, url, body, withPin, randomNonce(),
                        QByteArray::number(QDateTime::currentSecsSinceEpoch()));
    return !header.isEmpty();
}

bool oAuth::takeTokenReply(const QByteArray& reply)
{
    if (reply.isEmpty())
        return false;
    for (const QByteArray& pair : reply.split('&')) {
        const int eq = pair.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray name = formDecode(pair.left(eq));
        const QByteArray value = formDecode(pair.mid(eq + 1));
        // Tokens go into the header and the settings store: anything beyond the
        // unreserved characters (quotes, commas, line breaks) could break or extend
        // the header, and no real token has it.
        const bool plain =
            !value.isEmpty() && std::all_of(value.begin(), value.end(), isUnreserved);
        if (name == "oauth_token" && plain)
            m_tokenKey = value;
        else if (name == "oauth_token_secret" && plain)
            m_tokenSecret = value;
        else if (name == "screen_name" && isScreenName(value))
            m_screenName = value;
        else if (name == "user_id" && isUserId(value))
            m_userId = value;
    }
    return true;
}
