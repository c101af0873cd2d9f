#pragma once

class SetController;
struct Track;

// Something a set's tracks go to: the track view, the tracklist file, the web
// service, the posting accounts. SetController calls every output in the order
// they were added, on its own thread; an output that does slow work (files,
// network) hands it to a worker of its own and returns at once.
class SetOutput
{
public:
    virtual ~SetOutput() = default;

    virtual void setStarted(const SetController& set);
    // A track became current. While no set runs only outputs that follow
    // stopped tracks are told.
    virtual void trackPlayed(const Track& track, const SetController& set) = 0;
    virtual void setStopped(const SetController& set);

    // The track view shows broadcast tracks even while no set runs.
    virtual bool followsTracksWhileStopped() const { return false; }
};
