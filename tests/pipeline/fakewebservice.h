#pragma once

#include "fenktestconfig.h"
#include "httpsfake.h"

#include <QStringList>

// The local stand-in for the maker's web service; tests/support/fake_webservice.py
// documents its certificates ("server" is trusted through ca.pem, "untrusted" is
// not), what it answers and what it logs.
class FakeWebService : public HttpsFake
{
public:
    FakeWebService() : HttpsFake(FENK_SOURCE_DIR "/tests/support/fake_webservice.py") {}
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
