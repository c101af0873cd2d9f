#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <memory>

// A blocking HTTPS client over one libcurl easy handle, for one worker thread:
// every request has a connect and a total time-out, only https is spoken, the
// peer is verified against the system's authorities plus the extra ones of
// "advanced/ExtraCaCertificates", and replies are bounded. cancel() may be
// called from any thread and ends the running and every later request.
class HttpClient
{
public:
    struct Options
    {
        // A PEM file whose certificates are trusted besides the system's; may be empty.
        QString extraCaFile;
        std::chrono::milliseconds connectTimeout{10000};
        std::chrono::milliseconds totalTimeout{30000};
    };

    struct Request
    {
        QByteArray method = QByteArrayLiteral("GET");
        QByteArray url;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body; // sent when not empty, or when the method is POST
    };

    struct Reply
    {
        bool completed = false; // an HTTP answer arrived, whatever its status
        long status = 0;
        QByteArray body;
        QByteArray headers;
        QString error; // why no answer arrived
        // A header of the answer (name in any case); empty when absent.
        QByteArray header(const QByteArray& name) const;
        QJsonObject json() const;
        bool ok() const { return completed && status >= 200 && status < 300; }
    };

    explicit HttpClient(Options options);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    Reply send(const Request& request);
    Reply postJson(const QByteArray& url, const QJsonObject& body,
                   const QByteArray& bearer = QByteArray(),
                   QList<QPair<QByteArray, QByteArray>> headers = {});

    void cancel();

    static constexpr int maxReplySize = 1024 * 1024;

private:
    class Private;
    std::unique_ptr<Private> d;
};
