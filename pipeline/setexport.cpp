#include "setexport.h"

#include "nowplaying.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace SetExport {

qint64 offsetMs(const QDateTime& setStart, const Track& track)
{
    if (!setStart.isValid() || !track.startedAt.isValid())
        return 0;
    return qMax<qint64>(0, setStart.msecsTo(track.startedAt));
}

QVector<Track> chronological(const QVector<Track>& tracks)
{
    QVector<Track> sorted = tracks;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Track& a, const Track& b) { return a.startedAt < b.startedAt; });
    return sorted;
}

namespace {
QString twoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// CUE has no escape for a double quote inside a quoted text.
QString cueText(const QString& text)
{
    return QLatin1Char('"') + singleLine(text).replace(QLatin1Char('"'), QLatin1Char('\'')) +
           QLatin1Char('"');
}

QString csvField(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool save(const QString& path, const QByteArray& data, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    if (error != nullptr)
        *error = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), file.errorString());
    return false;
}
} // namespace

QString clockText(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(0, ms) / 1000;
    if (seconds < 3600)
        return twoDigits(seconds / 60) + QLatin1Char(':') + twoDigits(seconds % 60);
    return QString::number(seconds / 3600) + QLatin1Char(':') + twoDigits(seconds / 60 % 60) +
           QLatin1Char(':') + twoDigits(seconds % 60);
}

QString cueTime(qint64 ms)
{
    const qint64 frames = qMax<qint64>(0, ms) * 75 / 1000;
    return twoDigits(frames / (75 * 60)) + QLatin1Char(':') + twoDigits(frames / 75 % 60) +
           QLatin1Char(':') + twoDigits(frames % 75);
}

QString plainText(const QDateTime& setStart, const QVector<Track>& tracks)
{
    QString text;
    for (const Track& track : chronological(tracks))
        text += QLatin1Char('[') + clockText(offsetMs(setStart, track)) + QStringLiteral("] ") +
                NowPlayingState::text(track) + QLatin1Char('\n');
    return text;
}

QByteArray cueSheet(const QDateTime& setStart, const QVector<Track>& tracks, const QString& title,
                    const QString& recordingName)
{
    QString cue = QStringLiteral("REM COMMENT \"FENK\"\r\nTITLE %1\r\nFILE %2 WAVE\r\n")
                      .arg(cueText(title), cueText(recordingName));
    const QVector<Track> sorted = chronological(tracks);
    for (int i = 0; i < sorted.size(); ++i) {
        const Track& track = sorted.at(i);
        cue += QStringLiteral("  TRACK %1 AUDIO\r\n    TITLE %2\r\n    PERFORMER %3\r\n"
                              "    INDEX 01 %4\r\n")
                   .arg(twoDigits(i + 1), cueText(track.title), cueText(track.artist),
                        cueTime(i == 0 ? 0 : offsetMs(setStart, track)));
    }
    return cue.toUtf8();
}

QByteArray csv(const QDateTime& setStart, const QVector<Track>& tracks)
{
    QString table = QStringLiteral("time,artist,title,source,deck\r\n");
    for (const Track& track : chronological(tracks)) {
        const qint64 seconds = offsetMs(setStart, track) / 1000;
        const QString time = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg(twoDigits(seconds / 60 % 60), twoDigits(seconds % 60));
        table += time + QLatin1Char(',') + csvField(track.artist) + QLatin1Char(',') +
                 csvField(track.title) + QLatin1Char(',') + trackSourceName(track.source) +
                 QLatin1Char(',') + csvField(track.deck) + QStringLiteral("\r\n");
    }
    return table.toUtf8();
}

bool writeFiles(const QString& basePath, const QDateTime& setStart, const QVector<Track>& tracks,
                QString* error)
{
    const QFileInfo base(basePath);
    if (!QDir().mkpath(base.path())) {
        if (error != nullptr)
            *error = QStringLiteral("cannot create %1").arg(base.path());
        return false;
    }
    const QString name = base.fileName();
    // Each is written even when one before it failed: a full disk may still take
    // the small text file.
    bool ok = save(basePath + QStringLiteral(".txt"), plainText(setStart, tracks).toUtf8(), error);
    ok = save(basePath + QStringLiteral(".cue"),
              cueSheet(setStart, tracks, name, name + QStringLiteral(".wav")), error) &&
         ok;
    ok = save(basePath + QStringLiteral(".csv"), csv(setStart, tracks), error) && ok;
    return ok;
}

} // namespace SetExport
