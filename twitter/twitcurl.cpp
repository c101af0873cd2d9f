#include "twitcurl.h"

#include "advancedsettings.h"

#include <QDebug>
#include <QFile>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>

namespace {

const QByteArray scheme = QByteArrayLiteral("https://");
const QByteArray restVersion = QByteArrayLiteral("/1.1/");
const QByteArray jsonFormat = QByteArrayLiteral(".json");
const char* const statusUpdatePath = "statuses/update";
const char* const showUserPath = "users/show";
const char* const verifyCredentialsPath = "account/verify_credentials";
const QByteArray statusParam = QByteArrayLiteral("status=");
const QByteArray inReplyToParam = QByteArrayLiteral("in_reply_to_status_id=");
const QByteArray screenNameParam = QByteArrayLiteral("screen_name=");
const QByteArray userIdParam = QByteArrayLiteral("user_id=");
const QByteArray requestTokenPath = QByteArrayLiteral("/oauth/request_token");
const QByteArray authorizePath = QByteArrayLiteral("/oauth/authorize?oauth_token=");
const QByteArray accessTokenPath = QByteArrayLiteral("/oauth/access_token");

// A silent server must not hold the worker (or the window, at start-up) forever.
constexpr long connectTimeoutMs = 15000;
constexpr long totalTimeoutMs = 60000;
// Every reply the client reads is a few kilobytes; a server that sends more is
// broken or hostile, and must not fill the memory.
constexpr int maxReplySize = 1024 * 1024;

struct SlistDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void initialiseCurlOnce()
{
    // curl_easy_init would do this lazily, but not safely against other threads.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray readExtraCertificates(const QString& path)
{
    if (path.isEmpty())
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Twitter: cannot read the extra CA certificates" << path;
        return QByteArray();
    }
    return file.readAll();
}

} // namespace

void twitCurl::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total)
{
    if (!m_handle)
        return;
    curl_easy_setopt(m_handle.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
    curl_easy_setopt(m_handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(total.count()));
}

twitCurl::twitCurl()
{
    const AdvancedSettings advanced;
    m_apiHost = advanced.twitterApiHost().toUtf8();
    m_extraCaPem = readExtraCertificates(advanced.extraCaCertificates());

    initialiseCurlOnce();
    m_handle.reset(curl_easy_init());
    if (!m_handle)
        return;
    CURL* h = m_handle.get();
    // The access token travels in every request: only a verified peer may see it.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!m_extraCaPem.isEmpty()) {
        // The extra certificates join the system store per connection; a cached
        // store shared between connections would not see them reliably.
        curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);
        if (curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &twitCurl::sslContext) != CURLE_OK)
            qWarning() << "Twitter: this libcurl cannot add the extra CA certificates";
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    }
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, totalTimeoutMs);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &twitCurl::progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, m_errorBuffer.data());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &twitCurl::receiveData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    // Every content encoding libcurl can decode is offered.
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    // No proxy, not even one named in the environment; no HTTP login of its own.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
    curl_easy_setopt(h, CURLOPT_USERPWD, "");
}

twitCurl::~twitCurl() = default;

CURLcode twitCurl::sslContext(CURL*, void* sslCtx, void* client)
{
    auto* self = static_cast<twitCurl*>(client);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
    if (!store)
        return CURLE_SSL_CERTPROBLEM;
    BIO* bio = BIO_new_mem_buf(self->m_extraCaPem.constData(), self->m_extraCaPem.size());
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

int twitCurl::progress(void* client, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<twitCurl*>(client)->m_cancelled.load() ? 1 : 0;
}

std::size_t twitCurl::receiveData(char* data, std::size_t size, std::size_t nmemb, void* client)
{
    auto* self = static_cast<twitCurl*>(client);
    if (!self || !data)
        return 0;
    const std::size_t bytes = size * nmemb;
    if (bytes > static_cast<std::size_t>(maxReplySize - self->m_reply.size()))
        return 0; // ends the transfer with a write error
    self->m_reply.append(data, static_cast<int>(bytes));
    return bytes;
}

bool twitCurl::perform(const QByteArray& url, const QByteArray& header)
{
    m_reply.clear();
    m_httpStatus = 0;
    m_errorBuffer.fill(0);
    const std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, header.constData()));
    CURL* h = m_handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    const CURLcode result = curl_easy_perform(h);
    // The header list is about to go.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &m_httpStatus);
    if (result != CURLE_OK && m_errorBuffer[0] == 0)
        std::strncpy(m_errorBuffer.data(), curl_easy_strerror(result), m_errorBuffer.size() - 1);
    return result == CURLE_OK;
}

bool twitCurl::signedGet(const QByteArray& url, bool withPin)
{
    QByteArray header;
    m_signer.buildAuthHeader(oAuth::GET, url, QByteArray(), withPin, header);
    curl_easy_setopt(m_handle.get(), CURLOPT_HTTPGET, 1L);
    return perform(url, header);
}

bool twitCurl::signedPost(const QByteArray& url, const QByteArray& body)
{
    QByteArray header;
    m_signer.buildAuthHeader(oAuth::POST, url, body, false, header);
    CURL* h = m_handle.get();
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, body.constData());
    return perform(url, header);
}

QByteArray twitCurl::restUrl(const char* path) const
{
    return scheme + m_apiHost + restVersion + path + jsonFormat;
}

bool twitCurl::verifyCredentials()
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    if (!m_handle)
        return false;
    return signedGet(restUrl(verifyCredentialsPath));
}

bool twitCurl::postStatus(const QByteArray& newStatus, const QByteArray& inReplyToStatusId)
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    if (!m_handle || newStatus.isEmpty())
        return false;
    QByteArray body = statusParam + oAuth::percentEncode(newStatus);
    if (!inReplyToStatusId.isEmpty())
        body += '&' + inReplyToParam + oAuth::percentEncode(inReplyToStatusId);
    return signedPost(restUrl(statusUpdatePath), body);
}

bool twitCurl::showUser(const QByteArray& userInfo, bool isUserId)
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    if (!m_handle || userInfo.isEmpty())
        return false;
    const QByteArray url =
        restUrl(showUserPath) + '?' + (isUserId ? userIdParam : screenNameParam) + userInfo;
    return signedGet(url);
}

bool twitCurl::fetchRequestToken(QByteArray& authUrl)
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    authUrl.clear();
    if (!m_handle)
        return false;
    if (!signedGet(scheme + m_apiHost + requestTokenPath))
        return false;
    m_signer.takeTokenReply(m_reply);
    authUrl = scheme + m_apiHost + authorizePath + m_signer.getTokenKey();
    return true;
}

bool twitCurl::fetchAccessToken()
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    if (!m_handle)
        return false;
    if (!signedGet(scheme + m_apiHost + accessTokenPath, true))
        return false;
    // An error reply (a mistyped PIN, say) must not leave the request token to be
    // stored as if it were the account's access token.
    const oAuth::TokenReply parsed = oAuth::parseTokenReply(m_reply);
    if (m_httpStatus != 200 || parsed.tokenKey.value_or("").isEmpty() ||
        parsed.tokenSecret.value_or("").isEmpty()) {
        qDebug().noquote() << "Twitter: access token refused, HTTP" << m_httpStatus
                           << "- keeping the previous tokens:" << QString::fromUtf8(m_reply);
        return false;
    }
    m_signer.takeTokenReply(m_reply);
    return true;
}

QByteArray twitCurl::getLastReply() const
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    return m_reply;
}

long twitCurl::getLastHttpStatus() const
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    return m_httpStatus;
}

QByteArray twitCurl::getLastCurlError() const
{
    const std::lock_guard<std::mutex> lock(m_transferMutex);
    return QByteArray(m_errorBuffer.data());
}
