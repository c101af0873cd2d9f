#pragma once

#include "eventlog.h"

#include <QString>

#include <fstream>
#include <memory>

// Attaches "events.log" in the per-user application data folder to the
// process-wide event log for as long as it lives, so a DJ can read afterwards
// why a track was missed.
class EventLogFile
{
public:
    explicit EventLogFile(const QString& folder);
    ~EventLogFile();
    EventLogFile(const EventLogFile&) = delete;
    EventLogFile& operator=(const EventLogFile&) = delete;

    bool isOpen() const { return sink_ != nullptr; }
    QString filePath() const { return path_; }

    static QString defaultFolder();

private:
    QString path_;
    std::ofstream stream_;
    std::unique_ptr<event_log::file_logger> sink_;
};
