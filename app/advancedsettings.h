#pragma once

#include <QHostAddress>
#include <QString>

// Deployment settings under "advanced/" in the per-user store. The program only
// reads them; an administrator or a test writes them beforehand.
class AdvancedSettings
{
public:
    // Reads the values from the store of the current organization and application.
    AdvancedSettings();

    // host[:port] of the maker's web service.
    QString serviceHost() const { return m_serviceHost; }
    // host[:port] of the product web site (stylesheet, download page).
    QString webSiteHost() const { return m_webSiteHost; }
    // host[:port] of the Twitter API.
    QString twitterApiHost() const { return m_twitterApiHost; }
    // A PEM file whose certificates are trusted in addition to the system's; may be empty.
    QString extraCaCertificates() const { return m_extraCaCertificates; }
    // Which Twitter API the account speaks: Auto starts on v1.1 and moves to v2 when
    // the service allows this app only v2.
    enum class TwitterApi { Auto, V1, V2 };
    TwitterApi twitterApi() const { return m_twitterApi; }
    // The IPv4 address the Traktor and Ableton listeners bind.
    QString listenAddress() const { return m_listenAddress; }

    static QString defaultServiceHost() { return QStringLiteral("service.fenk.fm"); }
    static QString defaultWebSiteHost() { return QStringLiteral("www.fenk.fm"); }
    static QString defaultTwitterApiHost() { return QStringLiteral("api.twitter.com"); }
    static QString defaultListenAddress() { return QStringLiteral("127.0.0.1"); }

private:
    QString m_serviceHost;
    QString m_webSiteHost;
    QString m_twitterApiHost;
    QString m_extraCaCertificates;
    TwitterApi m_twitterApi = TwitterApi::Auto;
    QString m_listenAddress;
};
