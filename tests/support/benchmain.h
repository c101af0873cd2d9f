#pragma once

#include "testhome.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <tuple>

// main() of a benchmark program, as FENK_TEST_MAIN is a test's: a home of its
// own, an offscreen application with FENK's names, then the benchmarks. Keep:
// objects made once the application exists and kept for the whole run (the
// tests' OfflineTwitter, say).
template <class AppClass, class... Keep> int runFenkBenchmarks(int argc, char** argv)
{
    TestHome home;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The tables, not a debug line per failed post or reconnect.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "default.debug=false");
    AppClass app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    [[maybe_unused]] std::tuple<Keep...> kept;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// FENK_BENCHMARK_MAIN(QApplication, OfflineTwitter) or FENK_BENCHMARK_MAIN(QCoreApplication).
#define FENK_BENCHMARK_MAIN(...)                                                                   \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        return runFenkBenchmarks<__VA_ARGS__>(argc, argv);                                         \
    }
