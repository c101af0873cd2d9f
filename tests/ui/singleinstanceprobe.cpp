// The single-instance application alone, for the tests: it says whether it
// became the first instance or handed over, and numbers the messages it
// receives as the window's tweetTrack() would.
#include "qtsingleapplication.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    QtSingleApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (app.isRunning()) {
        std::puts(app.sendMessage(QStringLiteral("msg"), 5000) ? "handed-over" : "refused");
        return 0;
    }
    QWidget window;
    app.setActivationWindow(&window, true);
    int received = 0;
    QObject::connect(&app, &QtSingleApplication::messageReceived, &window,
                     [&received](const QString& message) {
                         std::printf("tweetTrack %d %s\n", ++received, qPrintable(message));
                     });
    std::puts("primary");
    return app.exec();
}
