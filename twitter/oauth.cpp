#include "oauth.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>
#include <vector>

namespace {

const QByteArray consumerKeyName = QByteArrayLiteral("oauth_consumer_key");
const QByteArray nonceName = QByteArrayLiteral("oauth_nonce");
const QByteArray signatureName = QByteArrayLiteral("oauth_signature");
const QByteArray signatureMethodName = QByteArrayLiteral("oauth_signature_method");
const QByteArray timestampName = QByteArrayLiteral("oauth_timestamp");
const QByteArray tokenName = QByteArrayLiteral("oauth_token");
const QByteArray tokenSecretName = QByteArrayLiteral("oauth_token_secret");
const QByteArray verifierName = QByteArrayLiteral("oauth_verifier");
const QByteArray versionName = QByteArrayLiteral("oauth_version");
const QByteArray screenNameName = QByteArrayLiteral("screen_name");
const QByteArray signatureMethod = QByteArrayLiteral("HMAC-SHA1");
const QByteArray version = QByteArrayLiteral("1.0");
const QByteArray headerPrefix = QByteArrayLiteral("Authorization: OAuth ");

constexpr int nonceLength = 32;

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// application/x-www-form-urlencoded value: "+" is a blank, %XX a byte.
QByteArray formDecode(QByteArray value)
{
    value.replace('+', ' ');
    return QByteArray::fromPercentEncoding(value);
}

} // namespace

QByteArray oAuth::percentEncode(const QByteArray& data)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(data.size() * 3);
    for (const char c : data) {
        if (isUnreserved(c)) {
            out.append(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.append('%');
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0x0F]);
        }
    }
    return out;
}

void oAuth::fixNonceAndTimestamp(const QByteArray& nonce, const QByteArray& timestamp)
{
    m_fixedNonce = nonce;
    m_fixedTimestamp = timestamp;
    m_fixed = true;
}

// A service rejects a nonce it has seen with the same timestamp as a replay, so
// every header gets a nonce of its own, even several within one second.
void oAuth::renewNonce()
{
    if (m_fixed) {
        m_nonce = m_fixedNonce;
        m_timestamp = m_fixedTimestamp;
        return;
    }
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr int alphabetSize = sizeof(alphabet) - 1;
    QRandomGenerator* random = QRandomGenerator::system();
    QByteArray nonce(nonceLength, Qt::Uninitialized);
    for (char& c : nonce)
        c = alphabet[random->bounded(alphabetSize)];
    m_nonce = nonce;
    m_timestamp = QByteArray::number(QDateTime::currentSecsSinceEpoch());
}

void oAuth::addRawParameters(const QByteArray& data, bool encodeValues, ParameterMap& map)
{
    if (data.isEmpty())
        return;
    const QList<QByteArray> pieces = data.split('&');
    for (const QByteArray& piece : pieces) {
        const int eq = piece.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray key = piece.left(eq);
        const QByteArray value = piece.mid(eq + 1);
        map[key] = encodeValues ? percentEncode(value) : value;
    }
}

void oAuth::addProtocolParameters(bool withPin, const QByteArray& signature, ParameterMap& map,
                                  bool renew)
{
    if (renew)
        renewNonce();
    map[consumerKeyName] = m_consumerKey;
    map[nonceName] = m_nonce;
    if (!signature.isEmpty())
        map[signatureName] = signature;
    map[signatureMethodName] = signatureMethod;
    map[timestampName] = m_timestamp;
    if (!m_tokenKey.isEmpty())
        map[tokenName] = m_tokenKey;
    if (withPin && !m_pin.isEmpty())
        map[verifierName] = m_pin;
    map[versionName] = version;
}

bool oAuth::joinParameters(const ParameterMap& map, const QByteArray& separator, QByteArray& joined)
{
    joined.clear();
    if (map.empty())
        return false;
    const bool quoted = separator == ",";
    std::vector<QByteArray> pairs;
    pairs.reserve(map.size());
    for (const auto& [key, value] : map) {
        QByteArray pair = key;
        pair.append('=');
        if (quoted)
            pair.append('"').append(value).append('"');
        else
            pair.append(value);
        pairs.push_back(pair);
    }
    // The whole "key=value" texts are sorted, not the keys alone.
    std::sort(pairs.begin(), pairs.end());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (i > 0)
            joined.append(separator);
        joined.append(pairs[i]);
    }
    return true;
}

QByteArray oAuth::computeSignature(int kind, const QByteArray& url, const ParameterMap& map) const
{
    QByteArray base;
    switch (kind) {
    case GET:
        base = "GET&";
        break;
    case POST:
        base = "POST&";
        break;
    case DELETE:
        base = "DELETE&";
        break;
    default:
        return QByteArray();
    }
    QByteArray params;
    joinParameters(map, "&", params);
    base.append(percentEncode(url)).append('&').append(percentEncode(params));

    QByteArray key = m_consumerSecret;
    key.append('&');
    if (!m_tokenSecret.isEmpty())
        key.append(m_tokenSecret);

    const QByteArray digest = QMessageAuthenticationCode::hash(base, key, QCryptographicHash::Sha1);
    return percentEncode(digest.toBase64());
}

bool oAuth::buildAuthHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                            bool withPin, QByteArray& header)
{
    ParameterMap map;
    QByteArray baseUrl = url;
    const int question = url.indexOf('?');
    if (question >= 0) {
        baseUrl = url.left(question);
        addRawParameters(url.mid(question + 1), true, map);
    }
    // The body's maker has encoded it already.
    addRawParameters(body, false, map);
    addProtocolParameters(withPin, QByteArray(), map, true);
    const QByteArray signature = computeSignature(kind, baseUrl, map);

    // Query and body pairs are signed, but only the protocol pairs go into the header.
    map.clear();
    addProtocolParameters(withPin, signature, map, false);
    QByteArray joined;
    joinParameters(map, ",", joined);
    header = headerPrefix + joined;
    return !header.isEmpty();
}

oAuth::TokenReply oAuth::parseTokenReply(const QByteArray& reply)
{
    TokenReply result;
    const QList<QByteArray> pairs = reply.split('&');
    for (const QByteArray& pair : pairs) {
        const int eq = pair.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray name = formDecode(pair.left(eq));
        const QByteArray value = formDecode(pair.mid(eq + 1));
        // These values go into the header unencoded and into the settings store:
        // anything beyond the unreserved characters (quotes, commas, line breaks)
        // could break or extend the header, and no real token or screen name has it.
        if (!std::all_of(value.begin(), value.end(), isUnreserved))
            continue;
        if (name == tokenName)
            result.tokenKey = value;
        else if (name == tokenSecretName)
            result.tokenSecret = value;
        else if (name == screenNameName)
            result.screenName = value;
    }
    return result;
}

bool oAuth::takeTokenReply(const QByteArray& reply)
{
    if (reply.isEmpty())
        return false;
    const TokenReply parsed = parseTokenReply(reply);
    m_tokenKey = parsed.tokenKey.value_or(m_tokenKey);
    m_tokenSecret = parsed.tokenSecret.value_or(m_tokenSecret);
    m_screenName = parsed.screenName.value_or(m_screenName);
    return true;
}
