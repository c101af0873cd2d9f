#pragma once

#include <QMetaType>
#include <QString>

// What a post is: decides what may be dropped or retried and how it is logged.
enum class PostKind { NowPlaying, Start, Stop, Manual, Test };

QString postKindName(PostKind kind);

// An account that posts messages (X today). The set's posting output composes
// a message once and hands it to every target whose posting is switched on.
class PostTarget
{
public:
    virtual ~PostTarget() = default;
    virtual bool postingActive() const = 0;
    // Queues the text; never blocks the caller.
    virtual void post(const QString& text, PostKind kind) = 0;
};

Q_DECLARE_METATYPE(PostKind)
