#pragma once

#include "oauth.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// A small client for the Twitter REST API over one libcurl easy handle: the v1.1
// calls and their v2 counterparts. Every request is signed by the client's own
// oAuth signer and runs to completion on the calling thread. A client is meant
// for one thread at a time; its transfers are serialised anyway, so a second
// thread waits instead of corrupting the handle.
class twitCurl
{
public:
    struct Options
    {
        // host[:port] of the API.
        QByteArray apiHost = QByteArrayLiteral("api.twitter.com");
        // A PEM file whose certificates are trusted besides the system's; may be empty.
        QString extraCaFile;
        std::chrono::milliseconds connectTimeout{15000};
        std::chrono::milliseconds totalTimeout{60000};
    };

    twitCurl();
    explicit twitCurl(Options options);
    ~twitCurl();
    twitCurl(const twitCurl&) = delete;
    twitCurl& operator=(const twitCurl&) = delete;

    // True when the transfer completed, whatever the HTTP status says; the status
    // is in getLastHttpStatus() and the body in getLastReply(). A reply of more
    // than 1 MiB fails the transfer.
    bool verifyCredentials();
    bool postStatus(const QByteArray& newStatus, const QByteArray& inReplyToStatusId);
    bool showUser(const QByteArray& userInfo, bool isUserId);
    // v2: POST /2/tweets with a JSON body, GET /2/users/me.
    bool postTweet(const QByteArray& text);
    bool fetchMe();

    // Request-token step; authUrl receives the authorization page, empty on failure
    // (also when the service answers with an error).
    bool fetchRequestToken(QByteArray& authUrl);
    // Access-token step with the signer's PIN. Only a 200 reply carrying both token
    // fields replaces the signer's request token.
    bool fetchAccessToken();

    QByteArray getLastReply() const;
    // HTTP status of the last transfer, 0 when no reply arrived.
    long getLastHttpStatus() const;
    // A header of the last reply (name in any case), empty when absent.
    QByteArray getLastHeader(const QByteArray& name) const;
    // Why the last transfer failed, empty after one that completed.
    QByteArray getLastCurlError() const;
    oAuth& getSigner();

    // Ends a running or later transfer of this client at once.
    void cancel();

private:
    class Private;
    std::unique_ptr<Private> d;
};
