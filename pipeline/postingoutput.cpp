#include "postingoutput.h"

#include "eventlog.h"
#include "messagecomposer.h"
#include "setcontroller.h"
#include "track.h"

PostingOutput::PostingOutput(TextSource texts, SkipNotice skipped)
    : m_texts(std::move(texts)), m_skipped(std::move(skipped))
{}

void PostingOutput::addTarget(PostTarget* target)
{
    if (target != nullptr && !m_targets.contains(target))
        m_targets.append(target);
}

bool PostingOutput::anyActive() const
{
    for (const PostTarget* target : m_targets)
        if (target->postingActive())
            return true;
    return false;
}

bool PostingOutput::postToAll(const QString& text, PostKind kind)
{
    bool posted = false;
    for (PostTarget* target : m_targets) {
        if (target->postingActive()) {
            target->post(text, kind);
            posted = true;
        }
    }
    return posted;
}

void PostingOutput::setStarted(const SetController& set)
{
    postStartStop(set, PostKind::Start);
}

void PostingOutput::setStopped(const SetController& set)
{
    postStartStop(set, PostKind::Stop);
}

void PostingOutput::trackPlayed(const Track& track, const SetController&)
{
    if (!anyActive())
        return;
    const Texts texts = m_texts();
    postToAll(MessageComposer::nowPlaying(texts.playingMessage, track.artist, track.title,
                                          texts.hashtagArtist, texts.hashtagTrack),
              PostKind::NowPlaying);
}

void PostingOutput::postStartStop(const SetController& set, PostKind kind)
{
    if (!anyActive())
        return;
    if (set.location().isEmpty()) {
        event_log::write(QStringLiteral("No %1 message posted: the location is empty")
                             .arg(postKindName(kind))
                             .toStdString(),
                         event_log::warning, 1);
        if (m_skipped)
            m_skipped(kind);
        return;
    }
    const Texts texts = m_texts();
    const bool start = kind == PostKind::Start;
    postToAll(MessageComposer::startStop(start ? texts.startHashtag : texts.stopHashtag,
                                         start ? texts.startMessage : texts.stopMessage,
                                         set.location()),
              kind);
}
