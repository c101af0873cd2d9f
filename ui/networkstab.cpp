#include "networkstab.h"

#include <QLineEdit>

NetworksTab::NetworksTab(QWidget* parent) : QWidget(parent)
{
    setupUi(this);
    // Unlisted by default: a set's posts should not flood the public timelines.
    const std::pair<const char*, QString> visibilities[] = {
        {QT_TR_NOOP("Public"), QStringLiteral("public")},
        {QT_TR_NOOP("Unlisted"), QStringLiteral("unlisted")},
        {QT_TR_NOOP("Followers only"), QStringLiteral("private")},
        {QT_TR_NOOP("Mentioned people only"), QStringLiteral("direct")}};
    for (const auto& [text, value] : visibilities)
        mastodonVisibilityCombo->addItem(tr(text), value);
    // The instance's address gets the room, not the longest choice.
    mastodonVisibilityCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    mastodonVisibilityCombo->setMinimumContentsLength(10);
    const QString keep = tr("empty: the stored one stays");
    for (QLineEdit* secret : {mastodonTokenEdit, blueskyPasswordEdit, discordWebhookEdit})
        secret->setPlaceholderText(keep);
    // Room for the state and the last test's outcome without a jump in the layout.
    for (QLabel* state : {mastodonStateLbl, blueskyStateLbl, discordStateLbl})
        state->setMinimumHeight(2 * state->fontMetrics().lineSpacing() +
                                state->fontMetrics().descent());
    mastodonInstanceEdit->setPlaceholderText(QStringLiteral("mastodon.social"));
    blueskyHandleEdit->setPlaceholderText(QStringLiteral("name.bsky.social"));
    blueskyServiceEdit->setPlaceholderText(QStringLiteral("bsky.social"));
    mastodonTokenEdit->setToolTip(
        tr("A token with the scopes write:statuses and read:accounts (Preferences, Development, "
           "New application on your instance), or leave it empty and press Sign in."));
    blueskyPasswordEdit->setToolTip(
        tr("An app password (Settings, Privacy and security, App passwords), not your "
           "account's password."));
    discordWebhookEdit->setToolTip(
        tr("The channel's webhook URL (channel settings, Integrations, Webhooks, Copy Webhook "
           "URL). It carries its token: keep it to yourself."));
}

// An address longer than its field shows its start.
void NetworksTab::showMastodon(const networksettings::Mastodon& settings)
{
    mastodonActiveChBox->setChecked(settings.active);
    mastodonInstanceEdit->setText(settings.instance);
    mastodonInstanceEdit->setCursorPosition(0);
    mastodonVisibilityCombo->setCurrentIndex(
        qMax(0, mastodonVisibilityCombo->findData(settings.visibility)));
}

void NetworksTab::showBluesky(const networksettings::Bluesky& settings)
{
    blueskyActiveChBox->setChecked(settings.active);
    blueskyHandleEdit->setText(settings.handle);
    blueskyHandleEdit->setCursorPosition(0);
    blueskyServiceEdit->setText(settings.service);
    blueskyServiceEdit->setCursorPosition(0);
}

void NetworksTab::showDiscord(const networksettings::Discord& settings)
{
    discordActiveChBox->setChecked(settings.active);
}

networksettings::Mastodon NetworksTab::mastodon() const
{
    networksettings::Mastodon m;
    m.active = mastodonActiveChBox->isChecked();
    m.instance = mastodonInstanceEdit->text();
    m.visibility = mastodonVisibilityCombo->currentData().toString();
    return m;
}

networksettings::Bluesky NetworksTab::bluesky() const
{
    networksettings::Bluesky b;
    b.active = blueskyActiveChBox->isChecked();
    b.handle = blueskyHandleEdit->text();
    b.service = blueskyServiceEdit->text();
    return b;
}

networksettings::Discord NetworksTab::discord() const
{
    networksettings::Discord d;
    d.active = discordActiveChBox->isChecked();
    return d;
}

QString NetworksTab::takeSecret(QLineEdit* field)
{
    const QString secret = field->text().trimmed();
    field->clear();
    return secret;
}

void NetworksTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Q_EMIT shown();
}
