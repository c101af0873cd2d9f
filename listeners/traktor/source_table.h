#pragma once

#include <QString>

#include <chrono>
#include <map>
#include <memory>
#include <string>

class Messanger;
class ogg_session;

// The mounts that have a source right now, shared by the server and its
// sessions on the listener thread. Every track report goes through it, so that
// one track that arrives both in the stream's comments and by a metadata
// request counts once, and the hub hears of each source that comes and goes.
class source_table
{
public:
    using clock = std::chrono::steady_clock;
    enum class origin { comments, metadata_request };
    enum class update { reported, counted_once, no_source, bad_credentials };

    source_table(Messanger* hub, std::chrono::milliseconds duplicateWindow)
        : hub_(hub), duplicateWindow_(duplicateWindow)
    {}
    source_table(const source_table&) = delete;
    source_table& operator=(const source_table&) = delete;

    // Makes session the source of mount and returns the source it replaces, if any.
    // client names the source program; authorization is its credentials as sent.
    std::shared_ptr<ogg_session> attach(const std::string& mount,
                                        const std::shared_ptr<ogg_session>& session,
                                        const QString& client, const std::string& authorization);
    // The session has ended: if it is still the source of mount, the mount is free.
    void detach(const std::string& mount, const ogg_session* session);

    // A track from the stream of session, the source of mount.
    update report(const std::string& mount, const ogg_session* session, const QString& artist,
                  const QString& title);
    // Whether a metadata request with these credentials may change the track of
    // mount: reported if so, otherwise why not.
    update authorize(const std::string& mount, const std::string& authorization) const;
    // A track from a metadata request that carried these credentials.
    update update_metadata(const std::string& mount, const std::string& authorization,
                           const QString& artist, const QString& title);

private:
    struct source
    {
        std::weak_ptr<ogg_session> session;
        std::string authorization;
        // The last track reported for the mount, in UTF-8: the reported texts
        // themselves travel on to the GUI thread and are not kept here.
        std::string track;
        origin from = origin::comments;
        clock::time_point when;
    };

    update deliver(source& entry, const std::string& mount, const QString& artist,
                   const QString& title, origin from);

    Messanger* hub_;
    const std::chrono::milliseconds duplicateWindow_;
    std::map<std::string, source> sources_;
};
