#include "overlaysettings.h"

#include <QSettings>

namespace {
const QString portKey = QStringLiteral("overlay/Port");
const QString activeKey = QStringLiteral("overlay/Active");
const QString holdKey = QStringLiteral("overlay/HoldSeconds");
const QString hideKey = QStringLiteral("overlay/HidePattern");
} // namespace

OverlaySettings OverlaySettings::read(const QSettings& store)
{
    OverlaySettings settings;
    bool number = false;
    const int port = store.value(portKey, defaultPort).toInt(&number);
    if (number && port > 0 && port <= 65535)
        settings.port = port;
    settings.active = store.value(activeKey, true).toBool();
    const int hold = store.value(holdKey, 0).toInt(&number);
    if (number && hold > 0)
        settings.holdSeconds = hold;
    settings.hidePattern = store.value(hideKey, settings.hidePattern).toString();
    return settings;
}

void OverlaySettings::write(QSettings& store) const
{
    store.setValue(portKey, port);
    store.setValue(activeKey, active);
    store.setValue(holdKey, holdSeconds);
    store.setValue(hideKey, hidePattern);
}
