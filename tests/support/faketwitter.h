#pragma once

#include "fenktestconfig.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QVector>

// The local HTTPS stand-in for the Twitter API (fake_twitter.py), run as a child
// process on 127.0.0.1. Every request it saw, with its own verdict on the OAuth
// signature, comes back as one JSON object.
class FakeTwitter
{
public:
    static QString script()
    {
        return QStringLiteral(FENK_SOURCE_DIR "/tests/twitter/fake_twitter.py");
    }

    // Makes the throw-away authorities and server certificates in dir.
    static bool makeCertificates(const QString& dir)
    {
        QProcess p;
        p.start(QStringLiteral("python3"), {script(), QStringLiteral("certs"), dir});
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

    FakeTwitter() = default;
    FakeTwitter(const FakeTwitter&) = delete;
    FakeTwitter& operator=(const FakeTwitter&) = delete;
    ~FakeTwitter() { stop(); }

    bool start(const QString& certDir, const QString& certName, const QStringList& extra = {})
    {
        QStringList args = {script(),
                            QStringLiteral("serve"),
                            QStringLiteral("--cert"),
                            certDir + QLatin1Char('/') + certName + QStringLiteral(".pem"),
                            QStringLiteral("--key"),
                            certDir + QLatin1Char('/') + certName + QStringLiteral(".key"),
                            QStringLiteral("--consumer-key"),
                            QStringLiteral("Qw3ErTy7uIoP9aSdFgH2j"),
                            QStringLiteral("--consumer-secret"),
                            QStringLiteral("Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm")};
        args += extra;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("python3"), args);
        if (!m_process.waitForStarted(10000))
            return false;
        const QDeadlineTimer deadline(20000);
        while (!m_process.canReadLine() && !deadline.hasExpired())
            m_process.waitForReadyRead(200);
        const QByteArray line = m_process.readLine().trimmed();
        if (!line.startsWith("PORT "))
            return false;
        m_port = line.mid(5).toInt();
        return m_port > 0;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel(); // the script ends when its input closes
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Resets the fake's state and sets the options named in options (as on the
    // command line, "_" for "-"); forgets the events seen so far.
    bool configure(const QJsonObject& options = {})
    {
        events();
        m_events.clear();
        m_process.write(QJsonDocument(options).toJson(QJsonDocument::Compact) + '\n');
        if (!QTest::qWaitFor([&] { return !events().isEmpty(); }, 10000))
            return false;
        m_events.clear();
        return true;
    }

    int port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

    // Everything logged so far (requests and failed handshakes), in order.
    QVector<QJsonObject> events()
    {
        m_process.waitForReadyRead(0);
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (!line.isEmpty())
                m_events.append(QJsonDocument::fromJson(line).object());
        }
        return m_events;
    }

    QVector<QJsonObject> requests()
    {
        QVector<QJsonObject> result;
        for (const QJsonObject& e : events())
            if (e.value(QStringLiteral("event")).toString() == QLatin1String("request"))
                result.append(e);
        return result;
    }

    // Waits (running the event loop) until at least n requests were logged.
    bool waitForRequests(int n, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return requests().size() >= n; }, timeoutMs);
    }

private:
    QProcess m_process;
    QVector<QJsonObject> m_events;
    int m_port = 0;
};

// Points the clients made from now on at host, trusting the extra CA file caFile.
inline void useApiHost(const QString& host, const QString& caFile)
{
    QSettings store;
    store.setValue(QStringLiteral("advanced/TwitterApiHost"), host);
    store.setValue(QStringLiteral("advanced/ExtraCaCertificates"), caFile);
    store.sync();
}
