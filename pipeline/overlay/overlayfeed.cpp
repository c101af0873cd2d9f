#include "overlayfeed.h"

std::string overlay_feed::event(const std::string& name, const std::string& json)
{
    return "event: " + name + "\ndata: " + json + "\n\n";
}

void overlay_feed::publish(const std::string& event_name, std::string json, std::string plain)
{
    auto message = std::make_shared<const std::string>(event(event_name, json));
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.json = std::make_shared<const std::string>(std::move(json));
    snapshot_.plain = std::make_shared<const std::string>(std::move(plain));
    // Under the lock, so a server that detaches meanwhile is never called late.
    if (listener_)
        listener_(std::move(message));
}

void overlay_feed::set_hold_seconds(int seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.hold_seconds = seconds;
}

overlay_feed::snapshot overlay_feed::current() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

void overlay_feed::attach(listener l)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(l);
}

void overlay_feed::detach()
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = nullptr;
}
