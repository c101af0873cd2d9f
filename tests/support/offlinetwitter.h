#pragma once

#include "desktophooks.h"

#include <QSettings>

// Tests that build the whole main window get a Twitter account that can neither
// ask for a PIN in a real dialog (every dialog is cancelled) nor reach the real
// service (the API host is a closed local port, so checks fail at once).
class OfflineTwitter
{
public:
    OfflineTwitter() { apply(); }

    // Again after a test has cleared the settings store.
    static void apply()
    {
        QSettings store;
        store.setValue(QStringLiteral("advanced/TwitterApiHost"), QStringLiteral("127.0.0.1:1"));
        store.sync();
    }

    DesktopHooks desktop;
};
