#pragma once

#include "nowplayingfile.h"
#include "overlayserver.h"
#include "overlaysettings.h"
#include "sethistoryfile.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class SetController;
class StatusModel;

// What a set leaves beside its tracklist and shows to streaming software: the
// history with its exports, the now-playing file and the overlay server, added
// to the set after the tracklist, whose file name the history follows. The
// overlay's state is the status line "overlay"; the line "setfiles" appears
// once there is something to say (the exports written, a file not written)
// and goes at the next start.
class SetFiles : public QObject
{
    Q_OBJECT
public:
    // trackListPath: the running set's tracklist file ("<folder>/<name>.xml"), asked
    // when a set starts; its folder holds the tracklists. dataFolder: FENK's data
    // folder (nowplaying.txt, a user's overlay.html). Nothing listens before apply().
    SetFiles(SetController& set, StatusModel& status, const QString& trackListFolder,
             std::function<QString()> trackListPath, const QString& dataFolder,
             QObject* parent = nullptr);
    ~SetFiles() override;

    static QString overlayKey() { return QStringLiteral("overlay"); }
    static QString filesKey() { return QStringLiteral("setfiles"); }

    void apply(const OverlaySettings& settings);

    OverlayServer& overlay() { return m_overlay; }
    NowPlayingFile& nowPlaying() { return m_nowPlaying; }
    SetHistoryFile& history() { return m_history; }

    // The running set has tracks, or the last one had: there is a set to export.
    bool hasTracks() const;
    // Writes the text, CUE and CSV files of that set; exportedByHand or
    // exportByHandFailed tell how it went.
    void exportSet();

Q_SIGNALS:
    // basePath + ".txt", ".cue" and ".csv" hold the set's tracks.
    void exportedByHand(QString basePath, int tracks);
    void exportByHandFailed(QString error);

private:
    // exportSet's outcome, called from the writer's thread.
    Q_INVOKABLE void exportWritten(const QString& basePath, int tracks, const QString& error);
    void showExport(const QString& basePath, const QString& error);

    QPointer<SetController> m_set;
    StatusModel& m_status;
    SetHistoryFile m_history;
    NowPlayingFile m_nowPlaying;
    OverlayServer m_overlay;
};
