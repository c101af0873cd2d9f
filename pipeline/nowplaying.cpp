#include "nowplaying.h"

QString isoTime(const QDateTime& when)
{
    if (!when.isValid())
        return QString();
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate);
}

QByteArray jsonString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[(c >> 4) & 0xf];
                out += hex[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

QString singleLine(QString text)
{
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    return text;
}

HidePattern::HidePattern(const QString& pattern)
{
    for (const QString& text : pattern.split(QLatin1Char(','))) {
        const QString trimmed = text.trimmed();
        if (!trimmed.isEmpty())
            m_texts.append(trimmed);
    }
}

bool HidePattern::hides(const QString& title) const
{
    for (const QString& text : m_texts)
        if (title.contains(text, Qt::CaseInsensitive))
            return true;
    return false;
}

void NowPlayingState::start(const QDateTime& at)
{
    m_started = true;
    m_startedAt = at;
    m_current.reset();
    m_previous.clear();
}

void NowPlayingState::stop()
{
    m_started = false;
}

bool NowPlayingState::play(const Track& track)
{
    if (m_hide.hides(track.title))
        return false;
    if (m_current) {
        m_previous.prepend(*m_current);
        if (m_previous.size() > previousCount)
            m_previous.removeLast();
    }
    m_current = track;
    return true;
}

namespace {
QByteArray trackJson(const Track& track)
{
    return "{\"artist\":" + jsonString(track.artist) + ",\"title\":" + jsonString(track.title) +
           ",\"source\":" + jsonString(trackSourceName(track.source)) +
           ",\"deck\":" + jsonString(track.deck) +
           ",\"startedAt\":" + jsonString(isoTime(track.startedAt)) + '}';
}
} // namespace

QByteArray NowPlayingState::json() const
{
    QByteArray out = m_started ? "{\"state\":\"started\"" : "{\"state\":\"stopped\"";
    out += ",\"setStartedAt\":";
    out += m_startedAt.isValid() ? jsonString(isoTime(m_startedAt)) : QByteArray("null");
    out += ",\"current\":";
    out += m_current ? trackJson(*m_current) : QByteArray("null");
    out += ",\"previous\":[";
    for (int i = 0; i < m_previous.size(); ++i) {
        if (i > 0)
            out += ',';
        out += trackJson(m_previous.at(i));
    }
    out += "]}";
    return out;
}

QString NowPlayingState::text(const Track& track)
{
    return singleLine(track.artist + QStringLiteral(" - ") + track.title);
}

QString NowPlayingState::text() const
{
    return m_current ? text(*m_current) : QString();
}
