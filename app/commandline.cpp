#include "commandline.h"

#include <QCoreApplication>

CommandLine::CommandLine(const QCoreApplication& app)
    : m_hidden(QStringLiteral("hidden"),
               QCoreApplication::translate("CommandLine", "Start in the tray, without the window."))
{
    m_parser.setApplicationDescription(QCoreApplication::translate(
        "CommandLine", "Follows the tracks of a DJ set from the system tray."));
    m_parser.addHelpOption();
    m_parser.addOption(m_hidden);
    m_parser.process(app);
}
