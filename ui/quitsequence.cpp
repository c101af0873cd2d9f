#include "quitsequence.h"

#include "eventlog.h"
#include "setcontroller.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace {
// How often the sequence looks again while it waits.
constexpr int pollMs = 20;
} // namespace

QuitSequence::QuitSequence(SetController& set, QObject* parent) : QObject(parent), m_set(set)
{}

void QuitSequence::addPending(const QString& what, Pending pending)
{
    m_items.append({what, std::move(pending)});
}

QStringList QuitSequence::stillPending() const
{
    QStringList pending;
    for (const Item& item : m_items)
        if (item.pending())
            pending << item.what;
    return pending;
}

bool QuitSequence::run(std::chrono::milliseconds budget)
{
    const bool stopping = m_set.isStarted();
    if (stopping) {
        event_log::write("Quitting during a set: stopping it first", event_log::info, 1);
        m_set.stop();
    }
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(pollMs);
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (stillPending().isEmpty() || waited.elapsed() >= budget.count())
            loop.quit();
    });
    if (!stillPending().isEmpty()) {
        poll.start();
        // A second quit (a second SIGTERM, say) ends this loop at once.
        loop.exec();
    }
    const QStringList left = stillPending();
    if (!left.isEmpty())
        event_log::write(QStringLiteral("Quitting after %1 ms with %2 still to leave")
                             .arg(waited.elapsed())
                             .arg(left.join(QStringLiteral(", ")))
                             .toStdString(),
                         event_log::warning, 1);
    else if (stopping)
        event_log::write(QStringLiteral("The set's last messages left within %1 ms")
                             .arg(waited.elapsed())
                             .toStdString(),
                         event_log::info, 1);
    return left.isEmpty();
}
