#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

// The one place where a listener thread's findings cross into the GUI thread.
// Listener code calls the slots directly on its own thread; every connection to
// the signals is therefore queued to the receivers' thread in emission order.
class Messanger : public QObject
{
    Q_OBJECT
public:
    explicit Messanger(QObject* parent = nullptr);

Q_SIGNALS:
    void sendStat(QString);
    void sendStat(QString, QString);
    void sendStat(QStringList);
    // A broadcast track with the mount it arrived on.
    void sendStat(QString artist, QString title, QString mount);
    // A source client came (client names it) or left (client empty) on a mount.
    void sourceChanged(QString mount, QString client, QDateTime since);

public Q_SLOTS:
    void sendMsg(QString);
    void sendMsg(QString, QString);
    void sendMsg(QStringList);
    // Emits the two-text report and then the one with the mount.
    void sendMsg(QString artist, QString title, QString mount);
    void reportSource(QString mount, QString client, QDateTime since);
};
