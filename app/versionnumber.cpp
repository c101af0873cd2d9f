#include "versionnumber.h"

#include <QRegularExpression>

VersionNumber VersionNumber::fromText(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("(\\d+)\\.(\\d+)"));
    VersionNumber version;
    const QRegularExpressionMatch match = pattern.match(text);
    if (match.hasMatch()) {
        version.major = match.captured(1).toInt();
        version.minor = match.captured(2).toInt();
    }
    return version;
}

bool VersionNumber::isNewerThan(const VersionNumber& other) const
{
    if (major != other.major)
        return major > other.major;
    return minor > other.minor;
}
