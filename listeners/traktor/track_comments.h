#pragma once

#include <QString>
#include <QStringList>

// Artist and title as a stream's comment header (Vorbis or Opus) carries them.
struct track_comments
{
    QString artist;
    QString title;

    // A comment is NAME=value; the name is matched whole and in any case, so
    // "artist=" counts and "ALBUMARTIST=" does not. Of several fields of one
    // name the first with a value counts: a tagger that lists several artists
    // puts the main one first.
    static track_comments from(const QStringList& texts);

    // Something worth reporting: an artist or a title.
    bool reportable() const { return !artist.isEmpty() || !title.isEmpty(); }
};
