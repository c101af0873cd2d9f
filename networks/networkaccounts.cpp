#include "networkaccounts.h"

#include <algorithm>
#include <climits>

NetworkAccounts::NetworkAccounts(QObject* parent)
    : QObject(parent), m_mastodon(m_secrets), m_bluesky(m_secrets), m_discord(m_secrets)
{}

NetworkAccounts::~NetworkAccounts() = default;

void NetworkAccounts::configure()
{
    m_mastodon.configure(networksettings::readMastodon());
    m_bluesky.configure(networksettings::readBluesky());
    m_discord.configure(networksettings::readDiscord());
}

int NetworkAccounts::charactersLeft(const QString& text) const
{
    int left = INT_MAX;
    for (const NetworkAccount* account : {static_cast<const NetworkAccount*>(&m_mastodon),
                                          static_cast<const NetworkAccount*>(&m_bluesky),
                                          static_cast<const NetworkAccount*>(&m_discord)}) {
        if (account->postingActive())
            left = std::min(left, account->charactersLeft(text));
    }
    return left;
}
