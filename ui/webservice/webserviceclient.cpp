#include "webserviceclient.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QXmlStreamReader>

#include <utility>

namespace {

QString encoded(const QString& value)
{
    // Everything but the unreserved characters, so "&", "#", "+", "=" and "%"
    // inside a value can never be read as query syntax.
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QString replyError(QNetworkReply* reply)
{
    if (reply->error() == QNetworkReply::NoError)
        return QStringLiteral("The reply is larger than %1 bytes")
            .arg(WebServiceClient::maxReplySize);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && reply->error() != QNetworkReply::NoError)
        return QStringLiteral("HTTP %1: %2").arg(status.toInt()).arg(reply->errorString());
    return reply->errorString();
}

} // namespace

WebServiceClient::WebServiceClient(QNetworkAccessManager* nam, QString host, QObject* parent)
    : QObject(parent), m_nam(nam), m_host(std::move(host))
{}

void WebServiceClient::setTimeout(int ms)
{
    m_timeoutMs = ms;
}

bool WebServiceClient::setExtraCaCertificates(const QString& pemFile)
{
    m_extraCa.clear();
    if (pemFile.isEmpty())
        return true;
    QFile file(pemFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    m_extraCa = QSslCertificate::fromData(file.read(1024 * 1024), QSsl::Pem);
    return !m_extraCa.isEmpty();
}

QString WebServiceClient::listenerCode(bool serato, bool traktor, bool ableton)
{
    if (!serato)
        return ableton ? QStringLiteral("5") : QStringLiteral("1");
    if (traktor)
        return ableton ? QStringLiteral("7") : QStringLiteral("3");
    return ableton ? QStringLiteral("6") : QStringLiteral("2");
}

QUrl WebServiceClient::serviceUrl(const QString& pathAndQuery) const
{
    return QUrl(QStringLiteral("https://") + m_host + pathAndQuery, QUrl::TolerantMode);
}

QUrl WebServiceClient::trackUrl(const Identity& who, const QString& artist,
                                const QString& track) const
{
    return serviceUrl(QStringLiteral("/track.php?api_token=%1&ti=%2&tn=%3&ta=%4&tt=%5&te=%6&tl=%7")
                          .arg(encoded(QLatin1String(apiToken)), encoded(who.uid),
                               encoded(who.userName), encoded(artist), encoded(track),
                               encoded(who.location), encoded(who.location)));
}

QUrl WebServiceClient::sessionUrl(const Identity& who, bool start, const QString& version,
                                  const QString& listenerCode) const
{
    return serviceUrl(
        QStringLiteral("/session.php?api_token=%1&ti=%2&tn=%3&ts=%4&tl=%5&tv=%6&te=%7&sp=%8")
            .arg(encoded(QLatin1String(apiToken)), encoded(who.uid), encoded(who.userName),
                 start ? QStringLiteral("1") : QStringLiteral("0"), encoded(who.location),
                 encoded(version), encoded(who.location), encoded(listenerCode)));
}

QNetworkReply* WebServiceClient::get(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timeoutMs);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!m_extraCa.isEmpty())
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + m_extraCa);
    request.setSslConfiguration(tls);
    // Certificate and TLS errors are not ignored: such a request fails.
    QNetworkReply* reply = m_nam->get(request);
    // Also releases replies that were superseded and no longer reach this object.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

void WebServiceClient::sendTrack(const Identity& who, const QString& artist, const QString& track)
{
    QNetworkReply* reply = get(trackUrl(who, artist, track));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError)
            Q_EMIT reportFailed(QStringLiteral("track report"), replyError(reply));
    });
}

void WebServiceClient::sendSession(const Identity& who, bool start, const QString& version,
                                   const QString& listenerCode)
{
    QNetworkReply* reply = get(sessionUrl(who, start, version, listenerCode));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError)
            Q_EMIT reportFailed(QStringLiteral("session report"), replyError(reply));
    });
}

namespace {

// Aborts a reply that grows beyond limit, so a hostile or broken server cannot
// fill memory with what should be a few hundred bytes.
void limitSize(QNetworkReply* reply, qint64 limit)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, limit](qint64 received, qint64) {
                         if (received > limit)
                             reply->abort();
                     });
}

} // namespace

void WebServiceClient::lookupLocation()
{
    if (m_locationReply) {
        // Only the newest lookup reports.
        m_locationReply->disconnect(this);
        m_locationReply->abort();
    }
    QNetworkReply* reply = get(serviceUrl(QStringLiteral("/ip/ip.php")));
    m_locationReply = reply;
    limitSize(reply, maxReplySize);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > maxReplySize) {
            Q_EMIT locationFailed(replyError(reply));
            return;
        }
        const auto values = scanPropertyList(
            reply->read(maxReplySize),
            {QStringLiteral("City"), QStringLiteral("Country"), QStringLiteral("CountryCode")});
        Q_EMIT locationFound(values.value(QStringLiteral("City")),
                             values.value(QStringLiteral("Country")),
                             values.value(QStringLiteral("CountryCode")));
    });
}

void WebServiceClient::checkVersion()
{
    if (m_versionReply) {
        m_versionReply->disconnect(this);
        m_versionReply->abort();
    }
    QNetworkReply* reply = get(serviceUrl(QStringLiteral("/version_win.plist")));
    m_versionReply = reply;
    limitSize(reply, maxReplySize);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > maxReplySize) {
            Q_EMIT versionFailed(replyError(reply));
            return;
        }
        const auto values =
            scanPropertyList(reply->read(maxReplySize), {QStringLiteral("version")});
        Q_EMIT versionFound(values.value(QStringLiteral("version")));
    });
}

QMap<QString, QString> WebServiceClient::scanPropertyList(const QByteArray& xml,
                                                          const QStringList& keys)
{
    QMap<QString, QString> values;
    QString pendingKey; // a wanted key whose value may come next
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        // Whitespace or a comment may stand between a key and its value.
        if (token == QXmlStreamReader::Comment || reader.isWhitespace())
            continue;
        if (token == QXmlStreamReader::StartElement && reader.name() == QLatin1String("key")) {
            const QString key = reader.readElementText(QXmlStreamReader::SkipChildElements);
            pendingKey = keys.contains(key) ? key : QString();
            continue;
        }
        if (token == QXmlStreamReader::StartElement && reader.name() == QLatin1String("string") &&
            !pendingKey.isEmpty())
            values.insert(pendingKey, reader.readElementText(QXmlStreamReader::SkipChildElements));
        pendingKey.clear();
    }
    // What was read before an XML error still counts.
    return values;
}
