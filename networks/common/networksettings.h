#pragma once

#include <QString>

class QSettings;

// The networks' settings keys, defaults and conversions, in one place. Secrets
// are not here: they live in the SecretStore under the keys named below.
namespace networksettings {

struct Mastodon
{
    bool active = false;
    QString instance;                                // host[:port]
    QString visibility = QStringLiteral("unlisted"); // public, unlisted, private or direct
};

struct Bluesky
{
    bool active = false;
    QString handle;
    QString service = QStringLiteral("bsky.social"); // the PDS, host[:port]
};

struct Discord
{
    bool active = false;
};

// The secrets' keys.
inline QString mastodonAccessToken()
{
    return QStringLiteral("mastodon/AccessToken");
}
inline QString blueskyAppPassword()
{
    return QStringLiteral("bluesky/AppPassword");
}
inline QString blueskyRefreshToken()
{
    return QStringLiteral("bluesky/RefreshToken");
}
inline QString discordWebhookUrl()
{
    return QStringLiteral("discord/WebhookUrl");
}

Mastodon readMastodon();
Bluesky readBluesky();
Discord readDiscord();
void write(const Mastodon& settings);
void write(const Bluesky& settings);
void write(const Discord& settings);

// host[:port] from what a DJ types: an "https://" (or "http://") prefix, a path
// and surrounding blanks go; https is always used. Empty when what is left is
// not a plain host name or address with an optional port.
QString hostOf(const QString& typed);

// The PEM file of "advanced/ExtraCaCertificates", trusted besides the system's.
QString extraCaCertificates();

} // namespace networksettings
