// The package and its desktop files, the autostart entry, life without a tray.
#include "autostart.h"
#include "desktop.h"
#include "fenktestconfig.h"
#include "files.h"
#include "maindlg.h"
#include "offlinetwitter.h"
#include "prefsdlg.h"
#include "testhome.h"

#include <QMessageBox>
#include <QtTest>

namespace {

// The exit code (-1 on a crash) and the output.
int run(const QStringList& command, QByteArray* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    const bool ended = process.waitForFinished(300000) && process.exitStatus() == 0;
    *output = process.readAll();
    return ended ? process.exitCode() : -1;
}

QString desktopValue(const QString& path, const QString& key)
{
    const QRegularExpression line('^' + key + "=(.*)$", QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(readFile(path))).captured(1);
}

void answerNextQuestion(QMessageBox::StandardButton button)
{
    QTimer::singleShot(0, [button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        box ? box->button(button)->click() : answerNextQuestion(button);
    });
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
    OfflineTwitter m_twitter;

private Q_SLOTS:
    // CPack's package of the install: its dependencies and its files as the desktop checks them.
    void package()
    {
        QTemporaryDir stage;
        QByteArray out;
        const QString config = FENK_BINARY_DIR "/CPackConfig.cmake";
        QCOMPARE(run({FENK_CPACK_COMMAND, "-B", stage.path(), "--config", config}, &out), 0);
        const QString deb = stage.filePath(QDir(stage.path()).entryList({"fenk_*.deb"}).value(0));
        QCOMPARE(run({"dpkg-deb", "-f", deb, "Depends"}, &out), 0);
        QVERIFY2(out.contains("libqt5widgets5") && out.contains("libcurl4"), out);
        QCOMPARE(run({"dpkg-deb", "-x", deb, stage.path()}, &out), 0);
        const QString usr = stage.path() + "/usr/";
        const QString entry = usr + "share/applications/" + Autostart::desktopFileName();
        const QString icon = desktopValue(entry, "Icon");
        const QString metainfo = usr + "share/metainfo/" + icon + ".metainfo.xml";
        QVERIFY2(run({"desktop-file-validate", entry}, &out) == 0 && out.isEmpty(), out);
        QVERIFY2(run({"appstreamcli", "validate", "--no-net", metainfo}, &out) == 0, out);
        QVERIFY(QFileInfo(usr + "bin/" + desktopValue(entry, "Exec")).isExecutable());
        QCOMPARE(desktopValue(entry, "StartupWMClass"), QCoreApplication::applicationName());
    }

    // The autostart box, quoting a hostile path; a hidden start without a tray comes
    // up after the wait, and closing then asks ("No" keeps the window, "Yes" quits).
    void onTheDesktop()
    {
        desktop::setHooks({nullptr, [] { return false; }});
        MainDlg window;
        const QString config = QDir::homePath() + "/elsewhere";
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        const QString path = config + "/autostart/" + Autostart::desktopFileName();
        QCheckBox* box = window.preferences()->startAtLoginChBox;
        box->click();
        QCOMPARE(desktopValue(path, "Exec"),
                 '"' + QCoreApplication::applicationFilePath() + "\" --hidden");
        box->click();
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(QDir(config).removeRecursively() && QFile(config).open(QIODevice::WriteOnly));
        box->click();
        QVERIFY(!box->isChecked() && QFile::remove(config));
        QVERIFY(Autostart("/opt/DJ \"x\"/$HOME/1% `y`\\fenk").setEnabled(true));
        QByteArray out;
        QVERIFY2(run({"desktop-file-validate", path}, &out) == 0 && out.isEmpty(), out);
        QCOMPARE(desktopValue(path, "Exec"),
                 R"("/opt/DJ \\"x\\"/\\$HOME/1%% \\`y\\`\\\\fenk" --hidden)");
        window.showAtStart(true, std::chrono::milliseconds(1));
        QVERIFY(!window.isVisible());
        QTRY_VERIFY(window.isVisible());
        answerNextQuestion(QMessageBox::No);
        QVERIFY(!window.close());
        answerNextQuestion(QMessageBox::Yes);
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(10000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

FENK_TEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
