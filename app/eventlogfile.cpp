#include "eventlogfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

EventLogFile::EventLogFile(const QString& folder)
    : path_(QDir(folder).filePath(QStringLiteral("events.log")))
{
    if (!QDir().mkpath(folder)) {
        qWarning() << "Cannot create the event log folder" << folder;
        return;
    }
    stream_.open(QFile::encodeName(path_).constData(), std::ios::out | std::ios::app);
    if (!stream_) {
        qWarning() << "Cannot open the event log" << path_;
        return;
    }
    sink_ = std::make_unique<event_log::file_logger>(stream_);
    event_log::instance().set_sink(sink_.get());
}

EventLogFile::~EventLogFile()
{
    if (sink_ && event_log::instance().sink() == sink_.get())
        event_log::instance().set_sink(nullptr);
}

QString EventLogFile::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}
