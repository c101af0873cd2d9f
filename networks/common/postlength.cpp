#include "postlength.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <QVector>

namespace postlength {

namespace {

const QString ellipsis = QStringLiteral("\u2026");

struct Word
{
    int start;
    int end;
    bool hashtag;
    bool wordy; // holds more than punctuation
};

QVector<Word> words(const QString& text)
{
    QVector<Word> result;
    int i = 0;
    while (i < text.size()) {
        while (i < text.size() && text.at(i).isSpace())
            ++i;
        if (i >= text.size())
            break;
        Word word{i, i, text.at(i) == QLatin1Char('#'), false};
        while (i < text.size() && !text.at(i).isSpace()) {
            word.wordy = word.wordy || !text.at(i).isPunct();
            ++i;
        }
        word.end = i;
        word.hashtag = word.hashtag && word.end - word.start > 1;
        result.append(word);
    }
    return result;
}

} // namespace

int graphemes(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

int codePoints(const QString& text)
{
    int count = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))
            ++count;
    }
    return count;
}

int withLinksAs(const QString& text, int urlWeight)
{
    static const QRegularExpression link(QStringLiteral("https?://\\S+"));
    QString rest = text;
    const int links = rest.count(link);
    rest.remove(link);
    return graphemes(rest) + links * urlWeight;
}

QString shorten(const QString& text, const std::function<bool(const QString&)>& fits)
{
    if (fits(text))
        return text;
    const QVector<Word> all = words(text);
    QVector<int> kept; // indices of the hashtags still offered after the cut
    for (int i = 0; i < all.size(); ++i) {
        if (all[i].hashtag)
            kept.append(i);
    }
    for (;;) {
        for (int cut = all.size() - 1; cut >= 0; --cut) {
            int last = cut - 1; // the last word before the cut that may end the text
            while (last >= 0 && !all[last].wordy)
                --last;
            if (last < 0)
                break;
            QString candidate = text.left(all[last].end) + ellipsis;
            for (const int tag : kept) {
                if (tag >= cut)
                    candidate +=
                        QLatin1Char(' ') + text.mid(all[tag].start, all[tag].end - all[tag].start);
            }
            if (fits(candidate))
                return candidate;
        }
        if (kept.isEmpty())
            break;
        kept.removeLast();
    }
    // Not even the first word fits: cut inside it.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    QString best = ellipsis;
    for (int end = finder.toNextBoundary(); end > 0; end = finder.toNextBoundary()) {
        const QString candidate = text.left(end) + ellipsis;
        if (!fits(candidate))
            break;
        best = candidate;
    }
    return fits(best) ? best : QString();
}

} // namespace postlength
