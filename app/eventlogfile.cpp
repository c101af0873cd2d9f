#include "eventlogfile.h"

#include "eventlog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <fstream>

namespace {

// Constructed before the sink that writes to it.
struct LogStream
{
    std::ofstream stream;
};

} // namespace

class EventLogFile::RotatingSink : private LogStream, public event_log::file_logger
{
public:
    RotatingSink(const QString& path, std::uint64_t sizeLimit)
        : file_logger(stream), path_(QFile::encodeName(path)),
          oldPath_(QFile::encodeName(path + QStringLiteral(".1"))), sizeLimit_(sizeLimit),
          size_(static_cast<std::uint64_t>(QFileInfo(path).size()))
    {
        stream.open(path_.constData(), std::ios::out | std::ios::app);
    }

    bool isOpen() const { return stream.is_open(); }

protected:
    // Runs under the sink's lock, so no line is split between the two files.
    void before_line(std::size_t bytes) override
    {
        if (size_ > 0 && size_ + bytes > sizeLimit_)
            startNewFile();
        size_ += bytes;
    }

private:
    void startNewFile()
    {
        stream.close();
        // Should the old file stay where it is, the log starts afresh all the
        // same: a bounded log matters more than its oldest lines.
        std::rename(path_.constData(), oldPath_.constData());
        stream.clear();
        stream.open(path_.constData(), std::ios::out | std::ios::trunc);
        size_ = 0;
    }

    const QByteArray path_;
    const QByteArray oldPath_;
    const std::uint64_t sizeLimit_;
    std::uint64_t size_;
};

EventLogFile::EventLogFile(const QString& folder, std::uint64_t sizeLimit)
{
    const QString path = QDir(folder).filePath(QStringLiteral("events.log"));
    if (!QDir().mkpath(folder)) {
        qWarning() << "Cannot create the event log folder" << folder;
        return;
    }
    auto sink = std::make_unique<RotatingSink>(path, sizeLimit);
    if (!sink->isOpen()) {
        qWarning() << "Cannot open the event log" << path;
        return;
    }
    sink_ = std::move(sink);
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
