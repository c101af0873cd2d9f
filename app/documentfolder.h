#pragma once

#include <QString>

// The folder for the program's tracklists: the documents folder joined with the
// application name, created (one level) when it does not exist yet.
QString ensureDocumentFolder(const QString& documentsLocation, const QString& applicationName);

// One-time copy of the former product's tracklists ("*.xml") into the document
// folder. The former folder is the document folder's path with every occurrence
// of the application name replaced by "Pelmora". A "Migrated.log" marker (or any
// other "*.log" there) means it already ran; the marker is written only when
// every tracklist reached the document folder. Existing targets are never replaced.
void migrateLegacyTrackLists(const QString& documentFolder, const QString& applicationName);
