#pragma once

#include "posttarget.h"
#include "setoutput.h"

class MainDlg;
class QAbstractButton;
class TrackView;
class TwitClient;

// The window's track view as an output of the set: it also shows broadcast
// tracks while no set runs, and starts empty with each set.
class WindowTrackOutput : public SetOutput
{
public:
    WindowTrackOutput(MainDlg& window, TrackView& view) : m_window(window), m_view(view) {}
    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    bool followsTracksWhileStopped() const override { return true; }

private:
    MainDlg& m_window;
    TrackView& m_view;
};

// The X account as a target of the set's posts, switched by the Twitter tab's
// "Active" box as it stands when a message is composed.
class TwitterTarget : public PostTarget
{
public:
    TwitterTarget(TwitClient& client, const QAbstractButton& active)
        : m_client(client), m_active(active)
    {}
    bool postingActive() const override;
    void post(const QString& text, PostKind kind) override;

private:
    TwitClient& m_client;
    const QAbstractButton& m_active;
};
