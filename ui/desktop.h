#pragma once

#include <QUrl>

#include <functional>

namespace desktop {
// What FENK asks of the desktop. Tests replace it; an empty member falls back
// to the real desktop.
struct Hooks
{
    std::function<bool(const QUrl&)> openUrl;
    std::function<bool()> systemTrayAvailable;
};

void setHooks(Hooks hooks);
bool systemTrayAvailable();
// Opens url in the desktop's program for it, without making the caller wait.
void open(const QUrl& url);
// Opens events.log, or its folder before the log's first record.
void openEventLog();
} // namespace desktop
