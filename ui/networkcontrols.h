#pragma once

#include "networkaccounts.h"
#include "twitclient.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <functional>

class ApplicationSettings;
class NetworksTab;
class PostingOutput;
class PrefsDlg;
class QuitSequence;
class StatusModel;
class QAbstractButton;
class QLabel;
class QLineEdit;
class QUrl;
namespace Ui {
class MainDlg;
}

// The window's side of Mastodon, Bluesky and Discord: the Preferences tab
// "Networks" (applied when Preferences close, or at once by "Sign in" and
// "Test"), a status line for each active network, the accounts as targets of
// the set's posts, and the manual message, whose counter and Send button serve
// every active network, X included.
class NetworkControls : public QObject
{
    Q_OBJECT
public:
    NetworkControls(PrefsDlg& prefs, Ui::MainDlg& form, StatusModel& status,
                    const ApplicationSettings& settings, QObject* parent);
    ~NetworkControls() override;

    // X's token pair, kept in the networks' secret store.
    TwitClient::TokenStore twitterTokens();
    // Every account becomes a target of the set's posts and of Send, and a
    // quit waits for their queues.
    void attach(PostingOutput& posting, QuitSequence& quit);

    // The manual message. While X posts, its 140 characters count; otherwise
    // the tightest active network's limit, counted its own way.
    void refreshRemaining();
    void sendMessage();

private:
    struct Network
    {
        NetworkAccount* account = nullptr;
        QString key; // of its status line
        QAbstractButton* active = nullptr;
        QLineEdit* secret = nullptr;
        QAbstractButton* signIn = nullptr; // none for a webhook
        QAbstractButton* test = nullptr;
        QLabel* state = nullptr;
        // Writes the tab's settings; true when they differ from the stored ones.
        std::function<bool()> writeSettings;
        std::function<void()> configure;
        // The secrets that a newly typed one replaces.
        std::function<QList<QPair<QString, QString>>(const QString&)> secretsFor;
        QString note; // the last test's or sign-in's outcome
    };

    void apply(Network& n, bool force, std::function<void()> then = {});
    void storeSecrets(QList<QPair<QString, QString>> secrets, std::function<void()> then);
    void showState(Network& n);
    void signIn(Network& n);
    void test(Network& n);
    void askForMastodonCode(const QUrl& page);
    void showSecretsPlace();

    PrefsDlg& m_prefs;
    Ui::MainDlg& m_form;
    StatusModel& m_status;
    NetworkAccounts m_accounts;
    // Goes with the preferences dialog, which the window deletes first.
    QPointer<NetworksTab> m_tab;
    PostingOutput* m_posting = nullptr;
    std::array<Network, 3> m_networks;
};
