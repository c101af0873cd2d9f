#pragma once

#include <QStandardPaths>
#include <QString>
#include <QTest>

// Real peers (oggenc, shout, ffmpeg, oscsend) come with scripts/setup. Only a
// developer's own machine may lack one, where the test is skipped; in CI a
// missing peer is a failure, so a broken install step cannot pass as green.
#define FENK_REQUIRE_PROGRAM(program, package)                                                     \
    do {                                                                                           \
        if (QStandardPaths::findExecutable(QStringLiteral(program)).isEmpty()) {                   \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                               \
                QFAIL(program " (" package ") is missing; scripts/setup installs it");             \
            QSKIP(program " (" package ") is not installed");                                      \
        }                                                                                          \
    } while (false)
