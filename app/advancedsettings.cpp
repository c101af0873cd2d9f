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

} // namespace

AdvancedSettings::AdvancedSettings()
{
    const QSettings store;
    m_serviceHost = readText(store, QStringLiteral("advanced/ServiceHost"), defaultServiceHost());
    m_webSiteHost = readText(store, QStringLiteral("advanced/WebSiteHost"), defaultWebSiteHost());
    m_twitterApiHost =
        readText(store, QStringLiteral("advanced/TwitterApiHost"), defaultTwitterApiHost());
    m_extraCaCertificates = store.value(QStringLiteral("advanced/ExtraCaCertificates")).toString();
    m_listenAddress = readListenAddress(store);
}
