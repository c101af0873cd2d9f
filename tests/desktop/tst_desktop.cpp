#include "autostart.h"
#include "eventlogfile.h"
#include "faketwitter.h"
#include "fenktestconfig.h"
#include "maindlg.h"
#include "offlinetwitter.h"
#include "peers.h"
#include "prefsdlg.h"
#include "testhome.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QtTest>

namespace {

// Runs a program to its end; its exit code, or -1 if it did not end normally.
int run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

// The value of key in the [Desktop Entry] group of a desktop entry's text.
QString entryValue(const QByteArray& entry, const QString& key)
{
    for (const QString& line : QString::fromUtf8(entry).split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return QString();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers the next modal dialog, once it is up, with button.
void answerNextDialog(QMessageBox::StandardButton button)
{
    QTimer::singleShot(0, [button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return answerNextDialog(button);
        box->button(button)->click();
    });
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;

private Q_SLOTS:
    void init()
    {
        QSettings().clear();
        OfflineTwitter::apply();
        MainDlg::setDesktopHooks({});
    }

    // What a desktop needs of an install, checked by the desktop's own tools;
    // the names the entry uses must be the ones that were installed.
    void stagedInstallValidates()
    {
        FENK_REQUIRE_PROGRAM("desktop-file-validate", "desktop-file-utils");
        FENK_REQUIRE_PROGRAM("appstreamcli", "appstream");
        QTemporaryDir stage;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DESTDIR"), stage.path());
        QByteArray out;
        QCOMPARE(run(QStringLiteral(FENK_CMAKE_COMMAND),
                     {QStringLiteral("--install"), QStringLiteral(FENK_BINARY_DIR),
                      QStringLiteral("--prefix"), QStringLiteral("/usr")},
                     &out, env),
                 0);
        const QDir usr(stage.path() + QStringLiteral("/usr"));
        QVERIFY(QFileInfo(usr.filePath(QStringLiteral("bin/fenk"))).isExecutable());
        QVERIFY(QFileInfo::exists(usr.filePath(QStringLiteral("share/doc/fenk/copyright"))));

        const QString desktopFile =
            usr.filePath(QStringLiteral("share/applications/") + Autostart::desktopFileName());
        const QByteArray entry = readAll(desktopFile);
        QCOMPARE(run(QStringLiteral("desktop-file-validate"), {desktopFile}, &out), 0);
        QVERIFY2(out.isEmpty(), out.constData());
        QCOMPARE(entryValue(entry, QStringLiteral("Exec")), QStringLiteral("fenk"));
        QCOMPARE(entryValue(entry, QStringLiteral("Categories")),
                 QStringLiteral("AudioVideo;Audio;"));
        // Qt names the window class after the application.
        QCOMPARE(entryValue(entry, QStringLiteral("StartupWMClass")),
                 QCoreApplication::applicationName());

        const QString icon = entryValue(entry, QStringLiteral("Icon"));
        for (const int size : {16, 32, 48, 64, 128, 256}) {
            const QString png = usr.filePath(
                QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon));
            QCOMPARE(QImage(png).size(), QSize(size, size));
        }
        QVERIFY(QFileInfo::exists(
            usr.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(icon))));

        const QString metainfo =
            usr.filePath(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(icon));
        QVERIFY2(run(QStringLiteral("appstreamcli"),
                     {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo}, &out) == 0,
                 out.constData());
        const QByteArray meta = readAll(metainfo);
        QVERIFY(meta.contains("<launchable type=\"desktop-id\">" +
                              Autostart::desktopFileName().toUtf8() + "</launchable>"));
        QVERIFY(meta.contains("<release version=\"" +
                              QCoreApplication::applicationVersion().toUtf8() + '"'));
    }

    // The check box is the entry's presence, wherever XDG_CONFIG_HOME points;
    // a folder that cannot be written leaves the box unchecked.
    void autostartCheckBoxWritesAndRemovesTheEntry()
    {
        const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
        const QString elsewhere = QDir::homePath() + QStringLiteral("/elsewhere");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(elsewhere));
        const QString entryPath =
            elsewhere + QStringLiteral("/autostart/") + Autostart::desktopFileName();
        {
            MainDlg window;
            window.prefsDlgShow();
            QCheckBox* box = window.preferences()->startAtLoginChBox;
            QVERIFY(!box->isChecked());
            box->click();
            QVERIFY(QFileInfo::exists(entryPath));
            const QByteArray entry = readAll(entryPath);
            QCOMPARE(entryValue(entry, QStringLiteral("Exec")),
                     QCoreApplication::applicationFilePath() + QStringLiteral(" --hidden"));
            box->click();
            QVERIFY(!QFileInfo::exists(entryPath));

            QVERIFY(QDir(elsewhere).removeRecursively());
            QVERIFY(QDir().mkpath(elsewhere));
            QFile blocker(elsewhere + QStringLiteral("/autostart"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            box->click();
            QVERIFY(!box->isChecked());
        }
        QVERIFY(QDir(elsewhere).removeRecursively());

        // A path the desktop would split or expand is quoted so it starts as it is.
        FENK_REQUIRE_PROGRAM("desktop-file-validate", "desktop-file-utils");
        const QString hostile = QStringLiteral("/opt/DJ \"tools\"/$HOME/100% `x`\\fenk");
        Autostart autostart(hostile);
        QVERIFY(autostart.setEnabled(true));
        QByteArray out;
        QCOMPARE(run(QStringLiteral("desktop-file-validate"), {entryPath}, &out), 0);
        QVERIFY2(out.isEmpty(), out.constData());
        QCOMPARE(
            entryValue(readAll(entryPath), QStringLiteral("Exec")),
            QStringLiteral("\"/opt/DJ \\\\\"tools\\\\\"/\\\\$HOME/100%% \\\\`x\\\\`\\\\\\\\fenk\" "
                           "--hidden"));
        QVERIFY(!Autostart(QStringLiteral("/opt/fenk\n--evil")).setEnabled(true));
        qputenv("XDG_CONFIG_HOME", configHome);
    }

    // Without a tray a hidden window comes up after the wait; with one it stays
    // hidden past the same wait.
    void hiddenStartWaitsForATray()
    {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        {
            MainDlg window;
            window.showAtStart(true, std::chrono::milliseconds(1));
            QVERIFY(!window.isVisible());
            QTRY_VERIFY(window.isVisible());
        }
        MainDlg::setDesktopHooks({nullptr, [] { return true; }});
        MainDlg window;
        window.showAtStart(true, std::chrono::milliseconds(1));
        bool waited = false;
        QTimer::singleShot(std::chrono::milliseconds(1), [&waited] { waited = true; });
        QTRY_VERIFY(waited);
        QVERIFY(!window.isVisible());
    }

    // The real program started by the autostart entry: it runs and shows no window.
    void hiddenFenkShowsNoWindow()
    {
        QTemporaryDir certs;
        QVERIFY(FakeTwitter::makeCertificates(certs.path()));
        FakeTwitter twitter;
        QVERIFY(twitter.start(certs.path(), QStringLiteral("server"),
                              {QStringLiteral("--access-token"), QStringLiteral("4242-Stored"),
                               QStringLiteral("--access-secret"), QStringLiteral("StoredSecret")}));
        useApiHost(twitter.host(), certs.path() + QStringLiteral("/ca.pem"));
        {
            QSettings store;
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"),
                           QStringLiteral("4242-Stored"));
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"),
                           QStringLiteral("StoredSecret"));
            store.setValue(QStringLiteral("icecast/Port"), 0);
            store.setValue(QStringLiteral("ableton/Port"), 0);
        }
        const QString log = EventLogFile::defaultFolder() + QStringLiteral("/events.log");
        QProcess fenk;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        fenk.setProcessEnvironment(env);
        fenk.start(QStringLiteral(FENK_BINARY_DIR "/fenk"), {QStringLiteral("--hidden")});
        QVERIFY(fenk.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("FENK started"), 20000);
        QVERIFY2(readAll(log).contains("FENK started in the tray, its window hidden"),
                 readAll(log).constData());
        fenk.terminate();
        QVERIFY(fenk.waitForFinished(15000));
        QCOMPARE(fenk.exitCode(), 0);
    }

    // Without a tray, closing asks; "No" keeps the window, "Yes" quits.
    void closingWithoutATrayQuitsAfterAsking()
    {
        MainDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        answerNextDialog(QMessageBox::No);
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());

        answerNextDialog(QMessageBox::Yes);
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(10000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void trayEntriesOpenTheFolders()
    {
        QList<QUrl> opened;
        MainDlg::setDesktopHooks({[&opened](const QUrl& url) {
                                      opened << url;
                                      return true;
                                  },
                                  nullptr});
        const EventLogFile log(EventLogFile::defaultFolder());
        MainDlg window;
        for (QAction* action : window.systemTrayMenu()->actions()) {
            if (action->text().startsWith(QStringLiteral("Open ")))
                action->trigger();
        }
        QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(log.filePath()),
                                      QUrl::fromLocalFile(window.trackListFolder())}));
    }
};

FENK_TEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
