#pragma once

#include <QByteArray>

#include <map>
#include <optional>

class TestOAuth;

// OAuth 1.0a credentials of one REST client, and the signer that turns a request
// into its "Authorization: OAuth ..." header line (HMAC-SHA1). All texts are byte
// strings; user texts are UTF-8.
class oAuth
{
public:
    enum RequestKind { GET = 1, POST = 2, DELETE = 3 };

    // Unique keys in byte-wise order; assigning to a present key replaces the value.
    using ParameterMap = std::map<QByteArray, QByteArray>;

    void setConsumerKey(const QByteArray& key) { m_consumerKey = key; }
    void setConsumerSecret(const QByteArray& secret) { m_consumerSecret = secret; }
    void setTokenKey(const QByteArray& key) { m_tokenKey = key; }
    void setTokenSecret(const QByteArray& secret) { m_tokenSecret = secret; }
    void setPin(const QByteArray& pin) { m_pin = pin; }

    QByteArray getTokenKey() const { return m_tokenKey; }
    QByteArray getTokenSecret() const { return m_tokenSecret; }
    QByteArray getScreenName() const { return m_screenName; }

    // Builds the header line for a request. url may carry a query (its pairs are
    // signed, percent-encoded here); body is an already form-encoded POST body (its
    // pairs are signed as they are). withPin adds the verifier. Every call draws a
    // fresh nonce and timestamp.
    bool buildAuthHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                         bool withPin, QByteArray& header);

    // Reads the form-encoded reply of the request-token or access-token step and
    // keeps the token pair and screen name it carries; a value with characters
    // outside the unreserved set is ignored. False only for an empty reply.
    bool takeTokenReply(const QByteArray& reply);

    // The fields a token reply carries, each one decoded on its own.
    struct TokenReply
    {
        std::optional<QByteArray> tokenKey;
        std::optional<QByteArray> tokenSecret;
        std::optional<QByteArray> screenName;
    };
    static TokenReply parseTokenReply(const QByteArray& reply);

    // RFC 3986 unreserved characters stay, every other byte becomes %XX (upper case).
    static QByteArray percentEncode(const QByteArray& data);

    // Reproducible signatures for tests: while set, renewing uses these values
    // instead of a random nonce and the clock.
    void fixNonceAndTimestamp(const QByteArray& nonce, const QByteArray& timestamp);

private:
    friend class ::TestOAuth;

    void renewNonce();
    static void addRawParameters(const QByteArray& data, bool encodeValues, ParameterMap& map);
    void addProtocolParameters(bool withPin, const QByteArray& signature, ParameterMap& map,
                               bool renew);
    static bool joinParameters(const ParameterMap& map, const QByteArray& separator,
                               QByteArray& joined);
    QByteArray computeSignature(int kind, const QByteArray& url, const ParameterMap& map) const;

    QByteArray m_consumerKey;
    QByteArray m_consumerSecret;
    QByteArray m_tokenKey;
    QByteArray m_tokenSecret;
    QByteArray m_pin;
    QByteArray m_nonce;
    QByteArray m_timestamp;
    QByteArray m_screenName;

    QByteArray m_fixedNonce;
    QByteArray m_fixedTimestamp;
    bool m_fixed = false;
};
