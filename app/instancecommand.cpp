#include "instancecommand.h"

namespace instance_command {

QString fromArguments(const QStringList& arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--start"))
            return start;
        if (argument == QLatin1String("--stop"))
            return stop;
        if (argument == QLatin1String("--quit"))
            return quit;
    }
    return show;
}

} // namespace instance_command
