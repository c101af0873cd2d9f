#include "posttarget.h"

QString postKindName(PostKind kind)
{
    switch (kind) {
    case PostKind::NowPlaying:
        return QStringLiteral("now playing");
    case PostKind::Start:
        return QStringLiteral("start");
    case PostKind::Stop:
        return QStringLiteral("stop");
    case PostKind::Manual:
        return QStringLiteral("manual");
    case PostKind::Test:
        return QStringLiteral("test");
    }
    return QString();
}
