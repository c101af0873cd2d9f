#pragma once

#include <QByteArray>

#include <set>
#include <utility>

// OAuth 1.0a credentials of one REST client, and the signer that turns a request
// into its "Authorization: OAuth ..." header line (HMAC-SHA1, RFC 5849). All texts
// are byte strings; user texts are UTF-8.
class oAuth
{
public:
    enum RequestKind { GET = 1, POST = 2, DELETE = 3 };

    // (name, value) pairs in the order the signature base needs once they are
    // percent-encoded: by name, then by value, byte-wise. A name may repeat.
    using ParameterMap = std::multiset<std::pair<QByteArray, QByteArray>>;

    void setConsumerKey(const QByteArray& key) { m_consumerKey = key; }
    void setConsumerSecret(const QByteArray& secret) { m_consumerSecret = secret; }
    void setTokenKey(const QByteArray& key) { m_tokenKey = key; }
    void setTokenSecret(const QByteArray& secret) { m_tokenSecret = secret; }
    void setPin(const QByteArray& pin) { m_pin = pin; }

    QByteArray getTokenKey() const { return m_tokenKey; }
    QByteArray getTokenSecret() const { return m_tokenSecret; }
    QByteArray getScreenName() const { return m_screenName; }
    QByteArray getUserId() const { return m_userId; }

    // Builds the header line for a request with a fresh nonce and timestamp. url
    // may carry a query; body is a form-encoded POST body (empty for any other
    // body: only form bodies are signed). withPin adds the verifier.
    bool buildAuthHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                         bool withPin, QByteArray& header);
    // The same with the given nonce and timestamp.
    QByteArray authHeader(RequestKind kind, const QByteArray& url, const QByteArray& body,
                          bool withPin, const QByteArray& nonce, const QByteArray& timestamp) const;

    // The signature base string of a request: method, URL without its query, and
    // the query, form body and protocol pairs (raw values) normalised together.
    static QByteArray signatureBase(RequestKind kind, const QByteArray& url, const QByteArray& body,
                                    const ParameterMap& protocol);
    // Base64 of HMAC-SHA1 over base, keyed with both secrets.
    static QByteArray sign(const QByteArray& base, const QByteArray& consumerSecret,
                           const QByteArray& tokenSecret);

    // Reads the form-encoded reply of the request-token or access-token step and
    // keeps the token pair, screen name and user ID it carries; a value that no
    // real token, screen name or ID can have is ignored. False only for an empty
    // reply.
    bool takeTokenReply(const QByteArray& reply);

    // RFC 3986 unreserved characters stay, every other byte becomes %XX (upper case).
    static QByteArray percentEncode(const QByteArray& data);

    // What the service allows: 1 to 15 letters, digits and "_"; an ID of digits.
    static bool isScreenName(const QByteArray& name);
    static bool isUserId(const QByteArray& id);

private:
    // The protocol pairs, values not yet encoded.
    ParameterMap protocolParameters(bool withPin, const QByteArray& nonce,
                                    const QByteArray& timestamp) const;

    QByteArray m_consumerKey;
    QByteArray m_consumerSecret;
    QByteArray m_tokenKey;
    QByteArray m_tokenSecret;
    QByteArray m_pin;
    QByteArray m_screenName;
    QByteArray m_userId;
};
