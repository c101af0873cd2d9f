#pragma once

#include "posttarget.h"
#include "setoutput.h"

class MainDlg;
class QAbstractButton;
class SetController;
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
// "Active" box as it stands when a message is composed. A set's post that the
// service turns down as a duplicate is tried once more with the set's start
// time, " (HH:MM)", appended: a second set at the same venue repeats the texts.
class TwitterTarget : public PostTarget
{
public:
    TwitterTarget(TwitClient& client, const QAbstractButton& active, const SetController& set)
        : m_client(client), m_active(active), m_set(set)
    {}
    bool postingActive() const override;
    void post(const QString& text, PostKind kind) override;

private:
    TwitClient& m_client;
    const QAbstractButton& m_active;
    const SetController& m_set;
};
