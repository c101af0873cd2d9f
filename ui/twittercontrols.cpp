#include "twittercontrols.h"

#include "applicationsettings.h"
#include "messagecomposer.h"
#include "prefsdlg.h"
#include "statusmodel.h"
#include "track.h"
#include "twitclient.h"
#include "ui_maindlg.h"

namespace {
const QString twitterKey = QStringLiteral("twitter");
}

TwitterControls::TwitterControls(TwitClient& client, PrefsDlg& prefs, Ui::MainDlg& form,
                                 StatusModel& status, const ApplicationSettings& settings,
                                 QObject* parent)
    : QObject(parent), m_client(client), m_prefs(prefs), m_form(form), m_status(status),
      m_settings(settings)
{
    m_status.addLine(twitterKey, tr("Twitter"));
    connect(&client, &TwitClient::accountStateChanged, this, &TwitterControls::showAccount);
    connect(&client, &TwitClient::postFinished, this, &TwitterControls::postFinished);
    connect(&prefs, &PrefsDlg::sendTestMsg, this, &TwitterControls::testPost);
    connect(prefs.requestNewTokBtn, &QAbstractButton::clicked, &client, &TwitClient::requestToken);
    // Switching posting on is the moment to sign in, not every start of FENK.
    connect(prefs.activeTwitChBox, &QAbstractButton::clicked, this, [this](bool on) {
        m_client.setActive(on);
        showAccount();
        if (on && !m_client.hasToken())
            m_client.requestToken();
    });
    showAccount();
}

void TwitterControls::showAccount()
{
    if (!m_prefs.activeTwitChBox->isChecked()) {
        m_status.set(twitterKey, tr("off"), tr("switched off in Preferences"));
        return;
    }
    QString detail = m_client.accountDetail();
    // Until the check answers, the name the account had last time.
    if (detail.isEmpty() && m_client.accountVerdict() == tr("checking\u2026") &&
        !m_settings.userName().isEmpty())
        detail = tr("@%1 last time").arg(m_settings.userName());
    m_status.set(twitterKey, m_client.accountVerdict(), detail);
}

void TwitterControls::activate()
{
    m_client.setActive(m_prefs.activeTwitChBox->isChecked());
    showAccount();
}

void TwitterControls::prepareTrackMessage(const Track& track)
{
    if (m_form.msgTxtEdit->toPlainText().isEmpty())
        m_form.msgTxtEdit->setPlainText(
            MessageComposer::nowPlaying(m_settings.playingMessage(), track.artist, track.title,
                                        m_settings.hashtagArtist(), m_settings.hashtagTrack()));
    m_form.msgTxtEdit->setFocus();
}

// The DJ pressed Test and waits for a word: what went out, or why nothing did.
void TwitterControls::testPost(const QString& text)
{
    if (!m_prefs.activeTwitChBox->isChecked()) {
        m_prefs.testResultLbl->setText(tr("Nothing was posted: Twitter is not active."));
        return;
    }
    m_prefs.testResultLbl->setText(tr("Posting \u201c%1\u201d\u2026").arg(text));
    m_testPost = m_client.updateStatus(text, TwitClient::PostKind::Test);
}

void TwitterControls::postFinished(quint64 id, bool sent, const QString& answer)
{
    if (id != m_testPost)
        return;
    const QString account = m_client.accountVerdict();
    m_prefs.testResultLbl->setText(
        sent ? tr("Posted as %1 (%2).")
                   .arg(account.startsWith(QLatin1Char('@')) ? account : tr("the stored account"),
                        answer)
             : tr("The test post failed: %1").arg(answer));
}
