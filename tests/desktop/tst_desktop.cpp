#include "autostart.h"
#include "eventlogfile.h"
#include "faketwitter.h"
#include "maindlg.h"
#include "offlinetwitter.h"
#include "peers.h"
#include "prefsdlg.h"
#include "testhome.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QtTest>

namespace {

// Runs program and arguments to their end: the exit code (-1 on a crash) and the output.
int run(const QStringList& command, QByteArray* output = nullptr, const QString& folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    process.waitForFinished(300000);
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A desktop entry's value of key.
QString value(const QString& path, const QString& key)
{
    const QRegularExpression line('^' + key + "=(.*)$", QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(readAll(path))).captured(1);
}

void answerNextQuestion(QMessageBox::StandardButton button)
{
    QTimer::singleShot(0, [button] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            return box->button(button)->click();
        answerNextQuestion(button);
    });
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;

private Q_SLOTS:
    void init() { MainDlg::setDesktopHooks({}); }

    // A staged install checked by the desktop's own tools, and the package CPack
    // makes of the same tree.
    void installAndPackage()
    {
        FENK_REQUIRE_PROGRAM("desktop-file-validate", "desktop-file-utils");
        FENK_REQUIRE_PROGRAM("appstreamcli", "appstream");
        FENK_REQUIRE_PROGRAM("dpkg-shlibdeps", "dpkg-dev");
        QTemporaryDir stage;
        qputenv("DESTDIR", QFile::encodeName(stage.path()));
        QCOMPARE(run({FENK_CMAKE_COMMAND, "--install", FENK_BINARY_DIR, "--prefix", "/usr"}), 0);
        qunsetenv("DESTDIR");
        const QString usr = stage.path() + "/usr/";
        const QString entry = usr + "share/applications/" + Autostart::desktopFileName();
        const QString icon = value(entry, "Icon");
        const QString metainfo = usr + "share/metainfo/" + icon + ".metainfo.xml";
        QByteArray out;
        QVERIFY2(run({"desktop-file-validate", entry}, &out) == 0 && out.isEmpty(), out);
        QVERIFY2(run({"appstreamcli", "validate", "--no-net", metainfo}, &out) == 0, out);
        QVERIFY(QFileInfo(usr + "bin/" + value(entry, "Exec")).isExecutable());
        // Qt names the window class after the application.
        QCOMPARE(value(entry, "StartupWMClass"), QCoreApplication::applicationName());
        for (const int size : {16, 32, 48, 64, 128, 256}) {
            const QString png = QString("share/icons/hicolor/%1x%1/apps/").arg(size) + icon;
            QCOMPARE(QImage(usr + png + ".png").size(), QSize(size, size));
        }
        QVERIFY(readAll(metainfo).contains("<release version=\"" +
                                           QCoreApplication::applicationVersion().toUtf8()));

        QCOMPARE(run({FENK_CPACK_COMMAND, "-B", stage.path(), "--config", "CPackConfig.cmake"},
                     &out, FENK_BINARY_DIR),
                 0);
        const QString deb = stage.filePath(QDir(stage.path()).entryList({"fenk_*.deb"}).value(0));
        QCOMPARE(run({"dpkg-deb", "--contents", deb}, &out), 0);
        QDirIterator installed(usr, QDir::Files, QDirIterator::Subdirectories);
        while (installed.hasNext()) {
            const QString path = installed.next().mid(stage.path().size());
            QVERIFY2(out.contains(" ." + path.toUtf8() + '\n'), qPrintable(path));
        }
        QCOMPARE(run({"dpkg-deb", "-f", deb, "Depends"}, &out), 0);
        QVERIFY2(out.contains("libqt5widgets5") && out.contains("libcurl4"), out);
    }

    // The check box is the entry's presence, under XDG_CONFIG_HOME; a failed
    // write leaves it unchecked, and a path with spaces, quotes and $ is quoted.
    void autostartCheckBox()
    {
        const QString config = QDir::homePath() + "/elsewhere";
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        const QString path = config + "/autostart/" + Autostart::desktopFileName();
        MainDlg window;
        window.prefsDlgShow();
        QCheckBox* box = window.preferences()->startAtLoginChBox;
        QVERIFY(!box->isChecked());
        box->click();
        QCOMPARE(value(path, "Exec"),
                 '"' + QCoreApplication::applicationFilePath() + "\" --hidden");
        box->click();
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(QDir(config).removeRecursively() && QFile(config).open(QIODevice::WriteOnly));
        box->click();
        QVERIFY(!box->isChecked());

        QVERIFY(QFile::remove(config));
        QVERIFY(Autostart("/opt/DJ \"x\"/$HOME/1% `y`\\fenk").setEnabled(true));
        QByteArray out;
        QVERIFY2(run({"desktop-file-validate", path}, &out) == 0 && out.isEmpty(), out);
        QCOMPARE(value(path, "Exec"), R"("/opt/DJ \\"x\\"/\\$HOME/1%% \\`y\\`\\\\fenk" --hidden)");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(QDir::homePath() + "/.config"));
    }

    // Without a tray a hidden window comes up after the wait; with one it stays hidden.
    void hiddenStartWaitsForATray()
    {
        for (const bool tray : {false, true}) {
            MainDlg::setDesktopHooks({nullptr, [tray] { return tray; }});
            MainDlg window;
            window.showAtStart(true, std::chrono::milliseconds(1));
            QVERIFY(!window.isVisible());
            bool waited = false;
            QTimer::singleShot(std::chrono::milliseconds(1), [&waited] { waited = true; });
            QTRY_VERIFY(waited);
            QCOMPARE(window.isVisible(), !tray);
        }
    }

    // The real program, as the autostart entry starts it.
    void hiddenFenkShowsNoWindow()
    {
        QTemporaryDir certs;
        QVERIFY(FakeTwitter::makeCertificates(certs.path()));
        FakeTwitter twitter;
        QVERIFY(
            twitter.start(certs.path(), "server", {"--access-token", "T", "--access-secret", "S"}));
        useApiHost(twitter.host(), certs.path() + "/ca.pem");
        QSettings store;
        store.setValue("oAuth/OAuthAccessTokenKey", "T");
        store.setValue("oAuth/OAuthAccessTokenSecret", "S");
        store.setValue("icecast/Port", 0);
        store.setValue("ableton/Port", 0);
        store.sync();
        QProcess fenk;
        fenk.start(FENK_BINARY_DIR "/fenk", {"--hidden"});
        const QString log = EventLogFile::defaultFolder() + "/events.log";
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("FENK started"), 20000);
        QVERIFY2(readAll(log).contains("FENK started in the tray, its window hidden"),
                 readAll(log));
        fenk.terminate();
        QVERIFY(fenk.waitForFinished(15000));
        QCOMPARE(fenk.exitCode(), 0);
    }

    // Without a tray, closing asks: "No" keeps the window, "Yes" quits.
    void closingWithoutATrayAsks()
    {
        MainDlg window;
        window.show();
        answerNextQuestion(QMessageBox::No);
        QVERIFY(!window.close());
        answerNextQuestion(QMessageBox::Yes);
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(10000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void trayEntriesOpenTheFolders()
    {
        QList<QUrl> opened;
        MainDlg::setDesktopHooks({[&opened](const QUrl& url) { return opened << url, true; }, {}});
        const EventLogFile log(EventLogFile::defaultFolder());
        const QString logPath = EventLogFile::defaultFolder() + QStringLiteral("/events.log");
        MainDlg window;
        for (QAction* action : window.systemTrayMenu()->actions().mid(2, 2))
            action->trigger();
        QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(logPath),
                                      QUrl::fromLocalFile(window.trackListFolder())}));
    }
};

FENK_TEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
