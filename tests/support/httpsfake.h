#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QVector>

// A local HTTPS fake (a Python script built on tests/support/httpsfake.py) as a
// child process on 127.0.0.1. It prints its port, then one JSON line per event;
// a JSON line written to it changes it and is confirmed by a "control" event.
class HttpsFake
{
public:
    explicit HttpsFake(QString script) : m_script(std::move(script)) {}
    ~HttpsFake()
    {
        m_process.closeWriteChannel(); // the fake ends when its input closes
        m_process.waitForFinished(5000);
    }

    // The certificates the script names (an authority ca.pem, server.pem/.key by it, ...).
    bool makeCertificates(const QString& dir) const
    {
        return QProcess::execute(QStringLiteral("python3"), {m_script, "certs", dir}) == 0;
    }

    bool start(const QString& certDir, const QString& certName = QStringLiteral("server"),
               const QStringList& extra = {})
    {
        const QString cert = certDir + '/' + certName;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("python3", QStringList{m_script, "serve", "--cert", cert + ".pem", "--key",
                                               cert + ".key"} +
                                       extra);
        const bool up = QTest::qWaitFor([this] { return m_process.canReadLine(); }, 20000);
        const QByteArray line = up ? m_process.readLine() : QByteArray();
        m_port = line.startsWith("PORT ") ? line.mid(5).trimmed().toInt() : 0;
        return m_port > 0;
    }

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

    // Events of one kind ("request", "control", "tls-failed") since the from-th
    // event of any kind, in order.
    QVector<QJsonObject> events(const QString& kind = QStringLiteral("request"), int from = 0)
    {
        m_process.waitForReadyRead(0);
        while (m_process.canReadLine())
            m_events.append(QJsonDocument::fromJson(m_process.readLine()).object());
        QVector<QJsonObject> result;
        for (int i = from; i < m_events.size(); ++i)
            if (m_events[i].value("event").toString() == kind)
                result.append(m_events[i]);
        return result;
    }
    int count(const QString& kind = QStringLiteral("request")) { return events(kind).size(); }

    // Sends a change and waits until the fake took it; returns the number of
    // events seen up to its confirmation, or -1.
    int control(const QJsonObject& change)
    {
        const int seen = count("control");
        m_process.write(QJsonDocument(change).toJson(QJsonDocument::Compact) + '\n');
        if (!QTest::qWaitFor([&] { return count("control") > seen; }, 10000))
            return -1;
        for (int i = 0, controls = 0; i < m_events.size(); ++i)
            if (m_events[i].value("event") == "control" && ++controls > seen)
                return i + 1;
        return -1;
    }

private:
    QString m_script;
    QProcess m_process;
    QVector<QJsonObject> m_events;
    int m_port = 0;
};
