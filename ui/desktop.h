#pragma once

#include <QUrl>

class QWidget;

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
// The window's position and size under "geometry" in the settings store.
void restoreGeometry(QWidget* window);
void storeGeometry(const QWidget* window);
// Without a tray, closing the window ends FENK: asks the DJ whether to go on.
bool confirmQuitWithoutTray(QWidget* window);
} // namespace desktop
