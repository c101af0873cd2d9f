#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>

class QPlainTextEdit;

// The newest track lines, newest first, as the window's track view shows them.
// Each line is cut to maxLineLength characters with an ellipsis (the full text
// still goes to the posts, reports and tracklist), and the view is redrawn at
// most once per redraw interval and not while it is hidden: text layout is the
// GUI thread's most expensive work per track, and it grows with the square of a
// line's length.
class TrackView : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxLines = 4;
    static constexpr int maxLineLength = 300;

    explicit TrackView(QPlainTextEdit* view,
                       std::chrono::milliseconds redrawInterval = std::chrono::milliseconds(50));

    void add(const QString& line);
    // Forgets the lines and empties the view.
    void clear();
    // Empties the view only: the next line brings the earlier ones back.
    void clearView();

    // The line as the view shows it.
    static QString shortened(const QString& line);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void scheduleRedraw();
    void redraw();

    QPlainTextEdit* view_;
    QStringList lines_;
    QTimer timer_;
    QElapsedTimer sinceRedraw_;
    std::chrono::milliseconds interval_;
    bool stale_ = false;
};
