// The road of one broadcast track through the whole program: from the moment
// the page holding a new stream's comment header reaches the listener's socket
// to the moment every output of the set has had it: shown, the now-playing
// text handed to the Twitter account's worker, the track report sent and the
// tracklist entry handed to its writer. The set's trackPlayed marks the end.
// With the argument 1, Mastodon, Bluesky and Discord post too: four accounts'
// queues take the text.
#include "benchmain.h"
#include "freeport.h"
#include "offlinetwitter.h"
#include "oggtestdata.h"
#include "sourceclient.h"

#include "maindlg.h"
#include "oggthread.h"
#include "twitclient.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <memory>

namespace {

using clock_type = std::chrono::steady_clock;

void BM_TraktorTrackToPost(benchmark::State& state)
{
    QTemporaryDir dir;
    // Two tracks that alternate, so every stream is a new one.
    QList<QByteArray> tracks[2];
    for (int i = 0; i < 2; ++i)
        tracks[i] = oggtest::pages(oggtest::encode(
            dir.path(), {QStringLiteral("ARTIST=Bench %1 & Friend").arg(i), "TITLE=Track"}, 500 + i,
            40000));
    if (tracks[0].size() < 3 || tracks[1].size() < 3) {
        state.SkipWithError("oggenc gave no tracks");
        return;
    }

    const quint16 port = freePort();
    {
        QSettings store;
        store.clear();
        // Unreachable services: the requests leave, the answers do not matter.
        store.setValue(QStringLiteral("advanced/ServiceHost"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("advanced/TwitterApiHost"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("icecast/Port"), port);
        store.setValue(QStringLiteral("ableton/Port"), freePort());
        store.setValue(QStringLiteral("twitter/hashtagArtist"), true);
        store.setValue(QStringLiteral("CheckForUpdate"), false);
        for (const char* network : {"mastodon", "bluesky", "discord"})
            store.setValue(QLatin1String(network) + QStringLiteral("/Active"), state.range(0) == 1);
        store.setValue(QStringLiteral("mastodon/Instance"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("mastodon/AccessToken"), QStringLiteral("token"));
        store.setValue(QStringLiteral("bluesky/Handle"), QStringLiteral("dj.test"));
        store.setValue(QStringLiteral("bluesky/Service"), QStringLiteral("127.0.0.1:1"));
        store.setValue(QStringLiteral("bluesky/AppPassword"), QStringLiteral("app-password"));
        store.setValue(QStringLiteral("discord/WebhookUrl"),
                       QStringLiteral("https://127.0.0.1:1/api/webhooks/1/token"));
    }
    MainDlg window;
    window.startStopServers();
    QEventLoop loop;
    int handled = 0;
    // Emitted once every output of the set has had the track.
    QObject::connect(&window.setController(), &SetController::trackPlayed, &loop, [&] {
        ++handled;
        loop.quit();
    });

    SourceClient client;
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (!client.connectTo(port) && clock_type::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    client.send("SOURCE /live.ogg HTTP/1.0\r\nContent-Type: application/ogg\r\n\r\n");
    client.receive(1);

    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    int n = 0;
    for (auto _ : state) {
        const QList<QByteArray>& pages = tracks[n++ % 2];
        client.send(pages[0]);
        const auto start = clock_type::now();
        client.send(pages[1]);
        guard.start(5000);
        if (loop.exec() != 0) {
            state.SkipWithError("no report within 5 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(clock_type::now() - start).count());
        for (int p = 2; p < pages.size(); ++p)
            client.send(pages[p]);
        // A set rarely has more than a hundred tracks; a fresh tracklist keeps
        // the append's share comparable between runs.
        if (n % 100 == 0) {
            window.startStopServers();
            window.startStopServers();
        }
    }
    state.counters["tracks"] = handled;
}
BENCHMARK(BM_TraktorTrackToPost)
    ->ArgName("networks")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(300);

} // namespace

// Every PIN dialog is cancelled: the account stays unauthorized, posts fail at
// a closed local port.
FENK_BENCHMARK_MAIN(QApplication, OfflineTwitter)
