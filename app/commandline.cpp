#include "commandline.h"

#include "instancecommand.h"

#include <QCoreApplication>

namespace {
QString translated(const char* text)
{
    return QCoreApplication::translate("CommandLine", text);
}
} // namespace

CommandLine::CommandLine(const QCoreApplication& app)
    : m_hidden(QStringLiteral("hidden"), translated("Start in the tray, without the window.")),
      m_start(QStringLiteral("start"), translated("Start the set in the running FENK.")),
      m_stop(QStringLiteral("stop"), translated("Stop the set in the running FENK.")),
      m_quit(QStringLiteral("quit"), translated("Quit the running FENK."))
{
    m_parser.setApplicationDescription(
        translated("Follows the tracks of a DJ set from the system tray."));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions({m_hidden, m_start, m_stop, m_quit});
    m_parser.process(app);
}

QString CommandLine::instanceCommand() const
{
    if (m_parser.isSet(m_start))
        return instance_command::start;
    if (m_parser.isSet(m_stop))
        return instance_command::stop;
    if (m_parser.isSet(m_quit))
        return instance_command::quit;
    return instance_command::show;
}
