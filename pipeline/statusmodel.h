#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// The lines of the window's status area, one per source or output, each a
// state ("listening", "not listening", "paused") and its detail ("port 8000",
// "bind: Address already in use"). The state comes first so that a narrow
// window still shows the verdict. Widget-free: the window draws what it holds.
class StatusModel : public QObject
{
    Q_OBJECT
public:
    struct Line
    {
        QString key;
        QString label; // "Broadcast", "Serato", ...
        QString state;
        QString detail;
        // "<state> — <detail>", or the state alone.
        QString text() const;
    };

    // Whether a change is written to the event log: a volatile detail (the
    // latest tempo) would flood it.
    enum class Logging { Changes, StateChanges };

    explicit StatusModel(QObject* parent = nullptr);

    // Adds the line at the end (or relabels it); it shows nothing until set.
    void addLine(const QString& key, const QString& label);
    void removeLine(const QString& key);
    // Changes the line and logs the change; nothing happens when it already
    // says this. Unknown keys are added first.
    void set(const QString& key, const QString& state, const QString& detail = QString(),
             Logging logging = Logging::Changes);

    Line line(const QString& key) const;
    QString text(const QString& key) const { return line(key).text(); }
    QStringList keys() const;

Q_SIGNALS:
    void lineChanged(QString key);
    // Lines were added or removed.
    void linesChanged();

private:
    int indexOf(const QString& key) const;

    QVector<Line> m_lines;
};
