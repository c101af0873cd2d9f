#include "messanger.h"

Messanger::Messanger(QObject* parent) : QObject(parent)
{}

void Messanger::sendMsg(QString text)
{
    Q_EMIT sendStat(text);
}

void Messanger::sendMsg(QString artist, QString title)
{
    Q_EMIT sendStat(artist, title);
}

void Messanger::sendMsg(QStringList items)
{
    Q_EMIT sendStat(items);
}

void Messanger::sendMsg(QString artist, QString title, QString mount)
{
    Q_EMIT sendStat(artist, title);
    Q_EMIT sendStat(artist, title, mount);
}

void Messanger::reportSource(QString mount, QString client, QDateTime since)
{
    Q_EMIT sourceChanged(mount, client, since);
}
