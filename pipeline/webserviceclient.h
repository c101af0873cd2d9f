#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

// The maker's web service: track and session reports, the IP location lookup
// and the version check, all HTTPS GETs to one host. Every request has a
// transfer time-out and a bounded reply; TLS errors are never ignored. Results
// and failures come back as signals, on the thread of the access manager.
class WebServiceClient : public QObject
{
    Q_OBJECT
public:
    // The service's key, sent with every report.
    static constexpr const char* apiToken = "5c1e7a90d2b34f68a0e9c7b1d3f2a846";
    // Replies larger than this are cut off as failures.
    static constexpr qint64 maxReplySize = 64 * 1024;

    // host: host[:port] of the web service; nam stays owned by the caller.
    WebServiceClient(QNetworkAccessManager* nam, QString host, QObject* parent = nullptr);

    void setTimeout(int ms);
    int timeout() const { return m_timeoutMs; }
    // A PEM file whose certificates are trusted in addition to the system's.
    // Returns false (and trusts nothing extra) when it holds no certificate.
    bool setExtraCaCertificates(const QString& pemFile);

    struct Identity
    {
        QString uid, userName, location;
    };

    // One digit: 1 Traktor, 2 Serato, 4 Ableton; without Serato, Traktor is
    // assumed to listen.
    static QString listenerCode(bool serato, bool traktor, bool ableton);

    // The request URLs, each value percent-encoded (UTF-8) and inserted once.
    QUrl trackUrl(const Identity& who, const QString& artist, const QString& track) const;
    QUrl sessionUrl(const Identity& who, bool start, const QString& version,
                    const QString& listenerCode) const;

    void sendTrack(const Identity& who, const QString& artist, const QString& track);
    void sendSession(const Identity& who, bool start, const QString& version,
                     const QString& listenerCode);
    void lookupLocation();
    void checkVersion();
    // Track and session reports sent and not yet answered or failed.
    int reportsInFlight() const { return m_reportsInFlight; }

    // The string values of the wanted keys in a property-list style reply
    // (<key>K</key> then <string>V</string>); absent keys are left out.
    static QMap<QString, QString> scanPropertyList(const QByteArray& xml, const QStringList& keys);

Q_SIGNALS:
    void locationFound(QString city, QString country, QString countryCode);
    void locationFailed(QString error);
    // Empty when the reply named no version.
    void versionFound(QString version);
    void versionFailed(QString error);
    // what: "track report" or "session report".
    void reportFailed(QString what, QString error);

private:
    QNetworkReply* get(const QUrl& url);
    void fetchPropertyList(QPointer<QNetworkReply>& latest, const QString& path,
                           const QStringList& keys,
                           std::function<void(QMap<QString, QString>)> found,
                           std::function<void(QString)> failed);
    QUrl serviceUrl(const QString& pathAndQuery) const;

    QNetworkAccessManager* m_nam;
    QString m_host;
    int m_timeoutMs = 30000;
    // Built once: the system's trust store is read from disk, which a track
    // report on the GUI thread must not do every time.
    QSslConfiguration m_tls = QSslConfiguration::defaultConfiguration();
    QPointer<QNetworkReply> m_locationReply;
    QPointer<QNetworkReply> m_versionReply;
    int m_reportsInFlight = 0;
};
