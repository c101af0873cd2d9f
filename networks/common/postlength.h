#pragma once

#include <QString>

#include <functional>

// How the networks count a post, and how an automatic message that is too long
// for one of them is cut for it.
namespace postlength {

// User-perceived characters (extended grapheme clusters): "é" written as e plus
// a combining accent is one, a flag or a family emoji is one.
int graphemes(const QString& text);
int codePoints(const QString& text);
// Graphemes, every http(s) link counting urlWeight whatever its length.
int withLinksAs(const QString& text, int urlWeight);

// The text itself when it fits; otherwise the longest run of its first words
// that fits with "…" and, after it, the hashtags of the words cut away (the
// artist's and the title's), dropping hashtags from the end while they do not
// fit. Words that are only punctuation (" - ", " : ", " & ") do not end the
// cut text. A first word too long on its own is cut between graphemes.
QString shorten(const QString& text, const std::function<bool(const QString&)>& fits);

} // namespace postlength
