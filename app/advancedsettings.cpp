#include "advancedsettings.h"

#include <QDebug>
#include <QSettings>

namespace {

QString readText(const QSettings& store, const QString& key, const QString& fallback)
{
    const QString value = store.value(key).toString().trimmed();
    return value.isEmpty() ? fallback : value;
}

// Anything that is not a plain IPv4 address falls back to loopback: a typo must
// never open the listeners to the whole network.
QString readListenAddress(const QSettings& store)
{
    const QString configured =
        store.value(QStringLiteral("advanced/ListenAddress")).toString().trimmed();
    if (configured.isEmpty())
        return AdvancedSettings::defaultListenAddress();
    QHostAddress address;
    if (!address.setAddress(configured) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        qWarning() << "advanced/ListenAddress is not an IPv4 address, using"
                   << AdvancedSettings::defaultListenAddress();
        return AdvancedSettings::defaultListenAddress();
    }
    return address.toString();
}

AdvancedSettings::TwitterApi readTwitterApi(const QSettings& store)
{
    const QString value = store.value(QStringLiteral("advanced/TwitterApi")).toString().trimmed();
    if (value == QLatin1String("v1.1"))
        return AdvancedSettings::TwitterApi::V1;
    if (value == QLatin1String("v2"))
        return AdvancedSettings::TwitterApi::V2;
    if (!value.isEmpty() && value != QLatin1String("auto"))
        qWarning() << "advanced/TwitterApi is not auto, v1.1 or v2, using auto";
    return AdvancedSettings::TwitterApi::Auto;
}

} // namespace

AdvancedSettings::AdvancedSettings()
{
    const QSettings store;
    m_serviceHost = readText(store, QStringLiteral("advanced/ServiceHost"), defaultServiceHost());
    m_webSiteHost = readText(store, QStringLiteral("advanced/WebSiteHost"), defaultWebSiteHost());
    m_twitterApiHost =
        readText(store, QStringLiteral("advanced/TwitterApiHost"), defaultTwitterApiHost());
    m_extraCaCertificates = store.value(QStringLiteral("advanced/ExtraCaCertificates")).toString();
    m_twitterApi = readTwitterApi(store);
    m_listenAddress = readListenAddress(store);
}
