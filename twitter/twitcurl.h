#pragma once

#include "oauth.h"

#include <QByteArray>

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

// A small client for the Twitter REST API 1.1 over one libcurl easy handle. Every
// request is signed by the client's own oAuth signer and runs to completion on the
// calling thread. A client is meant for one thread at a time; its transfers are
// serialised anyway, so a second thread waits instead of corrupting the handle.
class twitCurl
{
public:
    // Reads the API host and the extra trusted certificates from the deployment
    // settings once, here.
    twitCurl();
    ~twitCurl();
    twitCurl(const twitCurl&) = delete;
    twitCurl& operator=(const twitCurl&) = delete;

    // True when the transfer completed, whatever the HTTP status says; the status
    // is in getLastHttpStatus() and the body in getLastReply(). A reply of more
    // than 1 MiB fails the transfer.
    bool verifyCredentials();
    bool postStatus(const QByteArray& newStatus, const QByteArray& inReplyToStatusId);
    bool showUser(const QByteArray& userInfo, bool isUserId);

    // Request-token step; authUrl receives the authorization page, empty on failure.
    bool fetchRequestToken(QByteArray& authUrl);
    // Access-token step with the signer's PIN. Only a 200 reply carrying both token
    // fields replaces the signer's request token.
    bool fetchAccessToken();

    QByteArray getLastReply() const;
    // HTTP status of the last transfer, 0 when no reply arrived.
    long getLastHttpStatus() const;
    // libcurl's text for the last failed transfer.
    QByteArray getLastCurlError() const;
    oAuth& getSigner() { return m_signer; }

    // Ends a running or later transfer of this client at once (used at shutdown).
    void cancel() { m_cancelled.store(true); }

    // Replaces the default limits (15 s to connect, 60 s for the whole transfer).
    void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);

private:
    struct EasyDeleter
    {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };

    bool signedGet(const QByteArray& url, bool withPin = false);
    bool signedPost(const QByteArray& url, const QByteArray& body);
    bool perform(const QByteArray& url, const QByteArray& header);
    QByteArray restUrl(const char* path) const;

    static std::size_t receiveData(char* data, std::size_t size, std::size_t nmemb, void* client);
    static int progress(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static CURLcode sslContext(CURL* handle, void* sslCtx, void* client);

    std::unique_ptr<CURL, EasyDeleter> m_handle;
    std::array<char, 1024> m_errorBuffer{};
    QByteArray m_reply;
    long m_httpStatus = 0;
    oAuth m_signer;
    QByteArray m_apiHost;
    QByteArray m_extraCaPem;
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_transferMutex;
};
