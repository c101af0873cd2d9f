#include "trackview.h"

#include <QEvent>
#include <QPlainTextEdit>

TrackView::TrackView(QPlainTextEdit* view, std::chrono::milliseconds redrawInterval)
    : QObject(view), view_(view), interval_(redrawInterval)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TrackView::redraw);
    view_->installEventFilter(this);
}

QString TrackView::shortened(const QString& line)
{
    if (line.size() <= maxLineLength)
        return line;
    int keep = maxLineLength - 1;
    // Never half a character outside the Basic Multilingual Plane.
    if (line.at(keep - 1).isHighSurrogate())
        --keep;
    return line.left(keep) + QChar(0x2026);
}

void TrackView::add(const QString& line)
{
    lines_.prepend(shortened(line));
    while (lines_.size() > maxLines)
        lines_.removeLast();
    stale_ = true;
    scheduleRedraw();
}

void TrackView::clear()
{
    lines_.clear();
    clearView();
}

void TrackView::clearView()
{
    stale_ = false;
    timer_.stop();
    view_->clear();
}

bool TrackView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::Show)
        scheduleRedraw();
    return QObject::eventFilter(watched, event);
}

void TrackView::scheduleRedraw()
{
    if (!stale_ || !view_->isVisible() || timer_.isActive())
        return;
    const qint64 wait =
        sinceRedraw_.isValid() ? qint64(interval_.count()) - sinceRedraw_.elapsed() : 0;
    if (wait <= 0)
        redraw();
    else
        timer_.start(int(wait));
}

void TrackView::redraw()
{
    if (!stale_ || !view_->isVisible())
        return;
    // The lines are joined with CR LF, which the view keeps.
    view_->setPlainText(lines_.join(QStringLiteral("\r\n")));
    stale_ = false;
    sinceRedraw_.restart();
}
