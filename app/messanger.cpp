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
