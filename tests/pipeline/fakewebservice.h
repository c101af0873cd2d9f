#pragma once

#include "fenktestconfig.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// The local HTTPS stand-in for the maker's web service, run as a child process
// on 127.0.0.1; tests/support/fake_webservice.py documents what it does.
class FakeWebService
{
    static QString script() { return FENK_SOURCE_DIR "/tests/support/fake_webservice.py"; }
    QProcess m_process;
    QVector<QJsonObject> m_events;
    int m_port = 0;

public:
    // Makes ca.pem, server.pem/.key and untrusted.pem/.key in dir.
    static bool makeCertificates(const QString& dir)
    {
        QProcess p;
        p.start("python3", {script(), "certs", dir});
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && !p.exitCode();
    }
    ~FakeWebService()
    {
        m_process.closeWriteChannel(); // the script ends when its input closes
        m_process.waitForFinished(5000);
    }
    // certName: "server" (trusted through ca.pem) or "untrusted".
    bool start(const QString& certDir, const QString& certName = QStringLiteral("server"))
    {
        const QString base = certDir + '/' + certName;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("python3",
                        {script(), "serve", "--cert", base + ".pem", "--key", base + ".key"});
        const QDeadlineTimer deadline(20000);
        while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.waitForStarted())
            m_process.waitForReadyRead(200);
        const QByteArray line = m_process.readLine().trimmed();
        m_port = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
        return m_port > 0;
    }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    // Changes the replies (keys as in the script) and waits until the fake took it.
    bool configure(const QJsonObject& change)
    {
        const int seen = count("control");
        m_process.write(QJsonDocument(change).toJson(QJsonDocument::Compact) + '\n');
        return QTest::qWaitFor([&] { return count("control") > seen; }, 10000);
    }
    // Events of one kind ("request", "control", "tls-failed") so far, in order.
    QVector<QJsonObject> events(const QString& kind = QStringLiteral("request"))
    {
        m_process.waitForReadyRead(0);
        while (m_process.canReadLine())
            m_events.append(QJsonDocument::fromJson(m_process.readLine()).object());
        QVector<QJsonObject> result;
        for (const QJsonObject& e : qAsConst(m_events))
            if (e.value("event").toString() == kind)
                result.append(e);
        return result;
    }
    int count(const QString& kind = QStringLiteral("request")) { return events(kind).size(); }
};
