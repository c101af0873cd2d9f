#pragma once

#include <QString>

// What a later start asks the running instance to do. DJs bind "fenk --start",
// "fenk --stop" and "fenk --quit" to hotkeys; a plain start only brings the
// window up, as it always did ("msg").
namespace instance_command {

inline const QString show = QStringLiteral("msg");
inline const QString start = QStringLiteral("start");
inline const QString stop = QStringLiteral("stop");
inline const QString quit = QStringLiteral("quit");

} // namespace instance_command
