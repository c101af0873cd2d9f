#include "webserviceclient.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QXmlStreamReader>

#include <utility>

namespace {

QString encoded(const QString& value)
{
    // Everything but the unreserved characters, so "&", "#", "+", "=" and "%"
    // inside a value can never be read as query syntax.
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

constexpr char tooLarge[] = "fenkTooLarge";
constexpr char tlsError[] = "fenkTlsError";

// What a DJ (and the log) should read about a failed request.
QString replyError(QNetworkReply* reply)
{
    if (reply->property(tooLarge).toBool() || reply->error() == QNetworkReply::NoError)
        return QStringLiteral("The reply is larger than %1 bytes")
            .arg(WebServiceClient::maxReplySize);
    // The transfer time-out aborts the reply; nothing else here cancels one
    // that still reports.
    if (reply->error() == QNetworkReply::OperationCanceledError ||
        reply->error() == QNetworkReply::TimeoutError)
        return QStringLiteral("No reply within %1 s from %2")
            .arg(reply->request().transferTimeout() / 1000.0)
            .arg(reply->url().host());
    const QString tls = reply->property(tlsError).toString();
    if (!tls.isEmpty())
        return QStringLiteral("TLS: %1 (%2)").arg(tls, reply->url().host());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
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
    m_tls = QSslConfiguration::defaultConfiguration();
    if (pemFile.isEmpty())
        return true;
    QFile file(pemFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QSslCertificate> extra =
        QSslCertificate::fromData(file.read(1024 * 1024), QSsl::Pem);
    if (extra.isEmpty())
        return false;
    m_tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    return true;
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
    request.setSslConfiguration(m_tls);
    QNetworkReply* reply = m_nam->get(request);
    // Certificate and TLS errors are never ignored: such a request fails, and
    // the first error says why.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError>& errors) {
        reply->setProperty(tlsError, errors.value(0).errorString());
    });
    // A hostile or broken server cannot fill memory with what should be a few
    // hundred bytes.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxReplySize) {
            reply->setProperty(tooLarge, true);
            reply->abort();
        }
    });
    // Also releases replies that were superseded and no longer reach this object.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

void WebServiceClient::sendTrack(const Identity& who, const QString& artist, const QString& track)
{
    QNetworkReply* reply = get(trackUrl(who, artist, track));
    ++m_reportsInFlight;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        --m_reportsInFlight;
        if (reply->error() != QNetworkReply::NoError)
            Q_EMIT reportFailed(QStringLiteral("track report"), replyError(reply));
    });
}

void WebServiceClient::sendSession(const Identity& who, bool start, const QString& version,
                                   const QString& listenerCode)
{
    QNetworkReply* reply = get(sessionUrl(who, start, version, listenerCode));
    ++m_reportsInFlight;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        --m_reportsInFlight;
        if (reply->error() != QNetworkReply::NoError)
            Q_EMIT reportFailed(QStringLiteral("session report"), replyError(reply));
    });
}

void WebServiceClient::fetchPropertyList(QPointer<QNetworkReply>& latest, const QString& path,
                                         const QStringList& keys,
                                         std::function<void(QMap<QString, QString>)> found,
                                         std::function<void(QString)> failed)
{
    if (latest) {
        // Only the newest request of a kind reports.
        latest->disconnect(this);
        latest->abort();
    }
    QNetworkReply* reply = get(serviceUrl(path));
    latest = reply;
    connect(reply, &QNetworkReply::finished, this, [reply, keys, found, failed] {
        if (reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > maxReplySize)
            failed(replyError(reply));
        else
            found(scanPropertyList(reply->read(maxReplySize), keys));
    });
}

void WebServiceClient::lookupLocation()
{
    fetchPropertyList(
        m_locationReply, QStringLiteral("/ip/ip.php"),
        {QStringLiteral("City"), QStringLiteral("Country"), QStringLiteral("CountryCode")},
        [this](const QMap<QString, QString>& values) {
            Q_EMIT locationFound(values.value(QStringLiteral("City")),
                                 values.value(QStringLiteral("Country")),
                                 values.value(QStringLiteral("CountryCode")));
        },
        [this](const QString& error) { Q_EMIT locationFailed(error); });
}

void WebServiceClient::checkVersion()
{
    fetchPropertyList(
        m_versionReply, QStringLiteral("/version_win.plist"), {QStringLiteral("version")},
        [this](const QMap<QString, QString>& values) {
            Q_EMIT versionFound(values.value(QStringLiteral("version")));
        },
        [this](const QString& error) { Q_EMIT versionFailed(error); });
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
            !pendingKey.isEmpty()) {
            const QString value = reader.readElementText(QXmlStreamReader::SkipChildElements);
            if (!reader.hasError()) // a value cut off by an error is no value
                values.insert(pendingKey, value);
        }
        pendingKey.clear();
    }
    // What was read before an XML error still counts.
    return values;
}
