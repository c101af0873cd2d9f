#include "nowplayingfile.h"

#include "setcontroller.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

NowPlayingFile::NowPlayingFile(const QString& folder, QObject* parent)
    : QObject(parent), m_path(QDir(folder).filePath(fileName())), m_worker("Now playing")
{}

NowPlayingFile::~NowPlayingFile()
{
    // The last jobs still report through this object's signals.
    m_worker.wait();
}

void NowPlayingFile::setStarted(const SetController& set)
{
    m_state.start(set.startTime());
    write(QString());
}

void NowPlayingFile::trackPlayed(const Track& track, const SetController&)
{
    if (m_state.play(track))
        write(m_state.text());
}

void NowPlayingFile::setStopped(const SetController&)
{
    m_state.stop();
}

void NowPlayingFile::write(const QString& text)
{
    m_worker.post([this, path = m_path, data = text.toUtf8()] {
        QDir().mkpath(QFileInfo(path).path());
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
            Q_EMIT writeFailed(QStringLiteral("%1: %2").arg(path, file.errorString()));
    });
}
