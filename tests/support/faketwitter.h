#pragma once

#include "fenktestconfig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <QVector>

// The local HTTPS stand-in for the Twitter API (tests/twitter/fake_twitter.py) as a
// child process on 127.0.0.1. Every request it saw comes back as one JSON object
// with the fake's own verdict on its OAuth signature ("valid", "reason").
class FakeTwitter
{
public:
    static constexpr const char* consumerKey = "Qw3ErTy7uIoP9aSdFgH2j";
    static constexpr const char* consumerSecret = "Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm";
    static constexpr const char* script = FENK_SOURCE_DIR "/tests/twitter/fake_twitter.py";

    // The authorities ca and other-ca, and server (127.0.0.1, signed by ca), in dir.
    static bool makeCertificates(const QString& dir)
    {
        return QProcess::execute(QStringLiteral("python3"), {script, "certs", dir}) == 0;
    }

    ~FakeTwitter()
    {
        m_process.closeWriteChannel(); // the fake ends when its input closes
        m_process.waitForFinished(5000);
    }

    bool start(const QString& certDir, const QString& certName, const QStringList& extra = {})
    {
        const QString cert = certDir + '/' + certName;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("python3", QStringList{script, "serve", "--cert", cert + ".pem", "--key",
                                               cert + ".key", "--consumer-key", consumerKey,
                                               "--consumer-secret", consumerSecret} +
                                       extra);
        const bool up = QTest::qWaitFor([this] { return m_process.canReadLine(); }, 20000);
        const QByteArray line = up ? m_process.readLine() : QByteArray();
        m_port = line.startsWith("PORT ") ? line.mid(5).trimmed().toInt() : 0;
        return m_port > 0;
    }

    // Resets the fake and sets the options named (as on its command line, "_" for
    // "-"); forgets the requests seen so far.
    bool configure(const QJsonObject& options = {})
    {
        requests();
        const int confirmed = m_controls + 1;
        m_process.write(QJsonDocument(options).toJson(QJsonDocument::Compact) + '\n');
        const bool done = QTest::qWaitFor([&] { return requests(), m_controls == confirmed; });
        m_requests.clear();
        return done;
    }

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

    // The requests logged so far, in order.
    QVector<QJsonObject> requests()
    {
        m_process.waitForReadyRead(0);
        while (m_process.canReadLine()) {
            const QJsonObject event = QJsonDocument::fromJson(m_process.readLine()).object();
            if (event["event"] == "request")
                m_requests.append(event);
            m_controls += event["event"] == "control";
        }
        return m_requests;
    }

    bool waitForRequests(int n, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return requests().size() >= n; }, timeoutMs);
    }

private:
    QProcess m_process;
    QVector<QJsonObject> m_requests;
    int m_controls = 0;
    int m_port = 0;
};

// Points the clients made from now on at host, trusting the extra CA file caFile.
inline void useApiHost(const QString& host, const QString& caFile)
{
    QSettings store;
    store.setValue("advanced/TwitterApiHost", host);
    store.setValue("advanced/ExtraCaCertificates", caFile);
}
