#include "networkcontrols.h"

#include "applicationsettings.h"
#include "desktop.h"
#include "messagecomposer.h"
#include "networkstab.h"
#include "postingoutput.h"
#include "prefsdlg.h"
#include "quitsequence.h"
#include "statusmodel.h"
#include "ui_maindlg.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>

#include <climits>
#include <tuple>

namespace ns = networksettings;

namespace {
using Secrets = QList<QPair<QString, QString>>;
} // namespace

NetworkControls::NetworkControls(PrefsDlg& prefs, Ui::MainDlg& form, StatusModel& status,
                                 const ApplicationSettings& settings, QObject* parent)
    : QObject(parent), m_prefs(prefs), m_form(form), m_status(status), m_tab(new NetworksTab)
{
    // Last, so that the tab numbers stored by earlier versions still hold.
    const int index = prefs.prefsTabWgt->addTab(m_tab, tr("Networks"));
    if (settings.prefTabIndex() == index)
        prefs.prefsTabWgt->setCurrentIndex(index);
    // The tab is taller than the others: the dialog grows to show it whole.
    QTabWidget& tabs = *prefs.prefsTabWgt;
    tabs.setMinimumSize(tabs.minimumSize().expandedTo(tabs.minimumSizeHint()));
    prefs.layout()->invalidate();
    prefs.setMinimumSize(prefs.minimumSize().expandedTo(prefs.layout()->minimumSize()));
    prefs.resize(prefs.size().expandedTo(prefs.minimumSize()));
    NetworksTab& t = *m_tab;
    t.showMastodon(ns::readMastodon());
    t.showBluesky(ns::readBluesky());
    t.showDiscord(ns::readDiscord());
    const auto widgets = [](Network& n, NetworkAccount& account, const char* key,
                            QAbstractButton* active, QLineEdit* secret, QAbstractButton* signIn,
                            QAbstractButton* test, QLabel* state) {
        std::tie(n.account, n.key, n.active, n.secret, n.signIn, n.test, n.state) =
            std::make_tuple(&account, QLatin1String(key), active, secret, signIn, test, state);
    };

    Network& mastodon = m_networks[0];
    widgets(mastodon, m_accounts.mastodon(), "mastodon", t.mastodonActiveChBox, t.mastodonTokenEdit,
            t.mastodonSignInBtn, t.mastodonTestBtn, t.mastodonStateLbl);
    mastodon.writeSettings = [this] {
        const ns::Mastodon before = ns::readMastodon();
        ns::write(m_tab->mastodon());
        const ns::Mastodon now = ns::readMastodon();
        m_tab->showMastodon(now);
        return std::tie(before.active, before.instance, before.visibility) !=
               std::tie(now.active, now.instance, now.visibility);
    };
    mastodon.configure = [this] { m_accounts.mastodon().configure(ns::readMastodon()); };
    mastodon.secretsFor = [](const QString& token) {
        return Secrets{{ns::mastodonAccessToken(), token}};
    };

    Network& bluesky = m_networks[1];
    widgets(bluesky, m_accounts.bluesky(), "bluesky", t.blueskyActiveChBox, t.blueskyPasswordEdit,
            t.blueskySignInBtn, t.blueskyTestBtn, t.blueskyStateLbl);
    bluesky.writeSettings = [this] {
        const ns::Bluesky before = ns::readBluesky();
        ns::write(m_tab->bluesky());
        const ns::Bluesky now = ns::readBluesky();
        m_tab->showBluesky(now);
        return std::tie(before.active, before.handle, before.service) !=
               std::tie(now.active, now.handle, now.service);
    };
    bluesky.configure = [this] { m_accounts.bluesky().configure(ns::readBluesky()); };
    // A new app password ends the session of the old one.
    bluesky.secretsFor = [](const QString& password) {
        return Secrets{{ns::blueskyAppPassword(), password}, {ns::blueskyRefreshToken(), {}}};
    };

    Network& discord = m_networks[2];
    widgets(discord, m_accounts.discord(), "discord", t.discordActiveChBox, t.discordWebhookEdit,
            nullptr, t.discordTestBtn, t.discordStateLbl);
    discord.writeSettings = [this] {
        const bool before = ns::readDiscord().active;
        ns::write(m_tab->discord());
        return before != ns::readDiscord().active;
    };
    discord.configure = [this] { m_accounts.discord().configure(ns::readDiscord()); };
    discord.secretsFor = [](const QString& url) { return Secrets{{ns::discordWebhookUrl(), url}}; };

    for (Network& n : m_networks) {
        connect(n.account, &NetworkAccount::stateChanged, this, [this, &n] {
            showState(n);
            refreshRemaining(); // a limit comes with the sign-in
        });
        connect(n.account, &NetworkAccount::testFinished, this,
                [this, &n](bool sent, const QString& answer) {
                    n.note = sent ? tr("Test posted: %1").arg(answer)
                                  : tr("The test post failed: %1").arg(answer);
                    showState(n);
                });
        if (n.signIn)
            connect(n.signIn, &QAbstractButton::clicked, this, [this, &n] { signIn(n); });
        connect(n.test, &QAbstractButton::clicked, this, [this, &n] { test(n); });
    }
    connect(&m_accounts.mastodon(), &MastodonAccount::authorizePageReady, this,
            &NetworkControls::askForMastodonCode);
    connect(&m_accounts.mastodon(), &MastodonAccount::signInFailed, this,
            [this](const QString& reason) {
                m_networks[0].note = tr("Sign-in failed: %1").arg(reason);
                showState(m_networks[0]);
            });
    connect(&prefs, &PrefsDlg::closeDlg, this, [this] {
        for (Network& n : m_networks)
            apply(n, false);
    });
    connect(m_tab, &NetworksTab::shown, this, &NetworkControls::showSecretsPlace);
    connect(prefs.activeTwitChBox, &QAbstractButton::toggled, this,
            &NetworkControls::refreshRemaining);
    connect(form.msgTxtEdit, &QTextEdit::textChanged, this, &NetworkControls::refreshRemaining);
    connect(form.sendMsgBtn, &QAbstractButton::clicked, this, &NetworkControls::sendMessage);
    // Fields edited in a Preferences window that was never closed still count.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (m_tab)
            for (Network& n : m_networks)
                n.writeSettings();
    });

    m_accounts.configure();
    for (Network& n : m_networks)
        showState(n);
}

NetworkControls::~NetworkControls()
{
    // The status model is gone by the time the accounts end.
    for (Network& n : m_networks)
        n.account->disconnect(this);
}

TwitClient::TokenStore NetworkControls::twitterTokens()
{
    SecretStore* store = &m_accounts.secrets();
    const QString key = TwitClient::tokenKeyName();
    const QString secret = TwitClient::tokenSecretName();
    TwitClient::TokenStore tokens;
    tokens.read = [store, key, secret](QObject* context, TwitClient::TokenStore::Done done) {
        store->read({key, secret}, context, [key, secret, done](const SecretStore::Values& pair) {
            done(pair.value(key), pair.value(secret));
        });
    };
    tokens.write = [store, key, secret](const QString& tokenKey, const QString& tokenSecret) {
        store->write(key, tokenKey);
        store->write(secret, tokenSecret);
    };
    return tokens;
}

void NetworkControls::attach(PostingOutput& posting, QuitSequence& quit)
{
    m_posting = &posting;
    for (Network& n : m_networks) {
        NetworkAccount* account = n.account;
        posting.addTarget(account);
        quit.addPending(tr("%1 posts").arg(account->name()),
                        [account] { return account->postsPending(); });
    }
}

void NetworkControls::refreshRemaining()
{
    const QString text = m_form.msgTxtEdit->toPlainText();
    const bool x = m_prefs.activeTwitChBox->isChecked();
    const int networksLeft = m_accounts.charactersLeft(text);
    const bool anyActive = x || networksLeft != INT_MAX;
    const int left = x || !anyActive ? MessageComposer::remainingCharacters(text) : networksLeft;
    m_form.characterLcdNum->display(left);
    m_form.sendMsgBtn->setEnabled(anyActive && left >= 0 && !text.isEmpty());
}

void NetworkControls::sendMessage()
{
    const QString text = m_form.msgTxtEdit->toPlainText();
    if (!text.isEmpty() && m_posting && m_posting->postToAll(text, PostKind::Manual))
        m_form.msgTxtEdit->clear();
}

// What closing Preferences does for one network: its settings are written, a
// secret typed into its field goes to the store, and the account signs in anew
// when anything changed (or when forced). then runs once the account has its
// new configuration, so that a post queued by it uses that.
void NetworkControls::apply(Network& n, bool force, std::function<void()> then)
{
    if (!m_tab)
        return;
    const bool changed = n.writeSettings();
    const QString secret = NetworksTab::takeSecret(n.secret);
    const auto done = [this, &n, then] {
        showState(n);
        refreshRemaining();
        if (then)
            then();
    };
    if (!secret.isEmpty()) {
        storeSecrets(n.secretsFor(secret), [&n, done] {
            n.configure();
            done();
        });
        return;
    }
    if (changed || force)
        n.configure();
    done();
}

void NetworkControls::storeSecrets(QList<QPair<QString, QString>> secrets,
                                   std::function<void()> then)
{
    if (secrets.isEmpty()) {
        then();
        return;
    }
    const QPair<QString, QString> first = secrets.takeFirst();
    // The store, and with it this callback, ends with this object.
    m_accounts.secrets().write(
        first.first, first.second,
        [this, secrets, then](SecretStore::Place) { storeSecrets(secrets, then); });
}

void NetworkControls::showState(Network& n)
{
    const QString state = n.account->state();
    const QString detail = n.account->detail();
    if (n.account->postingActive()) {
        m_status.addLine(n.key, n.account->name());
        m_status.set(n.key, state, detail);
    } else {
        m_status.removeLine(n.key);
    }
    if (!m_tab)
        return;
    QString text = detail.isEmpty() ? state : state + QStringLiteral(" \u2014 ") + detail;
    if (!n.note.isEmpty())
        text += QLatin1Char('\n') + n.note;
    n.state->setText(text);
}

// Signing in is setting the network up to post, so it switches it on.
void NetworkControls::signIn(Network& n)
{
    if (!m_tab)
        return;
    n.active->setChecked(true);
    n.note.clear();
    MastodonAccount& mastodon = m_accounts.mastodon();
    if (n.account == &mastodon && m_tab->mastodonTokenEdit->text().trimmed().isEmpty()) {
        // No token pasted: the desktop sign-in on the instance.
        apply(n, false,
              [&mastodon] { mastodon.registerApp(networksettings::readMastodon().instance); });
        return;
    }
    apply(n, true);
}

void NetworkControls::test(Network& n)
{
    if (!n.active->isChecked()) {
        n.note = tr("Nothing was posted: %1 is not active.").arg(n.account->name());
        showState(n);
        return;
    }
    n.note = tr("Posting \u201c%1\u201d\u2026").arg(PrefsDlg::testMessage());
    apply(n, false, [&n] { n.account->post(PrefsDlg::testMessage(), PostKind::Test); });
}

void NetworkControls::askForMastodonCode(const QUrl& page)
{
    if (!m_tab)
        return;
    desktop::open(page);
    auto* dialog = new QInputDialog(m_tab->window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("FENK - Mastodon"));
    dialog->setLabelText(tr("Allow FENK on the page that opened in your browser (or open it "
                            "yourself: %1), then paste the code it shows:")
                             .arg(page.toString()));
    if (auto* label = dialog->findChild<QLabel*>()) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    connect(dialog, &QInputDialog::textValueSelected, &m_accounts.mastodon(),
            &MastodonAccount::exchangeCode);
    dialog->open();
}

void NetworkControls::showSecretsPlace()
{
    if (!m_tab)
        return;
    const SecretStore::Place place = m_accounts.secrets().place();
    QString text = tr("Tokens, passwords and the webhook URL are kept in the %1.")
                       .arg(SecretStore::placeName(place));
    if (place == SecretStore::Place::SettingsFile)
        text += QLatin1Char(' ') + tr("No Secret Service runs; only you can read the file.");
    m_tab->secretsPlaceLbl->setText(text);
}
