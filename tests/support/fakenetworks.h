#pragma once

#include "fenktestconfig.h"
#include "httpsfake.h"

#include <QJsonArray>
#include <QSettings>

// The local HTTPS stand-ins for Mastodon, Bluesky and a Discord webhook
// (tests/support/fake_networks.py), one server for the three.
class FakeNetworks : public HttpsFake
{
public:
    FakeNetworks() : HttpsFake(FENK_SOURCE_DIR "/tests/support/fake_networks.py") {}

    // Resets every network, sets the options named per network and forgets the
    // requests seen so far.
    bool configure(const QJsonObject& options = {})
    {
        const int from = control(options);
        m_from = qMax(from, m_from);
        return from >= 0;
    }

    // The requests to one network since the last configure(), in order.
    QVector<QJsonObject> requests(const QString& network)
    {
        QVector<QJsonObject> found;
        for (const QJsonObject& r : events(QStringLiteral("request"), m_from))
            if (r.value("network").toString() == network)
                found.append(r);
        return found;
    }
    // The texts one network took, in order.
    QStringList accepted(const QString& network)
    {
        QStringList texts;
        for (const QJsonObject& r : requests(network))
            if (r.value("accepted").toBool())
                texts << r.value("text").toString();
        return texts;
    }

    // Points the three accounts at the fake, trusting its authority; secrets
    // go to the settings file unless a Secret Service runs.
    void useIn(QSettings& store, const QString& caFile)
    {
        store.setValue("advanced/ExtraCaCertificates", caFile);
        for (const char* network : {"mastodon", "bluesky", "discord"})
            store.setValue(QString(network) + "/Active", true);
        store.setValue("mastodon/Instance", "https://" + host() + "/");
        store.setValue("mastodon/AccessToken", "MastoToken");
        store.setValue("bluesky/Handle", "@dj.test");
        store.setValue("bluesky/Service", host());
        store.setValue("bluesky/AppPassword", "app-pass-1234");
        store.setValue("discord/WebhookUrl", "https://" + host() + "/api/webhooks/1/HookToken");
    }

private:
    int m_from = 0;
};
