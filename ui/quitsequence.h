#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <chrono>
#include <functional>

class SetController;

// What Quit, a logout and SIGTERM do before the program ends: a running set is
// stopped as Stop stops it (stop message queued, session end reported,
// tracklist closed), and the program waits, within a budget, until those have
// left. Whatever is still on its way when the budget is spent is named in
// events.log; the owners drop or keep it as they do at any exit.
class QuitSequence : public QObject
{
    Q_OBJECT
public:
    // Something that may still have to leave. pending() is asked on the GUI
    // thread while the sequence waits; it must not block.
    using Pending = std::function<bool()>;

    explicit QuitSequence(SetController& set, QObject* parent = nullptr);

    void addPending(const QString& what, Pending pending);

    // Stops a running set and waits at most budget, handling events meanwhile.
    // Returns true when nothing was left behind.
    bool run(std::chrono::milliseconds budget);

private:
    QStringList stillPending() const;

    SetController& m_set;
    struct Item
    {
        QString what;
        Pending pending;
    };
    QVector<Item> m_items;
};
