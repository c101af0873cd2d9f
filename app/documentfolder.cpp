#include "documentfolder.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString ensureDocumentFolder(const QString& documentsLocation, const QString& applicationName)
{
    const QString path = documentsLocation + QDir::separator() + applicationName;
    // The documents folder itself is made too: a fresh account may have none,
    // and without it no tracklist of a set could be written. A folder that
    // cannot be made shows up where it is used: no tracklist can be written
    // and no former tracklist is marked as copied.
    if (!QFileInfo(path).isDir() && !QDir().mkpath(path))
        qWarning() << "Cannot create the document folder" << path;
    return path;
}

void migrateLegacyTrackLists(const QString& documentFolder, const QString& applicationName)
{
    QString legacyPath = documentFolder;
    legacyPath.replace(applicationName, QStringLiteral("Pelmora"), Qt::CaseSensitive);
    const QDir legacy(legacyPath);
    if (!legacy.exists())
        return;
    if (!legacy.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Unsorted).isEmpty())
        return;

    // The marker appears only once every tracklist is in the document folder;
    // otherwise the next start tries again and skips the targets that exist.
    // If it cannot be written at all, the copies still happen.
    QSaveFile marker(legacyPath + QDir::separator() + QStringLiteral("Migrated.log"));
    const bool markerOpen = marker.open(QIODevice::WriteOnly);

    bool allCopied = true;
    const QFileInfoList trackLists =
        legacy.entryInfoList({QStringLiteral("*.xml")}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo& file : trackLists) {
        const QString source = file.absoluteFilePath();
        const QString target = documentFolder + QDir::separator() + file.fileName();
        if (markerOpen)
            marker.write(QStringLiteral("Copying %1 to %2\n").arg(source, target).toUtf8());
        // An existing target is kept: it is the tracklist already.
        if (!QFile::copy(source, target) && !QFileInfo(target).isFile()) {
            qWarning() << "Cannot copy" << source << "to" << target;
            allCopied = false;
        }
    }
    if (markerOpen && allCopied && !marker.commit())
        qWarning() << "Cannot write" << marker.fileName();
}
