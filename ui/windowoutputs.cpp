#include "windowoutputs.h"

#include "maindlg.h"
#include "setcontroller.h"
#include "track.h"
#include "trackview.h"
#include "twitclient.h"

#include <QAbstractButton>

void WindowTrackOutput::setStarted(const SetController&)
{
    m_view.clear();
}

void WindowTrackOutput::trackPlayed(const Track& track, const SetController&)
{
    m_window.showTrack(track);
}

bool TwitterTarget::postingActive() const
{
    return m_active.isChecked();
}

void TwitterTarget::post(const QString& text, PostKind kind)
{
    // A second set at the same venue repeats its start text: the set's start
    // time makes the refused duplicate new. What the DJ typed stays as typed.
    const bool setPost = kind != PostKind::Manual && kind != PostKind::Test &&
                         (m_set.isStarted() || kind == PostKind::Stop);
    m_client.post(text, kind,
                  setPost ? m_set.startTime().toString(QStringLiteral(" (HH:mm)")) : QString());
}
