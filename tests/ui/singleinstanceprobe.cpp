// The single-instance application alone, for the tests: it says whether it
// became the first instance or handed over, and prints each message it receives.
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
    QObject::connect(
        &app, &QtSingleApplication::messageReceived, &window,
        [](const QString& message) { std::printf("message %s\n", qPrintable(message)); });
    std::puts("primary");
    return app.exec();
}
