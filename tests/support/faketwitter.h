#pragma once

#include "fenktestconfig.h"
#include "httpsfake.h"

#include <QSettings>

// The local HTTPS stand-in for the Twitter API (tests/twitter/fake_twitter.py). Every
// request it saw comes back as one JSON object with the fake's own verdict on its
// OAuth signature ("valid", "reason").
class FakeTwitter : public HttpsFake
{
public:
    static constexpr const char* consumerKey = "Qw3ErTy7uIoP9aSdFgH2j";
    static constexpr const char* consumerSecret = "Zx8CvBn4MaS6dFgHjK2lQwErT5yUiOp1AsDfGhJkLm";
    FakeTwitter() : HttpsFake(FENK_SOURCE_DIR "/tests/twitter/fake_twitter.py") {}

    bool start(const QString& certDir, const QString& certName, const QStringList& extra = {})
    {
        return HttpsFake::start(
            certDir, certName,
            QStringList{"--consumer-key", consumerKey, "--consumer-secret", consumerSecret} +
                extra);
    }

    // Resets the fake and sets the options named (as on its command line, "_" for
    // "-"); forgets the requests seen so far.
    bool configure(const QJsonObject& options = {})
    {
        const int from = control(options);
        m_from = qMax(from, m_from);
        return from >= 0;
    }

    // The requests logged since the last configure(), in order.
    QVector<QJsonObject> requests() { return events(QStringLiteral("request"), m_from); }

private:
    int m_from = 0;
};

// Points the clients made from now on at host, trusting the extra CA file caFile.
inline void useApiHost(const QString& host, const QString& caFile)
{
    QSettings store;
    store.setValue("advanced/TwitterApiHost", host);
    store.setValue("advanced/ExtraCaCertificates", caFile);
}
