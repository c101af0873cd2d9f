#include "documentfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString ensureDocumentFolder(const QString& documentsLocation, const QString& applicationName)
{
    const QString path = documentsLocation + QDir::separator() + applicationName;
    QDir folder(path);
    if (!folder.exists())
        QDir().mkdir(path);
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

    // If the marker cannot be written, the copies still happen; the next start
    // then tries again and skips every target that already exists.
    QFile marker(legacyPath + QDir::separator() + QStringLiteral("Migrated.log"));
    const bool markerOpen = marker.open(QIODevice::WriteOnly | QIODevice::Truncate);

    const QFileInfoList trackLists =
        legacy.entryInfoList({QStringLiteral("*.xml")}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo& file : trackLists) {
        const QString source = file.absoluteFilePath();
        const QString target = documentFolder + QDir::separator() + file.fileName();
        if (markerOpen)
            marker.write(QStringLiteral("Copying %1 to %2\n").arg(source, target).toUtf8());
        QFile::copy(source, target);
    }
}
