#pragma once

#include <QString>
#include <QStringList>

// Artist and title as the DJ software writes them into a stream's comment header.
struct track_comments
{
    QString artist;
    QString title;

    // The markers are searched anywhere in a text and case-sensitively, and every
    // occurrence is removed: "ALBUMARTIST=X" yields the artist "ALBUMX". A text with
    // both markers counts as an artist text; a later match replaces an earlier one.
    static track_comments from(const QStringList& texts);

    // Something worth reporting: an artist or a title.
    bool reportable() const { return !artist.isEmpty() || !title.isEmpty(); }
};
