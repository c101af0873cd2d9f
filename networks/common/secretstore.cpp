#include "secretstore.h"

#include "applicationsettings.h"
#include "eventlog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include <qt5keychain/keychain.h>

#include <atomic>
#include <memory>
#include <utility>

namespace {

const QString secretServiceName = QStringLiteral("org.freedesktop.secrets");
// How long the GUI thread waits for the session bus to say whether a Secret
// Service runs: a healthy bus answers within a millisecond or two.
constexpr unsigned long probeWaitMs = 250;

void logWarning(const QString& text)
{
    event_log::write(text.toStdString(), event_log::warning, 1);
}

void writeToFile(const QString& key, const QString& value)
{
    ApplicationSettings::protectStoreFile();
    QSettings store;
    if (value.isEmpty())
        store.remove(key);
    else
        store.setValue(key, value);
    store.sync();
}

// Runs a QtKeychain job and calls done exactly once: when it finishes or when
// the time-out passes first.
void runJob(QKeychain::Job* job, int timeoutMs, std::function<void(QKeychain::Job*)> done)
{
    auto finish = std::make_shared<std::function<void(QKeychain::Job*)>>(std::move(done));
    auto* timer = new QTimer(job);
    timer->setSingleShot(true);
    QObject::connect(job, &QKeychain::Job::finished, job, [finish](QKeychain::Job* j) {
        if (*finish)
            std::exchange(*finish, nullptr)(j);
        j->deleteLater();
    });
    QObject::connect(timer, &QTimer::timeout, job, [finish] {
        if (*finish)
            std::exchange(*finish, nullptr)(nullptr);
    });
    timer->start(timeoutMs);
    job->start();
}

} // namespace

const QStringList& SecretStore::keys()
{
    static const QStringList all = {QStringLiteral("mastodon/AccessToken"),
                                    QStringLiteral("bluesky/AppPassword"),
                                    QStringLiteral("bluesky/RefreshToken"),
                                    QStringLiteral("discord/WebhookUrl"),
                                    QStringLiteral("oAuth/OAuthAccessTokenKey"),
                                    QStringLiteral("oAuth/OAuthAccessTokenSecret")};
    return all;
}

QString SecretStore::placeName(Place place)
{
    return place == Place::SecretService ? QStringLiteral("Secret Service")
                                         : QStringLiteral("settings file");
}

// One look at the session bus; connecting to it and asking it may each block
// for the bus's own time-out.
class SecretStore::Probe : public QThread
{
public:
    explicit Probe(std::function<bool()> look) : m_look(std::move(look)) {}
    std::atomic<bool> found{false};

protected:
    void run() override { found = m_look(); }

private:
    const std::function<bool()> m_look;
};

SecretStore::SecretStore(QObject* parent, std::function<bool()> secretServiceRuns) : QObject(parent)
{
    if (!secretServiceRuns)
        secretServiceRuns = [] {
            const QDBusConnection bus = QDBusConnection::sessionBus();
            return bus.isConnected() && bus.interface() &&
                   bus.interface()->isServiceRegistered(secretServiceName).value();
        };
    m_probe = std::make_unique<Probe>(std::move(secretServiceRuns));
    m_probe->setObjectName(QStringLiteral("Secret Service probe"));
}

SecretStore::~SecretStore()
{
    if (!m_probe->wait(probeWaitMs)) {
        // A hung bus must not hold up the quit: the probe ends on its own and
        // then removes itself.
        Probe* probe = m_probe.release();
        connect(probe, &QThread::finished, probe, &QObject::deleteLater);
        if (probe->isFinished()) // it ended before the connection was made
            delete probe;
    }
}

SecretStore::Place SecretStore::place() const
{
    // A probe still hanging from an earlier look is not waited for again; its
    // answer, once there, counts as the last one.
    if (m_probe->isRunning())
        return m_lastPlace;
    if (m_probe->isFinished())
        m_lastPlace = m_probe->found ? Place::SecretService : Place::SettingsFile;
    m_probe->start();
    if (m_probe->wait(probeWaitMs))
        m_lastPlace = m_probe->found ? Place::SecretService : Place::SettingsFile;
    else
        logWarning(QStringLiteral("Secret Service: the session bus did not answer within %1 ms; "
                                  "secrets go to the %2 meanwhile")
                       .arg(probeWaitMs)
                       .arg(placeName(m_lastPlace)));
    return m_lastPlace;
}

void SecretStore::read(const QStringList& keys, QObject* context, std::function<void(Values)> done)
{
    struct Pending
    {
        Values values;
        int left = 0;
    };
    auto pending = std::make_shared<Pending>();
    pending->left = keys.size();
    const QPointer<QObject> guard(context);
    const auto deliver = [pending, guard, done] {
        if (guard && done)
            done(pending->values);
    };
    if (keys.isEmpty()) {
        QTimer::singleShot(0, this, deliver);
        return;
    }
    for (const QString& key : keys) {
        readOne(key, [pending, key, deliver](const QString& value) {
            pending->values.insert(key, value);
            if (--pending->left == 0)
                deliver();
        });
    }
}

void SecretStore::readOne(const QString& key, std::function<void(QString)> done)
{
    const QString inFile = QSettings().value(key).toString();
    if (place() == Place::SettingsFile) {
        QTimer::singleShot(0, this, [done, inFile] { done(inFile); });
        return;
    }
    if (!inFile.isEmpty()) {
        // Found in the file: it moves into the Secret Service, and leaves the
        // file only once the service holds it.
        writeToService(key, inFile, [key, inFile, done](bool ok, const QString& error) {
            if (ok)
                writeToFile(key, QString());
            else
                logWarning(QStringLiteral("Secret Service: could not take %1 from the settings "
                                          "file: %2")
                               .arg(key, error));
            done(inFile);
        });
        return;
    }
    auto* job = new QKeychain::ReadPasswordJob(QCoreApplication::applicationName(), this);
    job->setAutoDelete(false);
    job->setKey(key);
    runJob(job, m_timeoutMs, [key, done](QKeychain::Job* finished) {
        auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished);
        if (read && read->error() == QKeychain::NoError) {
            done(read->textData());
        } else {
            if (!read || read->error() != QKeychain::EntryNotFound)
                logWarning(QStringLiteral("Secret Service: could not read %1: %2")
                               .arg(key, read ? read->errorString() : QStringLiteral("no answer")));
            done(QString());
        }
    });
}

void SecretStore::writeToService(const QString& key, const QString& value,
                                 std::function<void(bool, QString)> done)
{
    QKeychain::Job* job = nullptr;
    if (value.isEmpty()) {
        job = new QKeychain::DeletePasswordJob(QCoreApplication::applicationName(), this);
    } else {
        auto* write = new QKeychain::WritePasswordJob(QCoreApplication::applicationName(), this);
        write->setTextData(value);
        job = write;
    }
    job->setAutoDelete(false);
    job->setKey(key);
    const bool removing = value.isEmpty();
    runJob(job, m_timeoutMs, [done, removing](QKeychain::Job* finished) {
        const bool ok = finished && (finished->error() == QKeychain::NoError ||
                                     (removing && finished->error() == QKeychain::EntryNotFound));
        done(ok, finished ? finished->errorString() : QStringLiteral("no answer"));
    });
}

void SecretStore::write(const QString& key, const QString& value, std::function<void(Place)> done)
{
    if (place() == Place::SettingsFile) {
        writeToFile(key, value);
        if (done)
            done(Place::SettingsFile);
        return;
    }
    writeToService(key, value, [key, value, done](bool ok, const QString& error) {
        if (!ok && !value.isEmpty())
            logWarning(QStringLiteral("Secret Service: could not store %1 (%2); it is kept in "
                                      "the settings file")
                           .arg(key, error));
        // A stale copy in the file must not come back at the next start.
        writeToFile(key, ok ? QString() : value);
        if (done)
            done(ok ? Place::SecretService : Place::SettingsFile);
    });
}
