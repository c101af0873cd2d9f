#pragma once

#include "networkaccount.h"
#include "networksettings.h"

#include <QJsonArray>

namespace bluesky {

// A "#tag" facet for every hashtag of text, with UTF-8 byte offsets, as
// Bluesky's own app finds them: a "#" at the start or after white space, up to
// the next white space, less trailing punctuation, holding something besides
// digits and punctuation. The tag is stored without its "#"; a tag longer than
// 64 graphemes or 640 bytes gets no facet, since the service refuses the whole
// post otherwise.
QJsonArray tagFacets(const QString& text);

} // namespace bluesky

// A Bluesky account: createSession once with the handle and an app password,
// then refreshSession with the refresh token, which is kept as a secret so that
// a restart does not sign in again (createSession is limited to 30 per 5
// minutes and 300 a day). Posts are app.bsky.feed.post records with their tag
// facets; the limit is 300 graphemes.
class BlueskyAccount : public NetworkAccount
{
    Q_OBJECT
public:
    explicit BlueskyAccount(SecretStore& secrets, QObject* parent = nullptr);
    ~BlueskyAccount() override;

    void configure(const networksettings::Bluesky& settings);
    // A new app password: kept as a secret; the next sign-in makes a new session.
    void setAppPassword(const QString& password);

    int length(const QString& text) const override;

protected:
    void reconfigure() override { configure(m_settings); }
    Attempt connectAccount() override;
    Attempt send(const QString& text, const QByteArray& postId) override;

private:
    Attempt takeSession(const HttpClient::Reply& reply);
    HttpClient::Reply createRecord(const QString& text);

    networksettings::Bluesky m_settings;
    // Worker only.
    QString m_service;
    QString m_handle;
    QString m_password;
    QByteArray m_refreshToken;
    QByteArray m_accessToken;
    QString m_did;
};
