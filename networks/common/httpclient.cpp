#include "httpclient.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>

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

class HttpClient::Private
{
public:
    explicit Private(Options o) : options(std::move(o)) {}
    // libcurl closes its connection through closeSocket: before the members go.
    ~Private() { handle.reset(); }

    bool setUp();
    template <class T> bool set(CURLoption option, T value)
    {
        return curl_easy_setopt(handle.get(), option, value) == CURLE_OK;
    }

    static std::size_t receiveData(char* data, std::size_t size, std::size_t nmemb, void* self);
    static std::size_t receiveHeader(char* data, std::size_t size, std::size_t nmemb, void* self);
    static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static CURLcode sslContext(CURL*, void* sslCtx, void* self);
    static curl_socket_t openSocket(void* self, curlsocktype, curl_sockaddr* address);
    static int closeSocket(void* self, curl_socket_t socket);

    Options options;
    std::unique_ptr<CURL, EasyDeleter> handle;
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    QByteArray extraCaPem;
    Reply* reply = nullptr; // the answer being received
    std::atomic<bool> cancelled{false};
    // The connection's socket, so that a cancel wakes a waiting transfer at once.
    std::mutex socketMutex;
    curl_socket_t socket = CURL_SOCKET_BAD;
};

bool HttpClient::Private::setUp()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!options.extraCaFile.isEmpty()) {
        QFile file(options.extraCaFile);
        if (file.open(QIODevice::ReadOnly))
            extraCaPem = file.read(maxReplySize);
        else
            qWarning() << "Cannot read the extra CA certificates" << options.extraCaFile;
    }
    handle.reset(curl_easy_init());
    if (!handle)
        return false;
    // Tokens travel in every request: only a verified peer may see them.
    bool ok = set(CURLOPT_SSL_VERIFYPEER, 1L) && set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!extraCaPem.isEmpty())
        ok = ok && set(CURLOPT_CA_CACHE_TIMEOUT, 0L) &&
             set(CURLOPT_SSL_CTX_FUNCTION, &Private::sslContext) && set(CURLOPT_SSL_CTX_DATA, this);
    ok = ok && set(CURLOPT_PROTOCOLS_STR, "https") && set(CURLOPT_NOSIGNAL, 1L) &&
         set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count())) &&
         set(CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count())) &&
         set(CURLOPT_NOPROGRESS, 0L) && set(CURLOPT_XFERINFOFUNCTION, &Private::progress) &&
         set(CURLOPT_XFERINFODATA, this) && set(CURLOPT_ERRORBUFFER, errorBuffer.data()) &&
         set(CURLOPT_WRITEFUNCTION, &Private::receiveData) && set(CURLOPT_WRITEDATA, this) &&
         set(CURLOPT_HEADERFUNCTION, &Private::receiveHeader) && set(CURLOPT_HEADERDATA, this) &&
         set(CURLOPT_OPENSOCKETFUNCTION, &Private::openSocket) &&
         set(CURLOPT_OPENSOCKETDATA, this) &&
         set(CURLOPT_CLOSESOCKETFUNCTION, &Private::closeSocket) &&
         set(CURLOPT_CLOSESOCKETDATA, this) && set(CURLOPT_ACCEPT_ENCODING, "") &&
         // No proxy, not even one named in the environment.
         set(CURLOPT_PROXY, "") && set(CURLOPT_USERAGENT, "FENK/1.9");
    if (!ok)
        handle.reset(); // without these guarantees no token may leave
    return ok;
}

CURLcode HttpClient::Private::sslContext(CURL*, void* sslCtx, void* self)
{
    const QByteArray& pem = static_cast<Private*>(self)->extraCaPem;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
    BIO* bio = BIO_new_mem_buf(pem.constData(), pem.size());
    if (!store || !bio)
        return CURLE_SSL_CERTPROBLEM;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!infos)
        return CURLE_OK; // the system store alone still verifies
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509)
            X509_STORE_add_cert(store, info->x509);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return CURLE_OK;
}

curl_socket_t HttpClient::Private::openSocket(void* self, curlsocktype, curl_sockaddr* address)
{
    auto* d = static_cast<Private*>(self);
    const std::lock_guard<std::mutex> lock(d->socketMutex);
    if (d->cancelled.load())
        return CURL_SOCKET_BAD;
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd != CURL_SOCKET_BAD)
        d->socket = fd;
    return fd;
}

int HttpClient::Private::closeSocket(void* self, curl_socket_t fd)
{
    auto* d = static_cast<Private*>(self);
    const std::lock_guard<std::mutex> lock(d->socketMutex);
    if (d->socket == fd)
        d->socket = CURL_SOCKET_BAD;
    return ::close(fd);
}

int HttpClient::Private::progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Private*>(self)->cancelled.load() ? 1 : 0;
}

std::size_t HttpClient::Private::receiveData(char* data, std::size_t size, std::size_t nmemb,
                                             void* self)
{
    Reply* reply = static_cast<Private*>(self)->reply;
    const std::size_t bytes = size * nmemb;
    if (bytes > static_cast<std::size_t>(maxReplySize - reply->body.size()))
        return 0; // ends the transfer with a write error
    reply->body.append(data, static_cast<int>(bytes));
    return bytes;
}

std::size_t HttpClient::Private::receiveHeader(char* data, std::size_t size, std::size_t nmemb,
                                               void* self)
{
    Reply* reply = static_cast<Private*>(self)->reply;
    const std::size_t bytes = size * nmemb;
    if (bytes > static_cast<std::size_t>(maxHeaderSize - reply->headers.size()))
        return 0;
    // Only the final answer's headers count, not those of a "100 Continue".
    if (bytes > 5 && std::strncmp(data, "HTTP/", 5) == 0)
        reply->headers.clear();
    reply->headers.append(data, static_cast<int>(bytes));
    return bytes;
}

HttpClient::HttpClient(Options options) : d(std::make_unique<Private>(std::move(options)))
{
    d->setUp();
}

HttpClient::~HttpClient() = default;

void HttpClient::cancel()
{
    const std::lock_guard<std::mutex> lock(d->socketMutex);
    d->cancelled.store(true);
    if (d->socket != CURL_SOCKET_BAD)
        ::shutdown(d->socket, SHUT_RDWR);
}

HttpClient::Reply HttpClient::send(const Request& request)
{
    Reply reply;
    if (!d->handle) {
        reply.error = QStringLiteral("no HTTPS client");
        return reply;
    }
    if (d->cancelled.load()) {
        reply.error = QStringLiteral("cancelled");
        return reply;
    }
    d->errorBuffer.fill(0);
    d->reply = &reply;
    SlistPtr list;
    bool ok = true;
    for (const auto& header : request.headers)
        ok = ok && append(list, header.first + ": " + header.second);
    // libcurl would otherwise wait for a "100 Continue" on larger bodies.
    ok = ok && append(list, "Expect:");
    ok = ok && d->set(CURLOPT_URL, request.url.constData()) &&
         d->set(CURLOPT_HTTPHEADER, list.get());
    if (request.method == "GET") {
        ok = ok && d->set(CURLOPT_HTTPGET, 1L) &&
             d->set(CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    } else {
        ok = ok && d->set(CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size())) &&
             d->set(CURLOPT_COPYPOSTFIELDS, request.body.constData()) &&
             d->set(CURLOPT_CUSTOMREQUEST,
                    request.method == "POST" ? nullptr : request.method.constData());
    }
    const CURLcode result = ok ? curl_easy_perform(d->handle.get()) : CURLE_FAILED_INIT;
    d->set(CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    d->reply = nullptr;
    if (curl_easy_getinfo(d->handle.get(), CURLINFO_RESPONSE_CODE, &reply.status) != CURLE_OK)
        reply.status = 0;
    reply.completed = result == CURLE_OK;
    if (!reply.completed) {
        reply.error = QString::fromUtf8(d->errorBuffer[0] != 0 ? d->errorBuffer.data()
                                                               : curl_easy_strerror(result));
        reply.status = 0;
    }
    return reply;
}

HttpClient::Reply HttpClient::postJson(const QByteArray& url, const QJsonObject& body,
                                       const QByteArray& bearer,
                                       QList<QPair<QByteArray, QByteArray>> headers)
{
    headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    if (!bearer.isEmpty())
        headers.append(qMakePair(QByteArray("Authorization"), "Bearer " + bearer));
    return send(Request{"POST", url, headers, QJsonDocument(body).toJson(QJsonDocument::Compact)});
}

QByteArray HttpClient::Reply::header(const QByteArray& name) const
{
    const QByteArray wanted = name.toLower() + ':';
    for (const QByteArray& line : headers.split('\n')) {
        if (line.toLower().startsWith(wanted))
            return line.mid(wanted.size()).trimmed();
    }
    return QByteArray();
}

QJsonObject HttpClient::Reply::json() const
{
    return QJsonDocument::fromJson(body).object();
}
