#pragma once

#include "networksettings.h"
#include "ui_networkstab.h"

#include <QWidget>

class QLineEdit;

// The Preferences tab "Networks": per network "Active", the account's fields,
// "Sign in"/"Test" and the account's state, and where the secrets are kept.
// Widgets only: NetworkControls applies what it holds.
class NetworksTab : public QWidget, public Ui::NetworksTab
{
    Q_OBJECT
public:
    explicit NetworksTab(QWidget* parent = nullptr);

    void showMastodon(const networksettings::Mastodon& settings);
    void showBluesky(const networksettings::Bluesky& settings);
    void showDiscord(const networksettings::Discord& settings);
    // The fields as typed; the settings tidy them (a host without "https://",
    // a handle without "@") when they are read back.
    networksettings::Mastodon mastodon() const;
    networksettings::Bluesky bluesky() const;
    networksettings::Discord discord() const;

    // What was typed into a secret's field; the field is emptied, so that the
    // secret lives only in the store.
    static QString takeSecret(QLineEdit* field);

Q_SIGNALS:
    void shown();

protected:
    void showEvent(QShowEvent* event) override;
};
