#pragma once

#include "posttarget.h"
#include "setoutput.h"

#include <QString>
#include <QVector>

#include <functional>

// Posts the set: the start message, a now-playing message per track and the
// stop message, each composed once and handed to every account whose posting
// is switched on. The start and stop messages need a location: without one
// they are skipped (and the skip is reported, so the DJ learns why).
class PostingOutput : public SetOutput
{
public:
    // What the messages are made of, read when each message is composed: the
    // DJ may change the texts during the set.
    struct Texts
    {
        QString playingMessage;
        bool hashtagArtist = false;
        bool hashtagTrack = false;
        QString startHashtag, startMessage;
        QString stopHashtag, stopMessage;
    };
    using TextSource = std::function<Texts()>;
    // Told when a start or stop message was not posted for want of a location.
    using SkipNotice = std::function<void(PostKind)>;

    explicit PostingOutput(TextSource texts, SkipNotice skipped = {});

    // Targets are not owned; they are asked in the order they were added.
    void addTarget(PostTarget* target);

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

    // Hands text to every active target; false when none is active.
    bool postToAll(const QString& text, PostKind kind);

private:
    bool anyActive() const;
    void postStartStop(const SetController& set, PostKind kind);

    TextSource m_texts;
    SkipNotice m_skipped;
    QVector<PostTarget*> m_targets;
};
