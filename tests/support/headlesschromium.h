#pragma once

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

// Headless Chromium showing one address, driven through the DevTools protocol
// on that page's own socket: --dump-dom cannot see what an open event stream
// pushes later. Chromium ends with this object.
class HeadlessChromium
{
public:
    // Runs the event loop until done() or ms have passed.
    static bool waitFor(const std::function<bool()>& done, int ms)
    {
        const QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return true;
    }

    // extraArgs: a window size, say.
    explicit HeadlessChromium(const QString& address, const QStringList& extraArgs = {})
        : m_address(address)
    {
        QStringList args{QStringLiteral("--headless"),
                         QStringLiteral("--disable-gpu"),
                         QStringLiteral("--disable-quic"),
                         QStringLiteral("--no-first-run"),
                         QStringLiteral("--disable-background-networking"),
                         QStringLiteral("--disable-component-update"),
                         QStringLiteral("--disable-sync"),
                         QStringLiteral("--remote-debugging-port=0"),
                         QStringLiteral("--remote-allow-origins=*"),
                         QStringLiteral("--user-data-dir=") + m_profile.path()};
        if (geteuid() == 0)
            args.prepend(QStringLiteral("--no-sandbox"));
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("chromium"), args + extraArgs + QStringList{address});
    }
    ~HeadlessChromium()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Connects to the page's socket, found by the page's address, once the page
    // has loaded; false when Chromium or the page did not come up.
    bool connectToPage()
    {
        QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
        QByteArray port;
        const auto portWritten = [&] {
            if (portFile.open(QIODevice::ReadOnly)) {
                port = portFile.readLine().trimmed();
                portFile.close();
            }
            return !port.isEmpty();
        };
        if (!waitFor(portWritten, 30000))
            return false;
        QNetworkAccessManager network;
        const QUrl list(QStringLiteral("http://127.0.0.1:%1/json/list").arg(QString(port)));
        QString socket;
        const auto pageListed = [&] {
            const std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(list)));
            waitFor([&] { return reply->isFinished(); }, 2000);
            for (const QJsonValue page : QJsonDocument::fromJson(reply->readAll()).array())
                if (page[QStringLiteral("url")].toString() == m_address)
                    socket = page[QStringLiteral("webSocketDebuggerUrl")].toString();
            return !socket.isEmpty();
        };
        if (!waitFor(pageListed, 10000))
            return false;
        m_page.open(QUrl(socket));
        // The page is listed before its document has replaced the blank one.
        const QString loaded = QStringLiteral("location.href + ' ' + document.readyState");
        return waitFor([&] { return m_page.state() == QAbstractSocket::ConnectedState; }, 5000) &&
               waitFor([&] { return evaluate(loaded) == m_address + QStringLiteral(" complete"); },
                       10000);
    }

    // One call on the page; its result, or an empty object without an answer
    // within 5 s.
    QJsonObject call(const QString& method, const QJsonObject& params)
    {
        const int sent = ++m_id;
        QJsonObject result;
        bool answered = false;
        const auto connection = QObject::connect(
            &m_page, &QWebSocket::textMessageReceived, [&](const QString& message) {
                const QJsonObject reply = QJsonDocument::fromJson(message.toUtf8()).object();
                if (reply[QStringLiteral("id")].toInt() == sent) {
                    result = reply[QStringLiteral("result")].toObject();
                    answered = true;
                }
            });
        m_page.sendTextMessage(
            QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("id"), sent},
                                                        {QStringLiteral("method"), method},
                                                        {QStringLiteral("params"), params}})
                                  .toJson(QJsonDocument::Compact)));
        waitFor([&] { return answered; }, 5000);
        QObject::disconnect(connection);
        return result;
    }

    // The value of a JavaScript expression in the page, as text.
    QString evaluate(const QString& expression)
    {
        return call(QStringLiteral("Runtime.evaluate"),
                    {{QStringLiteral("expression"), expression}})
            .value(QStringLiteral("result"))
            .toObject()
            .value(QStringLiteral("value"))
            .toString();
    }

private:
    const QString m_address;
    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_page;
    int m_id = 0;
};
