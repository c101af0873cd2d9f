#include "twitclient.h"

#include "twitcurl.h"

#include <QDebug>
#include <QDesktopServices>
#include <QInputDialog>
#include <QLineEdit>
#include <QSettings>
#include <QThreadPool>

#include <utility>

namespace {

const QByteArray consumerKey = QByteArrayLiteral("Qw3ErTy7uIoP9aSdFgH2j");
const QByteArray consumerSecret = QByteArrayLiteral("Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm");
const QString tokenKeyName = QStringLiteral("oAuth/OAuthAccessTokenKey");
const QString tokenSecretName = QStringLiteral("oAuth/OAuthAccessTokenSecret");

QString showPinDialog(const QString& title, const QString& label, bool* ok)
{
    return QInputDialog::getText(nullptr, title, label, QLineEdit::Normal, QString(), ok);
}

void openInBrowser(const QUrl& url)
{
    // Starting the browser can take a while; the PIN dialog must come up at once.
    QThreadPool::globalInstance()->start([url] { QDesktopServices::openUrl(url); });
}

TwitClient::DesktopHooks& hooks()
{
    static TwitClient::DesktopHooks instance;
    return instance;
}

} // namespace

void TwitClient::setDesktopHooks(DesktopHooks newHooks)
{
    hooks() = std::move(newHooks);
}

TwitClient::TwitClient(QObject* parent) : QObject(parent)
{
    m_client = newClient();
    connect(&m_worker, &TwitThread::setUserNameID, this, &TwitClient::setUserNameID);
    loadTokens();
}

TwitClient::~TwitClient() = default;

std::shared_ptr<twitCurl> TwitClient::newClient()
{
    auto client = std::make_shared<twitCurl>();
    client->getSigner().setConsumerKey(consumerKey);
    client->getSigner().setConsumerSecret(consumerSecret);
    return client;
}

void TwitClient::loadTokens()
{
    const QSettings store;
    const QString key = store.value(tokenKeyName).toString();
    const QString secret = store.value(tokenSecretName).toString();
    if (!key.isEmpty() && !secret.isEmpty()) {
        m_client->getSigner().setTokenKey(key.toUtf8());
        m_client->getSigner().setTokenSecret(secret.toUtf8());
    } else if (authorize()) {
        // The new client's user-information job reports the name and ID; a check
        // on the same client now would race with that job.
        return;
    }
    checkCredentials();
}

void TwitClient::checkCredentials()
{
    if (!m_client->verifyCredentials()) {
        requestToken();
        return;
    }
    const TwitThread::User user = TwitThread::readUser(m_client->getLastReply());
    if (user.screenName.isEmpty())
        return;
    // Queued, so that whoever connects right after construction still hears it.
    QMetaObject::invokeMethod(
        this, [this, user] { Q_EMIT setUserNameID(user.screenName, user.userId); },
        Qt::QueuedConnection);
}

void TwitClient::requestToken()
{
    authorize();
}

bool TwitClient::authorize()
{
    std::shared_ptr<twitCurl> client = newClient();

    QByteArray authUrl;
    client->fetchRequestToken(authUrl);
    if (!authUrl.isEmpty()) {
        const QUrl url = QUrl::fromEncoded(authUrl);
        if (hooks().openUrl)
            hooks().openUrl(url);
        else
            openInBrowser(url);
    }

    const QString title = tr("FENK - PIN");
    const QString label = tr("Please, enter your PIN-code:");
    bool ok = false;
    const QString pin =
        hooks().askPin ? hooks().askPin(title, label, &ok) : showPinDialog(title, label, &ok);
    if (!ok || pin.isEmpty())
        return false;

    qDebug() << "everything is ok";
    client->getSigner().setPin(pin.toUtf8());
    if (!client->fetchAccessToken())
        return false;

    m_worker.getUserInfo(client, client->getSigner().getScreenName());

    QSettings store;
    store.setValue(tokenKeyName, QString::fromUtf8(client->getSigner().getTokenKey()));
    store.setValue(tokenSecretName, QString::fromUtf8(client->getSigner().getTokenSecret()));

    // A job still holding the previous client keeps it until the job is done.
    m_client = std::move(client);
    return true;
}

void TwitClient::updateStatus(QString text)
{
    m_worker.setTwitMsg(m_client, text.toUtf8());
}
