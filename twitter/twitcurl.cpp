#include "twitcurl.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

const QByteArray scheme = QByteArrayLiteral("https://");
const QByteArray jsonFormat = QByteArrayLiteral(".json");
const QByteArray requestTokenPath = QByteArrayLiteral("/oauth/request_token");
const QByteArray authorizePath = QByteArrayLiteral("/oauth/authorize?oauth_token=");
const QByteArray accessTokenPath = QByteArrayLiteral("/oauth/access_token");

// Every reply the client reads is a few kilobytes; a server that sends more is
// broken or hostile, and must not fill the memory.
constexpr int maxReplySize = 1024 * 1024;
constexpr int maxHeaderSize = 64 * 1024;

struct EasyDeleter
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

void initialiseCurlOnce()
{
    // curl_easy_init would do this lazily, but not safely against other threads.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray readFile(const QString& path)
{
    if (path.isEmpty())
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Twitter: cannot read the extra CA certificates" << path;
        return QByteArray();
    }
    return file.read(maxReplySize);
}

bool append(SlistPtr& list, const QByteArray& line)
{
    curl_slist* longer = curl_slist_append(list.get(), line.constData());
    if (!longer)
        return false;
    (void)list.release();
    list.reset(longer);
    return true;
}

} // namespace

class twitCurl::Private
{
public:
    explicit Private(Options o) : options(std::move(o)) {}
    // libcurl closes the connection through closeSocket: before the members go.
    ~Private() { handle.reset(); }

    bool setUp();
    bool perform(const QByteArray& url, const QByteArray& authHeader, const QByteArray* postBody,
                 const QByteArray& contentType = QByteArray());
    bool signedGet(const QByteArray& url, bool withPin = false);
    QByteArray url(const QByteArray& path) const { return scheme + options.apiHost + path; }
    QByteArray restUrl(const char* path) const
    {
        return url("/1.1/" + QByteArray(path) + jsonFormat);
    }

    template <class T> bool set(CURLoption option, T value)
    {
        const CURLcode result = curl_easy_setopt(handle.get(), option, value);
        if (result != CURLE_OK)
            qWarning() << "Twitter: libcurl refused option" << option << curl_easy_strerror(result);
        return result == CURLE_OK;
    }

    static std::size_t receiveData(char* data, std::size_t size, std::size_t nmemb, void* client);
    static std::size_t receiveHeader(char* data, std::size_t size, std::size_t nmemb, void* client);
    static int progress(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static CURLcode sslContext(CURL* handle, void* sslCtx, void* client);
    static curl_socket_t openSocket(void* client, curlsocktype, curl_sockaddr* address);
    static int closeSocket(void* client, curl_socket_t socket);

    Options options;
    std::unique_ptr<CURL, EasyDeleter> handle;
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    QByteArray reply;
    QByteArray headers;
    QByteArray error;
    long httpStatus = 0;
    oAuth signer;
    QByteArray extraCaPem;
    std::atomic<bool> cancelled{false};
    mutable std::mutex transferMutex;
    // The connection's socket, so that a cancel can wake a transfer at once.
    std::mutex socketMutex;
    curl_socket_t socket = CURL_SOCKET_BAD;
};

bool twitCurl::Private::setUp()
{
    extraCaPem = readFile(options.extraCaFile);
    initialiseCurlOnce();
    handle.reset(curl_easy_init());
    if (!handle)
        return false;
    // The access token travels in every request: only a verified peer may see it.
    bool ok = set(CURLOPT_SSL_VERIFYPEER, 1L) && set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!extraCaPem.isEmpty()) {
        // The extra certificates join the system store per connection; a cached
        // store shared between connections would not see them reliably.
        ok = ok && set(CURLOPT_CA_CACHE_TIMEOUT, 0L) &&
             set(CURLOPT_SSL_CTX_FUNCTION, &Private::sslContext) && set(CURLOPT_SSL_CTX_DATA, this);
    }
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && set(CURLOPT_PROTOCOLS_STR, "https");
#else
    ok = ok && set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
    ok = ok && set(CURLOPT_NOSIGNAL, 1L) &&
         set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count())) &&
         set(CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count())) &&
         set(CURLOPT_NOPROGRESS, 0L) && set(CURLOPT_XFERINFOFUNCTION, &Private::progress) &&
         set(CURLOPT_XFERINFODATA, this) && set(CURLOPT_ERRORBUFFER, errorBuffer.data()) &&
         set(CURLOPT_WRITEFUNCTION, &Private::receiveData) && set(CURLOPT_WRITEDATA, this) &&
         set(CURLOPT_HEADERFUNCTION, &Private::receiveHeader) && set(CURLOPT_HEADERDATA, this) &&
         set(CURLOPT_OPENSOCKETFUNCTION, &Private::openSocket) &&
         set(CURLOPT_OPENSOCKETDATA, this) &&
         set(CURLOPT_CLOSESOCKETFUNCTION, &Private::closeSocket) &&
         set(CURLOPT_CLOSESOCKETDATA, this) &&
         // Every content encoding libcurl can decode is offered.
         set(CURLOPT_ACCEPT_ENCODING, "") &&
         // No proxy, not even one named in the environment; no HTTP login of its own.
         set(CURLOPT_PROXY, "") && set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)) &&
         set(CURLOPT_USERPWD, "");
    if (!ok) {
        // A client without these guarantees must not send the token anywhere.
        handle.reset();
        return false;
    }
    return true;
}

CURLcode twitCurl::Private::sslContext(CURL*, void* sslCtx, void* client)
{
    auto* self = static_cast<Private*>(client);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
    if (!store)
        return CURLE_SSL_CERTPROBLEM;
    BIO* bio = BIO_new_mem_buf(self->extraCaPem.constData(), self->extraCaPem.size());
    if (!bio)
        return CURLE_OUT_OF_MEMORY;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!infos) {
        qWarning() << "Twitter: the extra CA file holds no readable certificate";
        return CURLE_OK; // the system store alone still verifies
    }
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509)
            X509_STORE_add_cert(store, info->x509); // a duplicate is harmless
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return CURLE_OK;
}

curl_socket_t twitCurl::Private::openSocket(void* client, curlsocktype, curl_sockaddr* address)
{
    auto* self = static_cast<Private*>(client);
    const std::lock_guard<std::mutex> lock(self->socketMutex);
    if (self->cancelled.load())
        return CURL_SOCKET_BAD;
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd != CURL_SOCKET_BAD)
        self->socket = fd;
    return fd;
}

int twitCurl::Private::closeSocket(void* client, curl_socket_t fd)
{
    auto* self = static_cast<Private*>(client);
    const std::lock_guard<std::mutex> lock(self->socketMutex);
    if (self->socket == fd)
        self->socket = CURL_SOCKET_BAD;
    return ::close(fd);
}

int twitCurl::Private::progress(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Private*>(client)->cancelled.load() ? 1 : 0;
}

std::size_t twitCurl::Private::receiveData(char* data, std::size_t size, std::size_t nmemb,
                                           void* client)
{
    auto* self = static_cast<Private*>(client);
    if (!self || !data)
        return 0;
    const std::size_t bytes = size * nmemb;
    if (bytes > static_cast<std::size_t>(maxReplySize - self->reply.size()))
        return 0; // ends the transfer with a write error
    self->reply.append(data, static_cast<int>(bytes));
    return bytes;
}

std::size_t twitCurl::Private::receiveHeader(char* data, std::size_t size, std::size_t nmemb,
                                             void* client)
{
    auto* self = static_cast<Private*>(client);
    const std::size_t bytes = size * nmemb;
    if (bytes > static_cast<std::size_t>(maxHeaderSize - self->headers.size()))
        return 0;
    // Only the final response's headers count, not those of a "100 Continue".
    if (bytes > 5 && std::strncmp(data, "HTTP/", 5) == 0)
        self->headers.clear();
    self->headers.append(data, static_cast<int>(bytes));
    return bytes;
}

bool twitCurl::Private::perform(const QByteArray& url, const QByteArray& authHeader,
                                const QByteArray* postBody, const QByteArray& contentType)
{
    reply.clear();
    headers.clear();
    error.clear();
    httpStatus = 0;
    errorBuffer.fill(0);
    SlistPtr list;
    bool ok = append(list, authHeader) &&
              (contentType.isEmpty() || append(list, "Content-Type: " + contentType));
    ok = ok && set(CURLOPT_URL, url.constData()) && set(CURLOPT_HTTPHEADER, list.get());
    if (postBody) {
        ok = ok && set(CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size())) &&
             set(CURLOPT_COPYPOSTFIELDS, postBody->constData());
    } else {
        ok = ok && set(CURLOPT_HTTPGET, 1L);
    }
    CURLcode result = CURLE_FAILED_INIT;
    if (ok)
        result = curl_easy_perform(handle.get());
    // The header list is about to go.
    set(CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &httpStatus) != CURLE_OK)
        httpStatus = 0;
    if (result != CURLE_OK)
        error = errorBuffer[0] != 0 ? QByteArray(errorBuffer.data())
                                    : QByteArray(curl_easy_strerror(result));
    return result == CURLE_OK;
}

bool twitCurl::Private::signedGet(const QByteArray& url, bool withPin)
{
    QByteArray header;
    signer.buildAuthHeader(oAuth::GET, url, QByteArray(), withPin, header);
    return perform(url, header, nullptr);
}

twitCurl::twitCurl(Options options) : d(std::make_unique<Private>(std::move(options)))
{
    d->setUp();
}

twitCurl::twitCurl() : twitCurl(Options{})
{}

twitCurl::~twitCurl() = default;

oAuth& twitCurl::getSigner()
{
    return d->signer;
}

void twitCurl::cancel()
{
    const std::lock_guard<std::mutex> lock(d->socketMutex);
    d->cancelled.store(true);
    // Wakes a transfer that waits for the peer; libcurl still closes the socket.
    if (d->socket != CURL_SOCKET_BAD)
        ::shutdown(d->socket, SHUT_RDWR);
}

bool twitCurl::verifyCredentials()
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    return d->handle && d->signedGet(d->restUrl("account/verify_credentials"));
}

bool twitCurl::postStatus(const QByteArray& newStatus, const QByteArray& inReplyToStatusId)
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    if (!d->handle || newStatus.isEmpty())
        return false;
    QByteArray body = "status=" + oAuth::percentEncode(newStatus);
    if (!inReplyToStatusId.isEmpty())
        body += "&in_reply_to_status_id=" + oAuth::percentEncode(inReplyToStatusId);
    const QByteArray url = d->restUrl("statuses/update");
    QByteArray header;
    d->signer.buildAuthHeader(oAuth::POST, url, body, false, header);
    return d->perform(url, header, &body, "application/x-www-form-urlencoded");
}

bool twitCurl::showUser(const QByteArray& userInfo, bool isUserId)
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    if (!d->handle || userInfo.isEmpty())
        return false;
    return d->signedGet(d->restUrl("users/show") + (isUserId ? "?user_id=" : "?screen_name=") +
                        userInfo);
}

bool twitCurl::postTweet(const QByteArray& text)
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    if (!d->handle || text.isEmpty())
        return false;
    // A JSON body is not part of the signature.
    const QByteArray body = QJsonDocument(QJsonObject{{"text", QString::fromUtf8(text)}})
                                .toJson(QJsonDocument::Compact);
    const QByteArray url = d->url("/2/tweets");
    QByteArray header;
    d->signer.buildAuthHeader(oAuth::POST, url, QByteArray(), false, header);
    return d->perform(url, header, &body, "application/json");
}

bool twitCurl::fetchMe()
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    return d->handle && d->signedGet(d->url("/2/users/me"));
}

bool twitCurl::fetchRequestToken(QByteArray& authUrl)
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    authUrl.clear();
    if (!d->handle || !d->signedGet(d->url(requestTokenPath)))
        return false;
    oAuth fresh;
    fresh.takeTokenReply(d->reply);
    if (d->httpStatus != 200 || fresh.getTokenKey().isEmpty()) {
        d->error = "request token refused, HTTP " + QByteArray::number(qint64(d->httpStatus));
        return false;
    }
    d->signer.takeTokenReply(d->reply);
    authUrl = d->url(authorizePath) + d->signer.getTokenKey();
    return true;
}

bool twitCurl::fetchAccessToken()
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    if (!d->handle || !d->signedGet(d->url(accessTokenPath), true))
        return false;
    // An error reply (a mistyped PIN, say) must not leave the request token to be
    // stored as if it were the account's access token.
    oAuth fresh;
    fresh.takeTokenReply(d->reply);
    if (d->httpStatus != 200 || fresh.getTokenKey().isEmpty() || fresh.getTokenSecret().isEmpty()) {
        d->error = "access token refused, HTTP " + QByteArray::number(qint64(d->httpStatus));
        return false;
    }
    d->signer.takeTokenReply(d->reply);
    return true;
}

QByteArray twitCurl::getLastReply() const
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    return d->reply;
}

long twitCurl::getLastHttpStatus() const
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    return d->httpStatus;
}

QByteArray twitCurl::getLastHeader(const QByteArray& name) const
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    const QByteArray wanted = name.toLower() + ':';
    for (const QByteArray& line : d->headers.split('\n')) {
        if (line.toLower().startsWith(wanted))
            return line.mid(wanted.size()).trimmed();
    }
    return QByteArray();
}

QByteArray twitCurl::getLastCurlError() const
{
    const std::lock_guard<std::mutex> lock(d->transferMutex);
    return d->handle ? d->error : QByteArrayLiteral("no libcurl handle");
}
