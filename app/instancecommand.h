#pragma once

#include <QString>
#include <QStringList>

// What a later start asks the running instance to do. DJs bind "fenk --start",
// "fenk --stop" and "fenk --quit" to hotkeys; a plain start only brings the
// window up, as it always did ("msg").
namespace instance_command {

inline const QString show = QStringLiteral("msg");
inline const QString start = QStringLiteral("start");
inline const QString stop = QStringLiteral("stop");
inline const QString quit = QStringLiteral("quit");

// The message for a command line (the program name first, as QCoreApplication
// gives it): the first of --start, --stop and --quit, otherwise show.
QString fromArguments(const QStringList& arguments);

} // namespace instance_command
