#include "networksettings.h"

#include "advancedsettings.h"
#include "applicationsettings.h"

#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QUrl>

namespace networksettings {

namespace {

const QStringList visibilities = {QStringLiteral("public"), QStringLiteral("unlisted"),
                                  QStringLiteral("private"), QStringLiteral("direct")};

void sync(QSettings& store)
{
    store.sync();
    ApplicationSettings::protectStoreFile();
}

} // namespace

Mastodon readMastodon()
{
    const QSettings store;
    Mastodon m;
    m.active = store.value(QStringLiteral("mastodon/Active"), false).toBool();
    m.instance = hostOf(store.value(QStringLiteral("mastodon/Instance")).toString());
    const QString visibility =
        store.value(QStringLiteral("mastodon/Visibility")).toString().trimmed().toLower();
    if (visibilities.contains(visibility))
        m.visibility = visibility;
    return m;
}

Bluesky readBluesky()
{
    const QSettings store;
    Bluesky b;
    b.active = store.value(QStringLiteral("bluesky/Active"), false).toBool();
    // A handle is often copied with its "@".
    b.handle = store.value(QStringLiteral("bluesky/Handle")).toString().trimmed();
    if (b.handle.startsWith(QLatin1Char('@')))
        b.handle.remove(0, 1);
    const QString service = hostOf(store.value(QStringLiteral("bluesky/Service")).toString());
    if (!service.isEmpty())
        b.service = service;
    return b;
}

Discord readDiscord()
{
    Discord d;
    d.active = QSettings().value(QStringLiteral("discord/Active"), false).toBool();
    return d;
}

void write(const Mastodon& settings)
{
    QSettings store;
    store.setValue(QStringLiteral("mastodon/Active"), settings.active);
    store.setValue(QStringLiteral("mastodon/Instance"), settings.instance);
    store.setValue(QStringLiteral("mastodon/Visibility"), settings.visibility);
    sync(store);
}

void write(const Bluesky& settings)
{
    QSettings store;
    store.setValue(QStringLiteral("bluesky/Active"), settings.active);
    store.setValue(QStringLiteral("bluesky/Handle"), settings.handle);
    store.setValue(QStringLiteral("bluesky/Service"), settings.service);
    sync(store);
}

void write(const Discord& settings)
{
    QSettings store;
    store.setValue(QStringLiteral("discord/Active"), settings.active);
    sync(store);
}

QString hostOf(const QString& typed)
{
    QString text = typed.trimmed();
    text.remove(QRegularExpression(QStringLiteral("^[A-Za-z]+://")));
    text = text.section(QLatin1Char('/'), 0, 0);
    static const QRegularExpression host(QStringLiteral(
        "^(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:[0-9]{1,5})?$"));
    return host.match(text).hasMatch() ? text.toLower() : QString();
}

QString extraCaCertificates()
{
    return AdvancedSettings().extraCaCertificates();
}

} // namespace networksettings
