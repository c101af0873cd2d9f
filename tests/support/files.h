#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>

// The whole file; empty if it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// All of data, into the folders it makes on the way.
inline bool writeFile(const QString& path, const QByteArray& data,
                      QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(mode) &&
           file.write(data) == data.size();
}
