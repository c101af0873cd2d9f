#pragma once

#include "desktophooks.h"

#include <QSettings>

// For tests that build the whole window: every PIN dialog is cancelled and the API
// host (and the web service, unless a test points it at its fake) is a closed
// local port, so nothing fails slowly or goes online.
class OfflineTwitter
{
public:
    OfflineTwitter() { apply(); }
    // Again after a test has cleared the settings store.
    static void apply()
    {
        QSettings store;
        store.setValue("advanced/TwitterApiHost", "127.0.0.1:1");
        if (!store.contains("advanced/ServiceHost"))
            store.setValue("advanced/ServiceHost", "127.0.0.1:1");
    }
    DesktopHooks desktop;
};
