#include "overlayshots.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <unistd.h>

namespace {
// Runs the event loop until done() or ms have passed.
bool waitFor(const std::function<bool()>& done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

// One DevTools call on the page; its result, or an empty object.
QJsonObject call(QWebSocket& page, const QString& method, const QJsonObject& params)
{
    static int id = 0;
    const int sent = ++id;
    QJsonObject result;
    bool answered = false;
    const auto connection =
        QObject::connect(&page, &QWebSocket::textMessageReceived, [&](const QString& message) {
            const QJsonObject reply = QJsonDocument::fromJson(message.toUtf8()).object();
            if (reply[QStringLiteral("id")].toInt() == sent) {
                result = reply[QStringLiteral("result")].toObject();
                answered = true;
            }
        });
    page.sendTextMessage(
        QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("id"), sent},
                                                    {QStringLiteral("method"), method},
                                                    {QStringLiteral("params"), params}})
                              .toJson(QJsonDocument::Compact)));
    waitFor([&] { return answered; }, 5000);
    QObject::disconnect(connection);
    return result;
}

QString evaluate(QWebSocket& page, const QString& expression)
{
    return call(page, QStringLiteral("Runtime.evaluate"),
                {{QStringLiteral("expression"), expression}})[QStringLiteral("result")]
        .toObject()[QStringLiteral("value")]
        .toString();
}
} // namespace

int renderOverlayScenes(const QString& address, const QString& out)
{
    const QTemporaryDir profile;
    QStringList args{QStringLiteral("--headless"),
                     QStringLiteral("--disable-gpu"),
                     QStringLiteral("--hide-scrollbars"),
                     QStringLiteral("--no-first-run"),
                     QStringLiteral("--window-size=960,540"),
                     QStringLiteral("--remote-debugging-port=0"),
                     QStringLiteral("--remote-allow-origins=*"),
                     QStringLiteral("--user-data-dir=") + profile.path(),
                     address};
    if (geteuid() == 0)
        args.prepend(QStringLiteral("--no-sandbox"));
    QProcess chromium;
    chromium.setStandardErrorFile(QProcess::nullDevice());
    chromium.start(QStringLiteral("chromium"), args);
    const std::unique_ptr<QProcess, void (*)(QProcess*)> stop(&chromium, [](QProcess* p) {
        p->terminate();
        if (!p->waitForFinished(5000))
            p->kill();
    });
    QFile portFile(profile.filePath(QStringLiteral("DevToolsActivePort")));
    QByteArray port;
    if (!waitFor(
            [&] {
                if (portFile.open(QIODevice::ReadOnly)) {
                    port = portFile.readLine().trimmed();
                    portFile.close();
                }
                return !port.isEmpty();
            },
            30000))
        return 0;

    // The page's own DevTools socket, found by its address.
    QNetworkAccessManager network;
    QString socketUrl;
    waitFor(
        [&] {
            std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(
                QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(QString(port))))));
            waitFor([&] { return reply->isFinished(); }, 2000);
            for (const QJsonValue page : QJsonDocument::fromJson(reply->readAll()).array())
                if (page[QStringLiteral("url")].toString() == address)
                    socketUrl = page[QStringLiteral("webSocketDebuggerUrl")].toString();
            return !socketUrl.isEmpty();
        },
        10000);
    QWebSocket page;
    page.open(QUrl(socketUrl));
    if (!waitFor([&] { return page.state() == QAbstractSocket::ConnectedState; }, 5000))
        return 0;

    // A 1920 by 1080 scene at half size.
    call(page, QStringLiteral("Emulation.setDeviceMetricsOverride"),
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
        evaluate(page, QStringLiteral("document.documentElement.style.background = '%1'; 'set'")
                           .arg(scenes[i + 1]));
        // Shown, and the fade-in (0.4 s) over.
        if (!waitFor(
                [&] {
                    return evaluate(page,
                                    QStringLiteral("document.getElementById('card').className")) ==
                           QLatin1String("shown");
                },
                10000))
            continue;
        QThread::msleep(800);
        const QByteArray png = QByteArray::fromBase64(
            call(page, QStringLiteral("Page.captureScreenshot"),
                 {{QStringLiteral("format"), QStringLiteral("png")}})[QStringLiteral("data")]
                .toString()
                .toLatin1());
        QFile file(out + QStringLiteral("/overlay-%1.png").arg(scenes[i]));
        if (!png.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(png) == png.size())
            ++written;
    }
    return written;
}
