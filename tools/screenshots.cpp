// Renders the main window and each preferences tab to PNG files, for the README.
// Run it through scripts/screenshots (under Xvfb) with a throw-away HOME.
#include "maindlg.h"
#include "prefsdlg.h"

#include <QApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("FENK"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(out);

    MainDlg window;
    window.show();
    PrefsDlg* prefs = window.preferences();
    prefs->show();

    int written = 0;
    QTimer::singleShot(500, &window, [&] {
        if (window.grab().save(out + QStringLiteral("/mainwindow.png")))
            ++written;
        const char* const names[] = {"main", "listeners", "twitter", "messages"};
        for (int tab = 0; tab < prefs->prefsTabWgt->count(); ++tab) {
            prefs->prefsTabWgt->setCurrentIndex(tab);
            QCoreApplication::processEvents();
            const QString file = out + QStringLiteral("/preferences-%1.png").arg(QLatin1String(names[tab % 4]));
            if (prefs->grab().save(file))
                ++written;
        }
        QCoreApplication::quit();
    });
    app.exec();
    std::printf("%d screenshots written to %s\n", written, qPrintable(out));
    return written == 5 ? 0 : 1;
}
