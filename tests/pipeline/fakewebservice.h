#pragma once

#include "fenktestconfig.h"
#include "httpsfake.h"

#include <QStringList>

// The local stand-in for the maker's web service; tests/support/fake_webservice.py
// documents what it answers and what it logs.
class FakeWebService : public HttpsFake
{
public:
    static constexpr const char* script = FENK_SOURCE_DIR "/tests/support/fake_webservice.py";
    FakeWebService() : HttpsFake(script) {}

    // Makes ca.pem, server.pem/.key and untrusted.pem/.key in dir.
    static bool makeCertificates(const QString& dir)
    {
        return HttpsFake::makeCertificates(script, dir);
    }
    // certName: "server" (trusted through ca.pem) or "untrusted".
    bool start(const QString& certDir, const QString& certName = QStringLiteral("server"))
    {
        return HttpsFake::start(certDir, certName);
    }
    // Changes the replies (keys as in the script).
    bool configure(const QJsonObject& change) { return control(change) >= 0; }
    // For each request to path from the from-th on, the values of keys joined by " - ",
    // sorted: parallel connections deliver them in any order.
    QStringList requests(const QString& path, const QStringList& keys, int from = 0)
    {
        QStringList result;
        for (const QJsonObject& r : events()) {
            QStringList values;
            for (const QString& key : keys)
                values << r["params"].toObject()[key].toString();
            if (r["path"] == path)
                result << values.join(" - ");
        }
        result = result.mid(from);
        result.sort();
        return result;
    }
};
