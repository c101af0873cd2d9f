#pragma once

#include <QString>

class QSettings;

// The overlay's preferences under "overlay/" in the per-user store.
struct OverlaySettings
{
    static constexpr int defaultPort = 8765;

    int port = defaultPort;
    bool active = true;
    // How long a new track stays on the page before it fades out; 0 keeps it.
    int holdSeconds = 0;
    // Comma-separated plain texts; a title containing one is not shown.
    QString hidePattern = QStringLiteral("[ID]");

    // Absent or unusable values (a port outside 1 to 65535, a negative hold)
    // give the defaults.
    static OverlaySettings read(const QSettings& store);
    void write(QSettings& store) const;
};
