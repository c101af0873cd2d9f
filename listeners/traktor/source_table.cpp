#include "source_table.h"

#include "messanger.h"

#include <QDateTime>

std::shared_ptr<ogg_session> source_table::attach(const std::string& mount,
                                                  const std::shared_ptr<ogg_session>& session,
                                                  const QString& client,
                                                  const std::string& authorization)
{
    source& entry = sources_[mount];
    std::shared_ptr<ogg_session> previous = entry.session.lock();
    entry = source();
    entry.session = session;
    entry.authorization = authorization;
    if (hub_ != nullptr) {
        const QString name = QString::fromStdString(mount);
        if (previous)
            hub_->reportSource(name, QString(), QDateTime::currentDateTime());
        hub_->reportSource(name, client, QDateTime::currentDateTime());
    }
    return previous;
}

void source_table::detach(const std::string& mount, const ogg_session* session)
{
    const auto it = sources_.find(mount);
    if (it == sources_.end() || it->second.session.lock().get() != session)
        return;
    sources_.erase(it);
    if (hub_ != nullptr)
        hub_->reportSource(QString::fromStdString(mount), QString(), QDateTime::currentDateTime());
}

source_table::update source_table::report(const std::string& mount, const ogg_session* session,
                                          const QString& artist, const QString& title)
{
    const auto it = sources_.find(mount);
    if (it == sources_.end() || it->second.session.lock().get() != session)
        return update::no_source;
    return deliver(it->second, mount, artist, title, origin::comments);
}

source_table::update source_table::authorize(const std::string& mount,
                                             const std::string& authorization) const
{
    const auto it = sources_.find(mount);
    if (it == sources_.end() || it->second.session.expired())
        return update::no_source;
    // Only the source's own credentials may change its track; a source that
    // sent none leaves any credentials good enough, but some there must be.
    if (authorization.empty() ||
        (!it->second.authorization.empty() && it->second.authorization != authorization))
        return update::bad_credentials;
    return update::reported;
}

source_table::update source_table::update_metadata(const std::string& mount,
                                                   const std::string& authorization,
                                                   const QString& artist, const QString& title)
{
    const update allowed = authorize(mount, authorization);
    if (allowed != update::reported)
        return allowed;
    return deliver(sources_.at(mount), mount, artist, title, origin::metadata_request);
}

// A track that the other way brought a moment ago is the same track: an
// encoder that writes comments and also sends metadata requests announces
// every track twice.
source_table::update source_table::deliver(source& entry, const std::string& mount,
                                           const QString& artist, const QString& title, origin from)
{
    const clock::time_point now = clock::now();
    const QByteArray track = (artist + QChar(0) + title).toUtf8();
    if (entry.when != clock::time_point() && entry.from != from &&
        entry.track == track.toStdString() && now - entry.when < duplicateWindow_)
        return update::counted_once;
    entry.track = track.toStdString();
    entry.from = from;
    entry.when = now;
    if (hub_ != nullptr)
        hub_->sendMsg(artist, title, QString::fromStdString(mount));
    return update::reported;
}
