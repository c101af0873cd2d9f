#pragma once

#include "bluesky/blueskyaccount.h"
#include "common/secretstore.h"
#include "discord/discordaccount.h"
#include "mastodon/mastodonaccount.h"

#include <QObject>
#include <QVector>

// The three network accounts with the secret store they share. The window
// configures them from the settings once built (and again after Preferences
// change them), adds every account as a post target and shows the state of
// each active one.
class NetworkAccounts : public QObject
{
    Q_OBJECT
public:
    explicit NetworkAccounts(QObject* parent = nullptr);
    ~NetworkAccounts() override;

    SecretStore& secrets() { return m_secrets; }
    MastodonAccount& mastodon() { return m_mastodon; }
    BlueskyAccount& bluesky() { return m_bluesky; }
    DiscordAccount& discord() { return m_discord; }
    QVector<NetworkAccount*> all() { return {&m_mastodon, &m_bluesky, &m_discord}; }

    // Reads the settings and the secrets and configures every account.
    void configure();

    // Characters left for text on the tightest active network, each counting
    // its own way; INT_MAX when none is active.
    int charactersLeft(const QString& text) const;

private:
    SecretStore m_secrets; // outlives the accounts
    MastodonAccount m_mastodon;
    BlueskyAccount m_bluesky;
    DiscordAccount m_discord;
};
