#include "advancedsettings.h"
#include "applicationsettings.h"
#include "documentfolder.h"
#include "eventlogfile.h"
#include "fenktestconfig.h"
#include "files.h"
#include "logcapture.h"
#include "testhome.h"
#include "versionnumber.h"

#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <boost/format.hpp>

#include <thread>

namespace {

QStringList sortedLines(const QString& path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

template <class... Values> void row(const char* name, const Values&... values)
{
    (QTest::newRow(name) << ... << values);
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Files as the program wrote them before its settings became a table load
    // and save unchanged; nothing reaches the store before a regular exit.
    void settingsFileStaysCompatible()
    {
        const QString path = QSettings().fileName();
        const auto run = [&path](const QByteArray& before) { // the DJ's name is set meanwhile
            QFile::remove(path);
            QVERIFY(before.isEmpty() || writeFile(path, before));
            ApplicationSettings settings;
            settings.setUserName("dj_fenk");
            QCOMPARE(readFile(path), before);
        };
        const auto stored = [](const char* name) {
            return readFile(QStringLiteral(FENK_SOURCE_DIR "/tests/app/data/") + name)
                .replace("@HOME@", QFile::encodeName(QDir::homePath()));
        };
        const QByteArray defaults = stored("settings-defaults.conf");
        run(QByteArray());
        QCOMPARE(readFile(path), QByteArray(defaults).replace("userName=", "userName=dj_fenk"));
        // Others' keys are kept, the Traktor listener stays on, a port as letters loads as 0.
        const QByteArray edited = stored("settings-edited.conf");
        run(QByteArray(edited).replace("true\nPort=65535", "false\nPort=sixty"));
        QCOMPARE(readFile(path), QByteArray(edited).replace("Port=65535", "Port=0"));
    }

    // Texts from outside: version numbers in the web service's replies, read as
    // "major.minor" and whether newer than ours (1.9); advanced keys an administrator stores.
    void textsRead_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read");
        row("single number", "version", "3", "-1.-1");
        row("letters first", "version", "version v2.10.3 beta", "2.10 newer");
        row("same version", "version", "1.9", "1.9");
        row("Twitter API", "TwitterApiHost", " 127.0.0.1:44 ", "127.0.0.1:44");
        row("web service", "ServiceHost", "localhost:9443", "localhost:9443");
        row("listen everywhere", "ListenAddress", "0.0.0.0", "0.0.0.0");
        row("a typo: never open to the network", "ListenAddress", "my-laptop", "127.0.0.1");
        row("ipv6", "ListenAddress", "::1", "127.0.0.1");
    }

    void textsRead()
    {
        QFETCH(QString, source);
        QFETCH(QString, text);
        QFETCH(QString, read);
        const VersionNumber v = VersionNumber::fromText(text);
        const VersionNumber own = VersionNumber::fromText(QCoreApplication::applicationVersion());
        QSettings().setValue("advanced/" + source, text);
        const AdvancedSettings a;
        const QHash<QString, QString> values{
            {"version", QStringLiteral("%1.%2").arg(v.major).arg(v.minor) +
                            (v.isNewerThan(own) ? " newer" : "")},
            {"TwitterApiHost", a.twitterApiHost()},
            {"ServiceHost", a.serviceHost()},
            {"ListenAddress", a.listenAddress()}};
        QCOMPARE(values.value(source), read);
    }

    // Records reach a sink only if one is attached and their level passes; lines show local time.
    void eventLog()
    {
        qputenv("TZ", "<+0545>-5:45"); // POSIX rules: no zone database needed
        tzset();
        QCOMPARE(QString::fromStdString(event_log::format_line(1514761199, event_log::info, "x")),
                 "2018-Jan-01 04:44:59\tINF\tx");
        QCOMPARE(QString::fromStdString(event_log::format_line(253402300800, 0, "clock wrong")),
                 "253402300800\tINF\tclock wrong");
        event_log::write("no sink yet", event_log::error, 1);
        LogCapture capture(1);
        event_log::record r(boost::format("Stream %1% after %2%") % 3 % 17, event_log::error, 1);
        r.stream() << " pages";
        event_log::logger::get_instance().write(r); // the other accessor, the same logger
        event_log::write("too detailed", event_log::error, 2);
        event_log::write("severity 3", 3, 1);
        event_log::write("severity -1", -1, 1);
        event_log::instance().set_level(3);
        event_log::write("detail", event_log::warning, 3);
        event_log::instance().set_level(0);
        event_log::write("level 0 writes nothing", event_log::error, 0);
        QCOMPARE(capture.records(), (QStringList{"ERR\tStream 3 after 17 pages", "UNK\tseverity 3",
                                                 "UNK\tseverity -1", "WRN\tdetail"}));
    }

    // Four threads write in two runs: the second run appends and counts what
    // the first left, the file turns over once, and every line stays whole.
    void eventLogFileRotates()
    {
        const std::string text(60, 'x');
        const int lineSize = 86; // time stamp, severity, text, tabs and end of line
        const QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/data");
        for (const int lines : {5, 15}) {
            const EventLogFile file(folder, 50 * lineSize + lineSize / 2);
            std::thread writers[4];
            for (std::thread& writer : writers)
                writer = std::thread([&text, lines] {
                    for (int i = 0; i < lines; ++i)
                        event_log::write(text, event_log::info, 1);
                });
            for (std::thread& writer : writers)
                writer.join();
        }
        QCOMPARE(event_log::instance().sink(), nullptr);
        const QStringList current = sortedLines(folder + QStringLiteral("/events.log"));
        const QStringList old = sortedLines(folder + QStringLiteral("/events.log.1"));
        QCOMPARE(old.size(), 50);
        QCOMPARE(current.size(), 30);
        const QRegularExpression whole("^[0-9]{4}-\\w{3}-[0-9: -]{11}\tINF\tx{60}$");
        for (const QString& line : old + current)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

    void migration_data()
    {
        // Entries split at "|". tree: files, each holding its own path. expected:
        // "path=its lines" (sorted, joined by ";", paths from the temporary folder) or "!path".
        QTest::addColumn<QString>("documents");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("expected");
        row("copied, an existing target kept", "d",
            "d/Pelmora/a.xml|d/Pelmora/Ü.xml|d/Pelmora/b.txt|d/FENK/Ü.xml",
            "d/FENK/a.xml=d/Pelmora/a.xml|d/FENK/Ü.xml=d/FENK/Ü.xml|!d/FENK/b.txt|"
            "d/Pelmora/Migrated.log=Copying d/Pelmora/a.xml to d/FENK/a.xml;"
            "Copying d/Pelmora/Ü.xml to d/FENK/Ü.xml");
        row("any log file means done", "d", "d/Pelmora/x.log|d/Pelmora/a.xml",
            "!d/FENK/a.xml|!d/Pelmora/Migrated.log");
        row("every occurrence of the name replaced, case-sensitively", "fenk/FENK/D",
            "fenk/Pelmora/D/Pelmora/a.xml|fenk/FENK/D/Pelmora/b.xml",
            "fenk/FENK/D/FENK/a.xml=fenk/Pelmora/D/Pelmora/a.xml|!fenk/FENK/D/FENK/b.xml|"
            "fenk/Pelmora/D/Pelmora/Migrated.log="
            "Copying fenk/Pelmora/D/Pelmora/a.xml to fenk/FENK/D/FENK/a.xml");
        row("a missing documents folder is made", "new/d", "", "new/d/FENK/");
        // Failed copies leave no marker, so the next start tries again.
        row("a folder in the way", "d", "d/Pelmora/a.xml|d/Pelmora/b.xml|d/FENK/a.xml/x",
            "d/FENK/b.xml=d/Pelmora/b.xml|!d/Pelmora/Migrated.log");
    }

    void migration()
    {
        QFETCH(QString, documents);
        QFETCH(QString, tree);
        QFETCH(QString, expected);
        // Not the default template: that would put the application name into the path.
        const QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/docs-XXXXXX"));
        const QString root = dir.path() + QLatin1Char('/');
        for (const QString& entry : tree.split('|', Qt::SkipEmptyParts))
            QVERIFY(writeFile(root + entry, entry.toUtf8()));
        migrateLegacyTrackLists(ensureDocumentFolder(root + documents, "FENK"), "FENK");
        for (const QString& entry : expected.split('|', Qt::SkipEmptyParts)) {
            const QString path = root + entry.section('=', 0, 0).remove('!');
            const QString lines = sortedLines(path).replaceInStrings(root, "").join(';');
            QVERIFY2(QFileInfo::exists(path) != entry.startsWith('!') &&
                         lines == entry.section('=', 1),
                     qPrintable(entry + " holds " + lines));
        }
    }
};

FENK_TEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
