#include "twitclient.h"

#include "advancedsettings.h"
#include "eventlog.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>

#include <atomic>
#include <utility>

namespace {

const QByteArray consumerKey = QByteArrayLiteral("Qw3ErTy7uIoP9aSdFgH2j");
const QByteArray consumerSecret = QByteArrayLiteral("Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm");
// Remembers that the service allows this app the v2 API only.
const QString apiVersionName = QStringLiteral("twitter/ApiVersion");

// The start-up check and the authorization steps: short limits.
constexpr std::chrono::milliseconds authConnectTimeout{10000};
constexpr std::chrono::milliseconds authTotalTimeout{20000};

// The PIN dialog also names the authorization page, for a desktop where no
// browser opens by itself, and says that FENK works without it.
QString askForPin(const QUrl& page, bool retry, bool* ok)
{
    QDialog dialog;
    dialog.setWindowTitle(TwitClient::tr("FENK - PIN"));
    auto* layout = new QVBoxLayout(&dialog);
    const auto addLine = [layout](const QString& text) {
        auto* line = new QLabel(text);
        line->setWordWrap(true);
        layout->addWidget(line);
        return line;
    };
    if (retry)
        addLine(TwitClient::tr("Twitter did not accept that PIN. Try again with the PIN on the "
                               "new page, or cancel."));
    addLine(page.isEmpty()
                ? TwitClient::tr("The Twitter authorization page could not be reached. Check the "
                                 "network and request a new token in Preferences.")
                : TwitClient::tr("Open this page in a web browser, sign in to Twitter and copy the "
                                 "PIN it shows:"));
    if (!page.isEmpty()) {
        QLabel* address = addLine(QString());
        address->setTextFormat(Qt::PlainText);
        address->setText(page.toString());
        address->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    layout->addWidget(new QLabel(TwitClient::tr("Please, enter your PIN-code:")));
    auto* pin = new QLineEdit;
    layout->addWidget(pin);
    addLine(TwitClient::tr("FENK works without posting: Cancel goes on without Twitter. You can "
                           "sign in later in Preferences, Twitter, \"Request New Token\"."));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    *ok = dialog.exec() == QDialog::Accepted;
    return pin->text();
}

QString kindName(TwitClient::PostKind kind)
{
    switch (kind) {
    case TwitClient::PostKind::NowPlaying:
        return QStringLiteral("now playing");
    case TwitClient::PostKind::Start:
        return QStringLiteral("start");
    case TwitClient::PostKind::Stop:
        return QStringLiteral("stop");
    case TwitClient::PostKind::Manual:
        return QStringLiteral("manual");
    case TwitClient::PostKind::Test:
        return QStringLiteral("test");
    case TwitClient::PostKind::Other:
        break;
    }
    return QStringLiteral("other");
}

void openInBrowser(const QUrl& url)
{
    // Starting the browser can take a while; the PIN dialog must come up at once.
    QThreadPool::globalInstance()->start([url] { QDesktopServices::openUrl(url); });
}

TwitThread::Api apiMode(AdvancedSettings::TwitterApi api)
{
    switch (api) {
    case AdvancedSettings::TwitterApi::V1:
        return TwitThread::Api::V1;
    case AdvancedSettings::TwitterApi::V2:
        return TwitThread::Api::V2;
    case AdvancedSettings::TwitterApi::Auto:
        break;
    }
    return TwitThread::Api::Auto;
}

} // namespace

const QString& TwitClient::tokenKeyName()
{
    static const QString name = QStringLiteral("oAuth/OAuthAccessTokenKey");
    return name;
}

const QString& TwitClient::tokenSecretName()
{
    static const QString name = QStringLiteral("oAuth/OAuthAccessTokenSecret");
    return name;
}

TwitClient::TwitClient(QObject* parent, bool active, TokenStore tokens)
    : QObject(parent), m_tokens(std::move(tokens)), m_active(active)
{
    qRegisterMetaType<TwitClient::PostKind>();
    const AdvancedSettings advanced;
    m_options.apiHost = advanced.twitterApiHost().toUtf8();
    m_options.extraCaFile = advanced.extraCaCertificates();
    const QSettings store;
    m_worker.setApi(apiMode(advanced.twitterApi()),
                    store.value(apiVersionName).toString() == QLatin1String("2"));

    connect(&m_worker, &TwitThread::setUserNameID, this, [this](QString name, QString id) {
        rememberName(name);
        Q_EMIT setUserNameID(name, id);
    });
    connect(&m_worker, &TwitThread::posted, this, [this](quint64 id, const QString& answer) {
        rememberName(m_screenName);
        Q_EMIT postFinished(id, true, answer);
    });
    connect(&m_worker, &TwitThread::postFailed, this, [this](quint64 id, const QString& reason) {
        setState(tr("last post failed"), reason);
        Q_EMIT postFinished(id, false, reason);
    });
    connect(&m_worker, &TwitThread::unauthorized, this,
            [this] { setState(tr("not authorized"), tr("request a new token in Preferences")); });
    connect(&m_worker, &TwitThread::postingPaused, this, [this](const QDateTime& until) {
        setState(
            tr("posting paused"),
            tr("until %1 (rate limit)").arg(until.toLocalTime().toString(QStringLiteral("HH:mm"))));
    });
    connect(&m_worker, &TwitThread::checkFailed, this,
            [this](const QString& reason) { setState(tr("check failed"), reason); });
    connect(&m_worker, &TwitThread::switchedToV2, this, &TwitClient::storeV2);
    // An unreachable service at start-up leads to the PIN dialog, as a failed
    // check always has, but only while posting is on; it comes once the window
    // is up.
    connect(&m_worker, &TwitThread::unreachable, this, [this](const QString& reason) {
        setState(tr("not reachable"), reason);
        if (m_active)
            requestToken();
    });

    m_client = newClient(false);
    if (m_tokens.read) {
        setState(tr("checking\u2026"));
        m_tokens.read(this, [this](const QString& key, const QString& secret) {
            // A PIN asked for in the meantime (posting switched on) is not asked again.
            if (m_hasToken)
                return;
            if (m_pinAsked && (key.isEmpty() || secret.isEmpty()))
                setState(tr("not authorized"), tr("request a new token in Preferences"));
            else
                useTokens(key, secret);
        });
    } else {
        useTokens(store.value(tokenKeyName()).toString(),
                  store.value(tokenSecretName()).toString());
    }
}

void TwitClient::useTokens(const QString& key, const QString& secret)
{
    m_hasToken = !key.isEmpty() && !secret.isEmpty();
    if (m_hasToken) {
        // A new client: a post queued before the pair was read keeps the one it has.
        m_client = newClient(false);
        m_client->getSigner().setTokenKey(key.toUtf8());
        m_client->getSigner().setTokenSecret(secret.toUtf8());
        // The check has short time-outs of its own, so that an unanswered one
        // leads to the PIN dialog soon.
        std::shared_ptr<twitCurl> check = newClient(true);
        check->getSigner().setTokenKey(key.toUtf8());
        check->getSigner().setTokenSecret(secret.toUtf8());
        setState(tr("checking\u2026"));
        m_worker.verifyCredentials(check);
    } else if (!m_active || !authorize()) {
        setState(tr("not authorized"), tr("request a new token in Preferences"));
    }
}

QString TwitClient::accountState() const
{
    return m_detail.isEmpty() ? m_state : m_state + QStringLiteral(" \u2014 ") + m_detail;
}

TwitClient::~TwitClient() = default;

std::shared_ptr<twitCurl> TwitClient::newClient(bool shortTimeouts) const
{
    twitCurl::Options options = m_options;
    if (shortTimeouts) {
        options.connectTimeout = authConnectTimeout;
        options.totalTimeout = authTotalTimeout;
    }
    auto client = std::make_shared<twitCurl>(options);
    client->getSigner().setConsumerKey(consumerKey);
    client->getSigner().setConsumerSecret(consumerSecret);
    return client;
}

void TwitClient::setState(const QString& state, const QString& detail)
{
    if (state == m_state && detail == m_detail)
        return;
    m_state = state;
    m_detail = detail;
    Q_EMIT accountStateChanged(state, detail);
}

void TwitClient::rememberName(const QString& screenName)
{
    m_screenName = screenName;
    if (!screenName.isEmpty())
        setState(QLatin1Char('@') + screenName);
}

void TwitClient::storeV2()
{
    QSettings store;
    store.setValue(apiVersionName, QStringLiteral("2"));
}

// Runs one blocking transfer on a thread of its own while the GUI thread keeps
// handling events, so that a quit (SIGTERM, logout) ends the wait at once.
TwitClient::Transfer TwitClient::runOffGuiThread(twitCurl& client,
                                                 const std::function<bool()>& transfer)
{
    // Atomic: the hand-over through QThread's own locking is invisible to the
    // race checker, which sees Qt only from outside.
    std::atomic<bool> result{false};
    QEventLoop loop;
    const std::unique_ptr<QThread> thread(QThread::create([&] { result = transfer(); }));
    connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    if (!thread->isFinished()) {
        // Only an application quit ends the loop early.
        client.cancel();
        thread->wait();
        return Transfer::Interrupted;
    }
    return result ? Transfer::Done : Transfer::Failed;
}

void TwitClient::requestToken()
{
    authorize();
}

bool TwitClient::authorize()
{
    m_pinAsked = true;
    std::shared_ptr<twitCurl> client;
    // A refused PIN asks again, each time with a fresh request token: the
    // service may have used up the previous one.
    for (bool retry = false;; retry = true) {
        client = newClient(true);
        QByteArray authUrl;
        const Transfer requested =
            runOffGuiThread(*client, [&] { return client->fetchRequestToken(authUrl); });
        if (requested == Transfer::Interrupted)
            return false;
        if (requested == Transfer::Failed)
            event_log::write("Twitter: request token failed: " +
                                 client->getLastCurlError().toStdString(),
                             event_log::error, 1);
        const QUrl page = QUrl::fromEncoded(authUrl);
        if (!page.isEmpty())
            openInBrowser(page);

        bool ok = false;
        const QString pin = askForPin(page, retry, &ok);
        if (!ok || pin.isEmpty())
            return false;

        qDebug() << "everything is ok";
        client->getSigner().setPin(pin.toUtf8());
        const Transfer access =
            runOffGuiThread(*client, [&] { return client->fetchAccessToken(); });
        if (access == Transfer::Done)
            break;
        event_log::write("Twitter: access token failed: " +
                             client->getLastCurlError().toStdString(),
                         event_log::error, 1);
        // Only an answered refusal of a PIN for a page that was shown is a wrong
        // PIN; a failed transfer ends here.
        if (access == Transfer::Interrupted || client->getLastHttpStatus() == 0 || page.isEmpty())
            return false;
    }

    // The account's own client, with the ordinary time-outs and the new token.
    std::shared_ptr<twitCurl> account = newClient(false);
    account->getSigner().setTokenKey(client->getSigner().getTokenKey());
    account->getSigner().setTokenSecret(client->getSigner().getTokenSecret());
    m_worker.getUserInfo(account, client->getSigner().getScreenName());

    const QString key = QString::fromUtf8(account->getSigner().getTokenKey());
    const QString secret = QString::fromUtf8(account->getSigner().getTokenSecret());
    if (m_tokens.write) {
        m_tokens.write(key, secret);
    } else {
        QSettings store;
        store.setValue(tokenKeyName(), key);
        store.setValue(tokenSecretName(), secret);
    }
    m_hasToken = true;

    // A job still holding the previous client keeps it until the job is done.
    m_client = std::move(account);
    setState(tr("checking\u2026"));
    return true;
}

quint64 TwitClient::updateStatus(QString text, TwitClient::PostKind kind, QString duplicateSuffix)
{
    TwitThread::Post post;
    post.id = ++m_lastPost;
    post.kind = kindName(kind);
    post.droppable = kind == PostKind::NowPlaying;
    post.duplicateSuffix = duplicateSuffix.toUtf8();
    m_worker.setTwitMsg(m_client, text.toUtf8(), post);
    return post.id;
}

quint64 TwitClient::post(const QString& text, ::PostKind kind, const QString& duplicateSuffix)
{
    PostKind as = PostKind::Other;
    switch (kind) {
    case ::PostKind::NowPlaying:
        as = PostKind::NowPlaying;
        break;
    case ::PostKind::Start:
        as = PostKind::Start;
        break;
    case ::PostKind::Stop:
        as = PostKind::Stop;
        break;
    case ::PostKind::Manual:
        as = PostKind::Manual;
        break;
    case ::PostKind::Test:
        as = PostKind::Test;
        break;
    }
    return updateStatus(text, as, duplicateSuffix);
}
