#pragma once

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

public Q_SLOTS:
    void sendMsg(QString);
    void sendMsg(QString, QString);
    void sendMsg(QStringList);
};
