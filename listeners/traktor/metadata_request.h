#pragma once

#include <QString>

#include <string>

// A metadata update as source clients send it beside their stream:
// "/admin/metadata?mode=updinfo&mount=/live.ogg&artist=A&title=T" or "...&song=A - T",
// with an optional charset (Latin-1 when absent). Names and values are
// percent-encoded, "+" standing for a space.
struct metadata_request
{
    enum class verdict {
        ok,
        not_metadata,   // another path: not a metadata request at all
        not_updinfo,    // another mode
        no_mount,       // mount missing or empty
        no_song,        // neither song nor artist nor title
        unknown_charset // a charset this system cannot decode
    };

    verdict what = verdict::not_metadata;
    std::string mount;
    QString artist;
    QString title;
    // The track came as one "song" text, split at its first " - ".
    bool from_song = false;

    // Reads a request target ("/admin/metadata?...").
    static metadata_request parse(const std::string& target);
};

// "%41+b" -> "A b" (in a path "A+b": plusIsSpace false); a "%" without two hex
// digits stays as it is.
std::string percent_decoded(const std::string& text, bool plusIsSpace = true);
