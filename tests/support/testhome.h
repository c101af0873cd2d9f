#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cstdlib>

// Every test process runs against a home folder of its own: the settings store,
// the documents folder and the application data land there, never in the real
// home of whoever runs the tests. It must be installed before the first
// QSettings or QStandardPaths call, which cache what they find.
class TestHome
{
public:
    TestHome() : m_dir(QDir::tempPath() + QStringLiteral("/fenk-test-XXXXXX"))
    {
        const QByteArray home = QFile::encodeName(m_dir.path());
        setenv("HOME", home.constData(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").constData(), 1);
        setenv("XDG_DATA_HOME", (home + "/.local/share").constData(), 1);
        setenv("XDG_CACHE_HOME", (home + "/.cache").constData(), 1);
        setenv("XDG_RUNTIME_DIR", (home + "/runtime").constData(), 1);
        // The Serato watcher keeps its state under the temporary folder.
        setenv("TMPDIR", (home + "/tmp").constData(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
        // Never the desktop's session bus: its Secret Service would take the
        // tests' secrets (a test that wants one starts a bus of its own).
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home + "/runtime/no-bus").constData(),
               1);
        for (const char* folder : {"runtime", "Documents", "tmp"})
            QDir(m_dir.path()).mkpath(QLatin1String(folder));
        QFile::setPermissions(m_dir.path() + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner);
    }

    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// QTEST_MAIN / QTEST_GUILESS_MAIN with a temporary home installed first.
#define FENK_TEST_MAIN_IMPL(TestObject, AppClass)                                                  \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        TestHome testHome;                                                                         \
        AppClass app(argc, argv);                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane Media GmbH"));                \
        QCoreApplication::setApplicationName(QStringLiteral("FENK"));                              \
        QCoreApplication::setApplicationVersion(QStringLiteral("1.9"));                            \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define FENK_TEST_MAIN(TestObject) FENK_TEST_MAIN_IMPL(TestObject, QApplication)
#define FENK_TEST_GUILESS_MAIN(TestObject) FENK_TEST_MAIN_IMPL(TestObject, QCoreApplication)
