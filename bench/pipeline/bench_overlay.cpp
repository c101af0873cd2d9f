// The overlay server's cost: how long a reported track takes to reach the
// event streams of connected pages, and what connected pages cost between
// tracks.
#include "benchmain.h"
#include "overlayserver.h"
#include "setcontroller.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Overlay
{
    QTemporaryDir folder;
    SetController set;
    OverlayServer server{folder.path()};

    Overlay()
    {
        OverlaySettings settings;
        settings.port = 0;
        server.apply(settings);
        QElapsedTimer waited;
        waited.start();
        while (server.port() == 0 && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        set.addOutput(&server);
        set.start();
    }
};

// A page's event stream: a blocking socket that reads up to a marker.
class Stream
{
public:
    explicit Stream(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        timeval timeout{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string request = "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n";
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(fd_, request.data(), request.size(), 0) ==
                  static_cast<ssize_t>(request.size()) &&
              readUntil("\n\n", 2);
    }
    ~Stream() { ::close(fd_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool ok() const { return ok_; }

    // Reads until marker has been seen count times in what arrived since the
    // last call.
    bool readUntil(const std::string& marker, int count = 1)
    {
        char chunk[4096];
        while (true) {
            int seen = 0;
            for (auto at = buffer_.find(marker); at != std::string::npos;
                 at = buffer_.find(marker, at + marker.size()))
                ++seen;
            if (seen >= count) {
                buffer_.clear();
                return true;
            }
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

private:
    int fd_;
    std::string buffer_;
    bool ok_ = false;
};

// range(0) pages with their event streams open; none, and the benchmark
// skipped, when one could not open its stream.
std::vector<std::unique_ptr<Stream>> openPages(benchmark::State& state, const Overlay& overlay)
{
    std::vector<std::unique_ptr<Stream>> pages;
    for (int i = 0; i < state.range(0); ++i) {
        pages.push_back(std::make_unique<Stream>(overlay.server.port()));
        if (!pages.back()->ok()) {
            state.SkipWithError("no event stream");
            return {};
        }
    }
    return pages;
}

// From the report on the GUI thread until every connected page has the event.
void BM_TrackToEvent(benchmark::State& state)
{
    Overlay overlay;
    const auto pages = openPages(state, overlay);
    int n = 0;
    for (auto _ : state) {
        const std::string title = "Track " + std::to_string(++n);
        overlay.set.report(Track::broadcast("Artist", QString::fromStdString(title), "/live.ogg",
                                            QDateTime::currentDateTime()));
        for (const auto& page : pages)
            if (!page->readUntil("\"title\":\"" + title + "\"")) {
                state.SkipWithError("event lost");
                return;
            }
    }
}
BENCHMARK(BM_TrackToEvent)->Arg(1)->Arg(32)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The whole process's processor time while connected pages wait for a track.
void BM_IdleBetweenTracks(benchmark::State& state)
{
    Overlay overlay;
    const auto pages = openPages(state, overlay);
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}
BENCHMARK(BM_IdleBetweenTracks)
    ->Arg(0)
    ->Arg(32)
    ->Iterations(20)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

FENK_BENCHMARK_MAIN(QCoreApplication)
