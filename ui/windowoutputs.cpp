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
    TwitClient::PostKind as = TwitClient::PostKind::Other;
    switch (kind) {
    case PostKind::NowPlaying:
        as = TwitClient::PostKind::NowPlaying;
        break;
    case PostKind::Start:
        as = TwitClient::PostKind::Start;
        break;
    case PostKind::Stop:
        as = TwitClient::PostKind::Stop;
        break;
    case PostKind::Manual:
        as = TwitClient::PostKind::Manual;
        break;
    case PostKind::Test:
        as = TwitClient::PostKind::Test;
        break;
    }
    const QDateTime start = m_set.startTime();
    m_client.updateStatus(text, as,
                          m_set.isStarted() || kind == PostKind::Stop
                              ? start.toString(QStringLiteral(" (HH:mm)"))
                              : QString());
}
