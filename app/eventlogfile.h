#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// Attaches "events.log" in the per-user application data folder to the
// process-wide event log for as long as it lives, so a DJ can read afterwards
// why a track was missed. Past the size limit the file becomes "events.log.1"
// (replacing the one before) and a new one starts: hostile input can fill at
// most twice the limit on disk.
class EventLogFile
{
public:
    static constexpr std::uint64_t defaultSizeLimit = 5 * 1024 * 1024;

    explicit EventLogFile(const QString& folder, std::uint64_t sizeLimit = defaultSizeLimit);
    ~EventLogFile();
    EventLogFile(const EventLogFile&) = delete;
    EventLogFile& operator=(const EventLogFile&) = delete;

    static QString defaultFolder();

private:
    class RotatingSink;

    std::unique_ptr<RotatingSink> sink_;
};
