#include "setfiles.h"

#include "setcontroller.h"
#include "statusmodel.h"

#include <QFileInfo>

SetFiles::SetFiles(SetController& set, StatusModel& status, const QString& trackListFolder,
                   std::function<QString()> trackListPath, const QString& dataFolder,
                   QObject* parent)
    : QObject(parent), m_set(&set), m_status(status), m_history(trackListFolder),
      m_nowPlaying(dataFolder), m_overlay(dataFolder)
{
    // The tracklist was told of the start first: its name, " (2)" and all, is known.
    m_history.setBasePathSource([trackListPath = std::move(trackListPath)] {
        QString path = trackListPath();
        path.chop(QStringLiteral(".xml").size());
        return path;
    });
    m_status.addLine(overlayKey(), tr("Overlay"));
    connect(&m_overlay, &OverlayServer::statusChanged, this,
            [this](const QString& state, const QString& detail) {
                m_status.set(overlayKey(), state, detail);
            });
    // The writers report from their own threads; these arrive queued.
    const auto notWritten = [this](const QString& error) {
        m_status.addLine(filesKey(), tr("Set files"));
        m_status.set(filesKey(), tr("NOT WRITTEN"), error);
    };
    connect(&m_history, &SetHistoryFile::writeFailed, this, notWritten);
    connect(&m_nowPlaying, &NowPlayingFile::writeFailed, this, notWritten);
    connect(&m_history, &SetHistoryFile::exported, this,
            [this](const QString& basePath) { showExport(basePath, QString()); });
    connect(&m_history, &SetHistoryFile::exportFailed, this,
            [this](const QString& error) { showExport(QString(), error); });
    connect(&set, &SetController::started, this, [this] { m_status.removeLine(filesKey()); });
    for (SetOutput* output :
         std::initializer_list<SetOutput*>{&m_history, &m_nowPlaying, &m_overlay})
        set.addOutput(output);
}

SetFiles::~SetFiles()
{
    if (m_set)
        for (SetOutput* output :
             std::initializer_list<SetOutput*>{&m_history, &m_nowPlaying, &m_overlay})
            m_set->removeOutput(output);
    // What is still queued is written before the writers go.
    m_history.waitForWrites();
    m_nowPlaying.waitForWrites();
}

void SetFiles::apply(const OverlaySettings& settings)
{
    m_nowPlaying.setHidePattern(settings.hidePattern);
    m_overlay.apply(settings);
}

bool SetFiles::hasTracks() const
{
    return m_set && !m_set->history().isEmpty();
}

void SetFiles::exportSet()
{
    if (!m_set)
        return;
    const int tracks = m_set->history().size();
    const QString basePath = m_history.basePath();
    m_history.exportNow(*m_set, [this, tracks, basePath](const QString& error) {
        // By name: the arguments cross in Qt's own copies, as a queued signal's do.
        QMetaObject::invokeMethod(this, "exportWritten", Qt::QueuedConnection,
                                  Q_ARG(QString, basePath), Q_ARG(int, tracks),
                                  Q_ARG(QString, error));
    });
}

void SetFiles::exportWritten(const QString& basePath, int tracks, const QString& error)
{
    showExport(basePath, error);
    if (error.isEmpty())
        Q_EMIT exportedByHand(basePath, tracks);
    else
        Q_EMIT exportByHandFailed(error);
}

void SetFiles::showExport(const QString& basePath, const QString& error)
{
    m_status.addLine(filesKey(), tr("Set files"));
    if (error.isEmpty())
        m_status.set(filesKey(), tr("exported"),
                     QFileInfo(basePath).fileName() + QStringLiteral(".txt, .cue, .csv"));
    else
        m_status.set(filesKey(), tr("NOT EXPORTED"), error);
}
