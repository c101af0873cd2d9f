#pragma once

#include <QString>

// The overlay page at address as headless Chromium shows it, over a dark and a
// light scene (out/overlay-dark.png, out/overlay-light.png), once its card has
// faded in. Returns how many pictures were written.
int renderOverlayScenes(const QString& address, const QString& out);
