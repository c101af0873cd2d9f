#include "commandline.h"
#include "eventlogfile.h"
#include "maindlg.h"
#include "qtsingleapplication.h"
#include "quitonsignal.h"

int main(int argc, char* argv[])
{
    QtSingleApplication app(argc, argv, true);
    const CommandLine commandLine(app);
    // A hidden start (the login's autostart) never brings a running window up.
    if (!commandLine.hidden() && app.sendMessage(QStringLiteral("msg"), 5000))
        return 0;
    if (app.isRunning())
        return 0;

    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));

    const EventLogFile eventLog(EventLogFile::defaultFolder());
    QuitOnSignal quitOnSignal;
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    MainDlg window(nullptr);
    // A quit asked for while the start-up's PIN dialog was open ended only that
    // dialog's loop; honour it before the main loop starts.
    if (quitOnSignal.received())
        return 0;
    app.setActivationWindow(&window, true);
    QObject::connect(&app, &QtSingleApplication::messageReceived, &window,
                     [&window] { window.tweetTrack(); });
    window.showAtStart(commandLine.hidden());
    QApplication::setQuitOnLastWindowClosed(false);
    return app.exec();
}
