#include "commandline.h"
#include "eventlogfile.h"
#include "instancecommand.h"
#include "maindlg.h"
#include "qtsingleapplication.h"
#include "quitonsignal.h"

#include <chrono>
#include <cstdio>

int main(int argc, char* argv[])
{
    QtSingleApplication app(argc, argv, true);
    // Before the command line: --version prints them.
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));
    const CommandLine commandLine(app);
    const QString command = commandLine.instanceCommand();
    // Stopping or quitting a FENK that does not run must not start one.
    if ((command == instance_command::quit || command == instance_command::stop) &&
        !app.isRunning()) {
        std::fputs("FENK is not running.\n", stderr);
        return 0;
    }
    // A hidden start (the login's autostart) never brings a running window up.
    const bool quietStart = commandLine.hidden() && command == instance_command::show;
    if (!quietStart && app.sendMessage(command, 5000))
        return 0;
    if (app.isRunning())
        return 0;

    const EventLogFile eventLog(EventLogFile::defaultFolder());
    QuitOnSignal quitOnSignal;
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    MainDlg window(nullptr);
    // A quit asked for while the start-up's PIN dialog was open ended only that
    // dialog's loop; honour it before the main loop starts.
    if (quitOnSignal.received())
        return 0;
    // Only a plain start brings the window up; a hotkey's Start or Stop must not
    // take the focus from the DJ software.
    app.setActivationWindow(&window, false);
    QObject::connect(&app, &QtSingleApplication::messageReceived, &window,
                     &MainDlg::runInstanceCommand);
    if (command == instance_command::start)
        window.runInstanceCommand(command);
    window.showAtStart(commandLine.hidden());
    QApplication::setQuitOnLastWindowClosed(false);
    const int exitCode = app.exec();
    // Quit and a logout end a running set as Stop does and give its last
    // messages a few seconds to leave; after SIGTERM the whole exit must take
    // less than two seconds, so the wait is shorter.
    window.finishBeforeQuit(quitOnSignal.received() ? std::chrono::milliseconds(900)
                                                    : std::chrono::milliseconds(5000));
    return exitCode;
}
