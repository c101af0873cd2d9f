// What the window thread spends on one track's post: the now-playing text is
// composed once and handed to X and the three networks, each of which queues it
// for its own worker. The services are a closed local port, so the workers
// fail and retry in the background; only the hand-over is timed.
#include "offlinetwitter.h"
#include "testhome.h"

#include "messagecomposer.h"
#include "networkaccounts.h"
#include "twitclient.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QSettings>

namespace {

void BM_TrackToFourAccounts(benchmark::State& state)
{
    {
        QSettings store;
        store.clear();
        store.setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"), QStringLiteral("4242-Key"));
        store.setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"), QStringLiteral("Secret"));
        for (const char* network : {"mastodon", "bluesky", "discord"})
            store.setValue(QLatin1String(network) + QStringLiteral("/Active"), true);
        store.setValue(QStringLiteral("mastodon/Instance"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("mastodon/AccessToken"), QStringLiteral("token"));
        store.setValue(QStringLiteral("bluesky/Handle"), QStringLiteral("dj.test"));
        store.setValue(QStringLiteral("bluesky/Service"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("bluesky/AppPassword"), QStringLiteral("app-password"));
        store.setValue(QStringLiteral("discord/WebhookUrl"),
                       QStringLiteral("https://127.0.0.1:1/api/webhooks/1/token"));
    }
    OfflineTwitter::apply();
    TwitClient x;
    NetworkAccounts networks;
    networks.configure();
    QVector<PostTarget*> targets{&x};
    for (NetworkAccount* account : networks.all())
        targets.append(account);

    int n = 0;
    for (auto _ : state) {
        const QString text = MessageComposer::nowPlaying(
            QStringLiteral("is now playing \u266B"), QStringLiteral("Björk & Sigur Rós"),
            QStringLiteral("Hoppípolla %1").arg(n++), true, true);
        for (PostTarget* target : targets) {
            if (target->postingActive())
                target->post(text, PostKind::NowPlaying);
        }
    }
    state.counters["targets"] = targets.size();
}
// A long set's worth of tracks; the queues keep what the closed port refuses.
BENCHMARK(BM_TrackToFourAccounts)->Unit(benchmark::kMicrosecond)->Iterations(500);

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the desktop's Secret Service: the secrets stay in the test home.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    const OfflineTwitter offline;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
