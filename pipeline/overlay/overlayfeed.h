#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// What the GUI thread hands the overlay server: the latest now-playing state as
// JSON and text, the page's hold time, and a wake-up for the running server.
// Safe to use from any thread.
class overlay_feed
{
public:
    using text = std::shared_ptr<const std::string>;
    struct snapshot
    {
        text json = std::make_shared<const std::string>("null");
        text plain = std::make_shared<const std::string>();
        int hold_seconds = 0;
    };
    // Receives every server-sent event, formatted once for all streams.
    using listener = std::function<void(text event)>;

    // "event: <name>\ndata: <json>\n\n"; json is one line.
    static std::string event(const std::string& name, const std::string& json);

    // Stores the state and hands the event to the listener, if one is attached.
    void publish(const std::string& event_name, std::string json, std::string plain);
    void set_hold_seconds(int seconds);
    snapshot current() const;

    // The running server's wake-up; it must not block (it posts to the server's
    // thread). One listener at a time.
    void attach(listener l);
    void detach();

private:
    mutable std::mutex mutex_;
    snapshot snapshot_;
    listener listener_;
};
