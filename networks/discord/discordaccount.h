#pragma once

#include "networkaccount.h"
#include "networksettings.h"

// A Discord webhook: any https URL (Discord's own is
// https://discord.com/api/webhooks/ID/TOKEN). The URL carries its token, so it is
// kept as a secret and never logged. Posts allow no mentions, so a title holding
// "@everyone" pings nobody; 2,000 characters.
class DiscordAccount : public NetworkAccount
{
    Q_OBJECT
public:
    explicit DiscordAccount(SecretStore& secrets, QObject* parent = nullptr);
    ~DiscordAccount() override;

    void configure(const networksettings::Discord& settings);
    void setWebhookUrl(const QString& url);

    int length(const QString& text) const override;

protected:
    void reconfigure() override { configure(m_settings); }
    Attempt connectAccount() override;
    Attempt send(const QString& text, const QByteArray& postId) override;

private:
    networksettings::Discord m_settings;
    QByteArray m_url; // worker only
};
