#include "advancedsettings.h"
#include "applicationsettings.h"
#include "documentfolder.h"
#include "eventlogfile.h"
#include "fenktestconfig.h"
#include "logcapture.h"
#include "testhome.h"
#include "versionnumber.h"

#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <boost/format.hpp>

#include <thread>
#include <vector>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList sortedLines(const QString& path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// One row of a _data() table: its name, then the values of its columns.
template <class... Values> void row(const char* name, const Values&... values)
{
    (QTest::newRow(name) << ... << values);
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settingsFileStaysCompatible_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("userName"); // set during the run unless null
        QTest::addColumn<QByteArray>("after");
        // Files as the program wrote them before its settings became a table.
        const auto stored = [](const char* name) {
            return readFile(QStringLiteral(FENK_SOURCE_DIR "/tests/app/data/") + name)
                .replace("@HOME@", QFile::encodeName(QDir::homePath()));
        };
        const QByteArray defaults = stored("settings-defaults.conf");
        const QByteArray edited = stored("settings-edited.conf"); // with others' keys
        QTest::newRow("first start, a value set during the run")
            << QByteArray() << "dj_fenk"
            << QByteArray(defaults).replace("userName=", "userName=dj_fenk");
        QTest::newRow("every value edited") << edited << QString() << edited;
        QTest::newRow("Traktor listener cannot be switched off, a port as letters loads as 0")
            << QByteArray(edited).replace("true\nPort=65535", "false\nPort=sixty") << QString()
            << QByteArray(edited).replace("Port=65535", "Port=0");
    }

    void settingsFileStaysCompatible()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, userName);
        QFETCH(QByteArray, after);
        const QString path = QSettings().fileName();
        QFile::remove(path);
        QVERIFY(before.isEmpty() || writeFile(path, before));
        {
            ApplicationSettings settings;
            if (!userName.isNull())
                settings.setUserName(userName);
            QCOMPARE(readFile(path), before); // nothing reaches the store before a regular exit
        }
        QCOMPARE(QString::fromUtf8(readFile(path)), QString::fromUtf8(after));
    }

    // Texts from outside: version numbers in the web service's replies (ours is
    // 1.9) and the advanced keys an administrator stores.
    void textsRead_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read");
        row("single number", "version", "3", "-1.-1 not newer");
        row("ten", "version", "10.0", "10.0 newer");
        row("letters first", "version", "version v2.10.3 beta", "2.10 newer");
        row("minor as a number", "version", "{\"version\":\"1.10\"}", "1.10 newer");
        row("same version", "version", "1.9", "1.9 not newer");
        row("older major, larger minor", "version", "0.99", "0.99 not newer");
        row("Twitter API", "TwitterApiHost", " 127.0.0.1:44 ", "127.0.0.1:44");
        row("Twitter API default", "TwitterApiHost", "", "api.twitter.com");
        row("web service", "ServiceHost", "localhost:9443", "localhost:9443");
        row("listen default", "ListenAddress", "", "127.0.0.1");
        row("listen everywhere", "ListenAddress", "0.0.0.0", "0.0.0.0");
        // A typo must never open the listeners to the network.
        row("host name", "ListenAddress", "my-laptop", "127.0.0.1");
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
            {"version", QStringLiteral("%1.%2 %3")
                            .arg(v.major)
                            .arg(v.minor)
                            .arg(v.isNewerThan(own) ? "newer" : "not newer")},
            {"TwitterApiHost", a.twitterApiHost()},
            {"ServiceHost", a.serviceHost()},
            {"ListenAddress", a.listenAddress()}};
        QCOMPARE(values.value(source), read);
    }

    // Records reach a sink only when one is attached and their level passes.
    void eventLogFilters()
    {
        event_log::write("no sink yet", event_log::error, 1);
        LogCapture capture(1);
        event_log::record r(boost::format("Stream %1% ended after %2%") % 3 % 17, event_log::error,
                            1);
        r.stream() << " pages";
        event_log::logger::get_instance().write(r); // the other accessor, the same logger
        event_log::write("too detailed", event_log::error, 2);
        event_log::write("severity 3", 3, 1);
        event_log::write("severity -1", -1, 1);
        event_log::instance().set_level(3);
        event_log::write("detail", event_log::warning, 3);
        event_log::instance().set_level(0);
        event_log::write("level 0 writes nothing", event_log::error, 0);
        QCOMPARE(capture.records(),
                 (QStringList{"ERR\tStream 3 ended after 17 pages", "UNK\tseverity 3",
                              "UNK\tseverity -1", "WRN\tdetail"}));
    }

    void eventLogTime_data()
    {
        QTest::addColumn<QString>("zone"); // POSIX rules: no zone database needed
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QString>("stamp");
        row("local", "CET-1CEST,M3.5.0,M10.5.0/3", 1489483613ll, "2017-Mar-14 10:26:53");
        row("odd offset, new year", "<+0545>-5:45", 1514761199ll, "2018-Jan-01 04:44:59");
        row("clock past the year 9999", "UTC0", 253402300800ll, "253402300800");
    }

    void eventLogTime()
    {
        QFETCH(QString, zone);
        QFETCH(qint64, time);
        QFETCH(QString, stamp);
        const QByteArray before = qgetenv("TZ");
        qputenv("TZ", zone.toLatin1());
        tzset();
        const std::string line = event_log::format_line(time, event_log::info, "x");
        qputenv("TZ", before);
        tzset();
        QCOMPARE(QString::fromStdString(line), stamp + QStringLiteral("\tINF\tx"));
    }

    // Four threads write in two runs: the second run appends and counts what
    // the first left, the file turns over once, and every line stays whole.
    void eventLogFileRotates()
    {
        const QString text = QStringLiteral("writer %1 line %2 ") + QString(40, QLatin1Char('x'));
        const int lineSize = 20 + 5 + text.arg(0).arg(0, 4).size() + 1;
        const QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/data");
        for (const int lines : {5, 15}) {
            const EventLogFile file(folder, 50 * lineSize + lineSize / 2);
            std::vector<std::thread> writers;
            for (int t = 0; t < 4; ++t) {
                writers.emplace_back([&text, t, lines] {
                    for (int i = 0; i < lines; ++i)
                        event_log::write(text.arg(t).arg(i, 4, 10, QLatin1Char('0')).toStdString(),
                                         event_log::info, 1);
                });
            }
            for (std::thread& writer : writers)
                writer.join();
        }
        QCOMPARE(event_log::instance().sink(), nullptr);
        const QStringList current = sortedLines(folder + QStringLiteral("/events.log"));
        const QStringList old = sortedLines(folder + QStringLiteral("/events.log.1"));
        QCOMPARE(old.size(), 50);
        QCOMPARE(current.size(), 30);
        static const QRegularExpression whole(
            QStringLiteral("^[0-9]{4}-\\w{3}-[0-9: -]{11}\tINF\twriter \\d line \\d{4} x{40}$"));
        for (const QString& line : old + current)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

    void migration_data()
    {
        // Entries split at "|". tree: files (holding their own path) and folders
        // (ending in "/"); expected: "file=content", "file=" when absent; marker:
        // its lines in any order, null when absent.
        QTest::addColumn<QString>("documents");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("marker");
        row("documents missing", "no/d", "", "", QString());
        row("empty legacy folder", "d", "d/Pelmora/", "", "");
        row("copied, an existing target kept", "d",
            "d/Pelmora/a.xml|d/Pelmora/Ü.xml|d/Pelmora/b.txt|d/FENK/Ü.xml",
            "d/FENK/a.xml=d/Pelmora/a.xml|d/FENK/Ü.xml=d/FENK/Ü.xml|d/FENK/b.txt=",
            "Copying d/Pelmora/a.xml to d/FENK/a.xml|Copying d/Pelmora/Ü.xml to d/FENK/Ü.xml");
        row("any log file means done", "d", "d/Pelmora/x.log|d/Pelmora/a.xml",
            "d/FENK/a.xml=", QString());
        row("every occurrence of the name replaced, case-sensitively", "fenk/FENK/D",
            "fenk/Pelmora/D/Pelmora/a.xml|fenk/FENK/D/Pelmora/b.xml",
            "fenk/FENK/D/FENK/a.xml=fenk/Pelmora/D/Pelmora/a.xml|fenk/FENK/D/FENK/b.xml=",
            "Copying fenk/Pelmora/D/Pelmora/a.xml to fenk/FENK/D/FENK/a.xml");
        // Failed copies leave no marker, so the next start tries again.
        row("a folder in the way", "d", "d/Pelmora/a.xml|d/Pelmora/b.xml|d/FENK/a.xml/",
            "d/FENK/b.xml=d/Pelmora/b.xml", QString());
    }

    void migration()
    {
        QFETCH(QString, documents);
        QFETCH(QString, tree);
        QFETCH(QString, expected);
        QFETCH(QString, marker);
        // Not the default template: that would put the application name into the path.
        const QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/docs-XXXXXX"));
        const QString root = dir.path() + QLatin1Char('/');
        for (const QString& entry : tree.split('|', Qt::SkipEmptyParts)) {
            QVERIFY(entry.endsWith('/') ? QDir().mkpath(root + entry)
                                        : writeFile(root + entry, entry.toUtf8()));
        }
        const bool documentsExist = !documents.startsWith(QLatin1String("no/"));
        QVERIFY(!documentsExist || QDir().mkpath(root + documents));
        const QString folder = ensureDocumentFolder(root + documents, QStringLiteral("FENK"));
        QCOMPARE(QFileInfo(root + documents + QStringLiteral("/FENK")).isDir(), documentsExist);
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));

        for (const QString& entry : expected.split('|', Qt::SkipEmptyParts)) {
            QVERIFY2(readFile(root + entry.section('=', 0, 0)) == entry.section('=', 1).toUtf8(),
                     qPrintable(entry));
        }
        const QString markerPath = QString(root + documents).replace("FENK", "Pelmora") +
                                   QStringLiteral("/Pelmora/Migrated.log");
        QCOMPARE(QFileInfo::exists(markerPath), !marker.isNull());
        QStringList lines = marker.split('|', Qt::SkipEmptyParts);
        lines.sort();
        QCOMPARE(sortedLines(markerPath).replaceInStrings(root, QString()), lines);
    }
};

FENK_TEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
