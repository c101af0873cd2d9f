#include "overlayshots.h"

#include "headlesschromium.h"

#include <QFile>
#include <QThread>

int renderOverlayScenes(const QString& address, const QString& out)
{
    HeadlessChromium chromium(
        address, {QStringLiteral("--hide-scrollbars"), QStringLiteral("--window-size=960,540")});
    if (!chromium.connectToPage())
        return 0;

    // A 1920 by 1080 scene at half size.
    chromium.call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                  {{QStringLiteral("width"), 960},
                   {QStringLiteral("height"), 540},
                   {QStringLiteral("deviceScaleFactor"), 1},
                   {QStringLiteral("mobile"), false}});
    // The page is transparent: a scene's background behind it is what a stream shows.
    const QStringList scenes{
        QStringLiteral("dark"),
        QStringLiteral("radial-gradient(circle at 70% 30%, #5b3a8c, #1a1230 45%, #07070b)"),
        QStringLiteral("light"),
        QStringLiteral("linear-gradient(160deg, #ffffff, #e9eef3 55%, #cfd8e0)")};
    int written = 0;
    for (int i = 0; i < scenes.size(); i += 2) {
        chromium.evaluate(QStringLiteral("document.documentElement.style.background = '%1'; 'set'")
                              .arg(scenes[i + 1]));
        // Shown, and the fade-in (0.4 s) over.
        if (!HeadlessChromium::waitFor(
                [&] {
                    return chromium.evaluate(
                               QStringLiteral("document.getElementById('card').className")) ==
                           QLatin1String("shown");
                },
                10000))
            continue;
        QThread::msleep(800);
        const QByteArray png = QByteArray::fromBase64(
            chromium
                .call(QStringLiteral("Page.captureScreenshot"),
                      {{QStringLiteral("format"), QStringLiteral("png")}})[QStringLiteral("data")]
                .toString()
                .toLatin1());
        QFile file(out + QStringLiteral("/overlay-%1.png").arg(scenes[i]));
        if (!png.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(png) == png.size())
            ++written;
    }
    return written;
}
