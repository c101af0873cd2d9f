#include "setcontroller.h"

#include "eventlog.h"
#include "setoutput.h"

void SetOutput::setStarted(const SetController&)
{}

void SetOutput::setStopped(const SetController&)
{}

namespace {
void logInfo(const QString& text)
{
    event_log::write(text.toStdString(), event_log::info, 1);
}

QString describe(const Track& track)
{
    const QString where = track.deck.isEmpty()
                              ? trackSourceName(track.source)
                              : trackSourceName(track.source) + QLatin1Char(' ') + track.deck;
    return QStringLiteral("%1 - %2 (%3)").arg(track.artist, track.title, where);
}
} // namespace

SetController::SetController(QObject* parent)
    : QObject(parent), m_clock([] { return QDateTime::currentDateTime(); })
{
    qRegisterMetaType<Track>();
}

void SetController::addOutput(SetOutput* output)
{
    if (output != nullptr && !m_outputs.contains(output))
        m_outputs.append(output);
}

void SetController::removeOutput(SetOutput* output)
{
    m_outputs.removeAll(output);
}

void SetController::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void SetController::start()
{
    if (m_started)
        return;
    m_started = true;
    m_startTime = m_clock();
    m_history.clear();
    logInfo(QStringLiteral("Set started"));
    // A copy: an output may add or remove outputs while it is told.
    const auto outputs = m_outputs;
    for (SetOutput* output : outputs)
        output->setStarted(*this);
    Q_EMIT started(m_startTime);
}

void SetController::stop()
{
    if (!m_started)
        return;
    m_started = false;
    logInfo(QStringLiteral("Set stopped after %1 tracks").arg(m_history.size()));
    const auto outputs = m_outputs;
    for (SetOutput* output : outputs)
        output->setStopped(*this);
    Q_EMIT stopped();
}

void SetController::report(const Track& track)
{
    if (!m_started) {
        logInfo(QStringLiteral("Track outside a set, only shown: ") + describe(track));
        const auto outputs = m_outputs;
        for (SetOutput* output : outputs)
            if (output->followsTracksWhileStopped())
                output->trackPlayed(track, *this);
        return;
    }
    m_history.append(track);
    logInfo(QStringLiteral("Track %1: ").arg(m_history.size()) + describe(track));
    const auto outputs = m_outputs;
    for (SetOutput* output : outputs)
        output->trackPlayed(track, *this);
    Q_EMIT trackPlayed(track);
}
