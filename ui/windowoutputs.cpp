#include "windowoutputs.h"

#include "maindlg.h"
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
    if (track.source == TrackSource::Serato)
        m_window.showSongMetaDataOnScreen(track.deck.toInt(), track.artist, track.title);
    else
        m_window.showSongMetaDataOnScreen(track.artist, track.title);
}

bool TwitterTarget::postingActive() const
{
    return m_active.isChecked();
}

void TwitterTarget::post(const QString& text, PostKind kind)
{
    // Only a now-playing post may give way to a newer one while posting is paused.
    m_client.updateStatus(text, kind == PostKind::NowPlaying ? TwitClient::PostKind::NowPlaying
                                                             : TwitClient::PostKind::Other);
}
