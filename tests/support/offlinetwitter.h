#pragma once

#include "desktophooks.h"

#include <QSettings>

// For tests that build the whole window: every PIN dialog is cancelled and the API
// host is a closed local port, so the account fails at once and never goes online.
class OfflineTwitter
{
public:
    OfflineTwitter() { apply(); }
    // Again after a test has cleared the settings store.
    static void apply() { QSettings().setValue("advanced/TwitterApiHost", "127.0.0.1:1"); }
    DesktopHooks desktop;
};
