// A minimal program on the single-instance application, for the tests: it says
// on standard output whether it became the first instance or handed over, and
// counts the messages it receives as the window's tweetTrack() would.
#include "qtsingleapplication.h"

#include <QWidget>

#include <cstdio>

int main(int argc, char* argv[])
{
    QtSingleApplication app(argc, argv);
    if (app.sendMessage(QStringLiteral("msg"), 5000)) {
        std::puts("handed-over");
        return 0;
    }
    if (app.isRunning()) {
        std::puts("running-elsewhere");
        return 0;
    }
    QWidget window;
    app.setActivationWindow(&window, true);
    int received = 0;
    QObject::connect(&app, &QtSingleApplication::messageReceived, &window,
                     [&received](const QString& message) {
                         std::printf("tweetTrack %d %s\n", ++received, qPrintable(message));
                         std::fflush(stdout);
                     });
    std::puts("primary");
    std::fflush(stdout);
    return app.exec();
}
