#include "advancedsettings.h"
#include "applicationsettings.h"
#include "documentfolder.h"
#include "eventlogfile.h"
#include "fenktestconfig.h"
#include "logcapture.h"
#include "messanger.h"
#include "testhome.h"
#include "versionnumber.h"

#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <boost/format.hpp>

#include <optional>
#include <thread>
#include <vector>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList readLines(const QString& path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// Settings files as the program wrote them before its settings became a table.
QByteArray storedFile(const char* name)
{
    return readFile(QStringLiteral(FENK_SOURCE_DIR "/tests/app/data/") + QLatin1String(name))
        .replace("@HOME@", QFile::encodeName(QDir::homePath()));
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
        const QByteArray defaults = storedFile("settings-defaults.conf");
        const QByteArray edited = storedFile("settings-edited.conf");
        QTest::newRow("first start") << QByteArray() << QString() << defaults;
        QTest::newRow("every value edited, read back") << edited << QString() << edited;
        QTest::newRow("a value set during the run")
            << defaults << "dj_fenk"
            << QByteArray(defaults).replace("userName=", "userName=dj_fenk");
        QTest::newRow("Traktor listener cannot be switched off")
            << QByteArray(edited).replace("ListenerActive=true\nPort=",
                                          "ListenerActive=false\nPort=")
            << QString() << edited;
        QTest::newRow("port stored as letters loads as 0")
            << QByteArray(defaults).replace("Port=8000", "Port=eight thousand") << QString()
            << QByteArray(defaults).replace("Port=8000", "Port=0");
        const QByteArray withToken = QByteArray(edited).replace(
            "[serato]", "[oAuth]\nOAuthAccessTokenKey=4242-key\n\n[serato]");
        QTest::newRow("keys of others are kept") << withToken << QString() << withToken;
    }

    void settingsFileStaysCompatible()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, userName);
        QFETCH(QByteArray, after);
        QVERIFY(after.contains("[userInfo]"));
        const QString path = QSettings().fileName();
        QFile::remove(path);
        QVERIFY(before.isEmpty() || writeFile(path, before));
        {
            ApplicationSettings settings;
            if (!userName.isNull())
                settings.setUserName(userName);
            // Nothing reaches the store before a regular exit.
            QCOMPARE(readFile(path), before);
        }
        QCOMPARE(QString::fromUtf8(readFile(path)), QString::fromUtf8(after));
    }

    void versionNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("newerThanOwn");
        QTest::newRow("single number") << "3" << -1 << -1 << false;
        QTest::newRow("ten") << "10.0" << 10 << 0 << true;
        QTest::newRow("three parts") << "1.2.3" << 1 << 2 << false;
        QTest::newRow("letters first") << "version v2.10 beta" << 2 << 10 << true;
        QTest::newRow("reply, minor as a number") << "{\"version\":\"1.10\"}" << 1 << 10 << true;
        QTest::newRow("same version") << "1.9" << 1 << 9 << false;
        QTest::newRow("older major, larger minor") << "0.99" << 0 << 99 << false;
    }

    void versionNumbers()
    {
        QFETCH(QString, text);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(bool, newerThanOwn);
        const VersionNumber v = VersionNumber::fromText(text);
        QCOMPARE(v.major, major);
        QCOMPARE(v.minor, minor);
        const VersionNumber own = VersionNumber::fromText(QCoreApplication::applicationVersion());
        QCOMPARE(v.isNewerThan(own), newerThanOwn);
    }

    void advancedKeys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        const char* const rows[][4] = {
            {"Twitter API", "TwitterApiHost", " 127.0.0.1:4443 ", "127.0.0.1:4443"},
            {"Twitter API default", "TwitterApiHost", "", "api.twitter.com"},
            {"web service", "ServiceHost", "localhost:9443", "localhost:9443"},
            {"listen default", "ListenAddress", "", "127.0.0.1"},
            {"listen everywhere", "ListenAddress", "0.0.0.0", "0.0.0.0"},
            // A typo must never open the listeners to the network.
            {"host name", "ListenAddress", "my-laptop", "127.0.0.1"},
            {"ipv6", "ListenAddress", "::1", "127.0.0.1"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3]);
    }

    void advancedKeys()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        QSettings().setValue(QStringLiteral("advanced/") + key, stored);
        const AdvancedSettings a;
        const QHash<QString, QString> values{{"TwitterApiHost", a.twitterApiHost()},
                                             {"ServiceHost", a.serviceHost()},
                                             {"ListenAddress", a.listenAddress()}};
        QCOMPARE(values.value(key), expected);
    }

    void eventLogRecords_data()
    {
        QTest::addColumn<bool>("sink");
        QTest::addColumn<int>("loggerLevel");
        QTest::addColumn<int>("recordLevel");
        QTest::addColumn<int>("severity");
        QTest::addColumn<QString>("written");
        const QString text = QStringLiteral("\tStream 3 ended after 17 pages");
        QTest::newRow("no sink") << false << 1 << 1 << 0 << QString();
        QTest::newRow("info") << true << 1 << 1 << 0 << "INF" + text;
        QTest::newRow("warning") << true << 1 << 1 << 1 << "WRN" + text;
        QTest::newRow("error") << true << 1 << 1 << 2 << "ERR" + text;
        QTest::newRow("unknown severity") << true << 1 << 1 << 3 << "UNK" + text;
        QTest::newRow("negative severity") << true << 1 << 1 << -1 << "UNK" + text;
        QTest::newRow("detailed record at level 1") << true << 1 << 2 << 0 << QString();
        QTest::newRow("level 0 disables") << true << 0 << 0 << 0 << QString();
        QTest::newRow("level 3 writes detail") << true << 3 << 3 << 0 << "INF" + text;
    }

    void eventLogRecords()
    {
        QFETCH(bool, sink);
        QFETCH(int, loggerLevel);
        QFETCH(int, recordLevel);
        QFETCH(int, severity);
        QFETCH(QString, written);
        std::optional<LogCapture> capture;
        if (sink)
            capture.emplace(loggerLevel);
        event_log::record r(boost::format("Stream %1% ended after %2%") % 3 % 17, severity,
                            recordLevel);
        r.stream() << " pages";
        // Both accessors reach the logger the capture is attached to.
        event_log::logger::get_instance().write(r);
        if (capture)
            QCOMPARE(capture->records().join(QLatin1Char('\n')), written);
    }

    void eventLogTime_data()
    {
        QTest::addColumn<QByteArray>("zone"); // POSIX rules: no zone database needed
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QString>("stamp");
        const QByteArray berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
        QTest::newRow("UTC") << QByteArray("UTC0") << 1489483613ll << "2017-Mar-14 09:26:53";
        QTest::newRow("local") << berlin << 1489483613ll << "2017-Mar-14 10:26:53";
        QTest::newRow("new year") << berlin << 1514761199ll << "2017-Dec-31 23:59:59";
        QTest::newRow("odd offset")
            << QByteArray("<+0545>-5:45") << 1514761199ll << "2018-Jan-01 04:44:59";
    }

    void eventLogTime()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qint64, time);
        QFETCH(QString, stamp);
        const QByteArray before = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const std::string line = event_log::format_line(time, event_log::warning, "x");
        qputenv("TZ", before);
        tzset();
        QCOMPARE(QString::fromStdString(line), stamp + QStringLiteral("\tWRN\tx"));
    }

    void eventLogFileRotates_data()
    {
        QTest::addColumn<int>("linesPerFile");
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("linesPerRun");
        QTest::addColumn<int>("runs");
        QTest::newRow("appends across runs") << 100 << 1 << 5 << 2;
        QTest::newRow("one old file kept") << 4 << 1 << 11 << 1;
        QTest::newRow("a new run counts what is there") << 4 << 1 << 3 << 2;
        QTest::newRow("concurrent writers") << 50 << 4 << 100 << 1;
    }

    void eventLogFileRotates()
    {
        QFETCH(int, linesPerFile);
        QFETCH(int, threads);
        QFETCH(int, linesPerRun);
        QFETCH(int, runs);
        const QString text = QStringLiteral("writer %1 line %2 ") + QString(40, QLatin1Char('x'));
        const int lineSize = 20 + 5 + text.arg(0).arg(0, 4).size() + 1;
        const QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/data");
        for (int run = 0; run < runs; ++run) {
            const EventLogFile file(folder, linesPerFile * lineSize + lineSize / 2);
            std::vector<std::thread> writers;
            for (int t = 0; t < threads; ++t) {
                writers.emplace_back([&text, t, run, linesPerRun] {
                    for (int i = run * linesPerRun; i < (run + 1) * linesPerRun; ++i)
                        event_log::write(text.arg(t).arg(i, 4, 10, QLatin1Char('0')).toStdString(),
                                         event_log::info, 1);
                });
            }
            for (std::thread& writer : writers)
                writer.join();
        }
        QCOMPARE(event_log::instance().sink(), nullptr);

        const QStringList current = readLines(folder + QStringLiteral("/events.log"));
        const QStringList old = readLines(folder + QStringLiteral("/events.log.1"));
        const int total = threads * linesPerRun * runs;
        QCOMPARE(current.size(), (total - 1) % linesPerFile + 1);
        QCOMPARE(old.size(), total > linesPerFile ? linesPerFile : 0);
        static const QRegularExpression whole(
            QStringLiteral("^[0-9]{4}-\\w{3}-[0-9: -]{11}\tINF\twriter \\d line \\d{4} x{40}$"));
        for (const QString& line : old + current)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
        QVERIFY(threads > 1 || current.last().contains(
                                   QStringLiteral(" %1 ").arg(total - 1, 4, 10, QLatin1Char('0'))));
    }

    // Each report reaches its own signal, from the listener's thread, unchanged.
    void hubReemitsEachReport()
    {
        Messanger hub;
        QSignalSpy track(&hub, QOverload<QString, QString>::of(&Messanger::sendStat));
        QSignalSpy tempo(&hub, QOverload<QString>::of(&Messanger::sendStat));
        QSignalSpy clip(&hub, QOverload<QStringList>::of(&Messanger::sendStat));
        const QStringList clipReport{"1", "Clip", "2", "Track"};
        std::thread([&hub, &clipReport] {
            hub.sendMsg(QStringLiteral("Artist"), QStringLiteral("Title"));
            hub.sendMsg(QStringLiteral("120.000000"));
            hub.sendMsg(clipReport);
        }).join();
        QCOMPARE(track, (QList<QVariantList>{{"Artist", "Title"}}));
        QCOMPARE(tempo, (QList<QVariantList>{{"120.000000"}}));
        QCOMPARE(clip, (QList<QVariantList>{{clipReport}}));
    }

    void migration_data()
    {
        // Entries are separated by "|". tree: files (holding their own path) and
        // folders (ending in "/"); expected: "file=content", "folder/" or "!absent";
        // marker: its lines in any order, "" for empty, null for no marker.
        struct Row
        {
            const char *name, *documents, *tree, *expected, *marker;
        };
        const Row rows[] = {
            {"no legacy folder", "docs", "", "docs/FENK/", nullptr},
            {"documents missing", "no/docs", "", "!no", nullptr},
            {"empty legacy folder", "docs", "docs/Pelmora/", "", ""},
            {"copied, an existing target kept", "docs",
             "docs/Pelmora/a.xml|docs/Pelmora/Ü.xml|docs/Pelmora/b.txt|docs/FENK/Ü.xml",
             "docs/FENK/a.xml=docs/Pelmora/a.xml|docs/FENK/Ü.xml=docs/FENK/Ü.xml|!docs/FENK/b.txt",
             "Copying @/docs/Pelmora/a.xml to @/docs/FENK/a.xml|"
             "Copying @/docs/Pelmora/Ü.xml to @/docs/FENK/Ü.xml"},
            {"any log file means done", "docs", "docs/Pelmora/x.log|docs/Pelmora/a.xml",
             "!docs/FENK/a.xml", nullptr},
            {"every occurrence of the name replaced", "FENK/Documents",
             "Pelmora/Documents/Pelmora/a.xml|FENK/Documents/Pelmora/b.xml",
             "FENK/Documents/FENK/a.xml=Pelmora/Documents/Pelmora/a.xml|!FENK/Documents/FENK/b.xml",
             "Copying @/Pelmora/Documents/Pelmora/a.xml to @/FENK/Documents/FENK/a.xml"},
            {"case-sensitive replacement", "fenk", "fenk/Pelmora/a.xml",
             "fenk/FENK/a.xml=fenk/Pelmora/a.xml",
             "Copying @/fenk/Pelmora/a.xml to @/fenk/FENK/a.xml"},
            // Failed copies leave no marker, so the next start tries again.
            {"a folder in the way", "docs",
             "docs/Pelmora/a.xml|docs/Pelmora/b.xml|docs/FENK/a.xml/",
             "docs/FENK/b.xml=docs/Pelmora/b.xml", nullptr},
            {"document folder cannot be made", "docs", "docs/FENK|docs/Pelmora/a.xml", "", nullptr},
        };
        QTest::addColumn<QString>("documents");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("marker");
        for (const Row& row : rows) {
            QTest::newRow(row.name)
                << QString::fromUtf8(row.documents) << QString::fromUtf8(row.tree)
                << QString::fromUtf8(row.expected) << QString::fromUtf8(row.marker);
        }
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
        for (const QString& entry : tree.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
            QVERIFY(entry.endsWith(QLatin1Char('/')) ? QDir().mkpath(root + entry)
                                                     : writeFile(root + entry, entry.toUtf8()));
        }
        if (!documents.startsWith(QLatin1String("no/")))
            QVERIFY(QDir().mkpath(root + documents));

        const QString folder = ensureDocumentFolder(root + documents, QStringLiteral("FENK"));
        QCOMPARE(folder, root + documents + QStringLiteral("/FENK"));
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));

        for (const QString& entry : expected.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
            const QString path = root + entry.section(QLatin1Char('='), 0, 0);
            if (entry.startsWith(QLatin1Char('!')))
                QVERIFY2(!QFileInfo::exists(root + entry.mid(1)), qPrintable(entry));
            else if (entry.endsWith(QLatin1Char('/')))
                QVERIFY2(QFileInfo(path).isDir(), qPrintable(entry));
            else
                QCOMPARE(readFile(path), entry.section(QLatin1Char('='), 1).toUtf8());
        }
        const QString markerPath =
            QString(folder).replace(QStringLiteral("FENK"), QStringLiteral("Pelmora")) +
            QStringLiteral("/Migrated.log");
        QCOMPARE(QFileInfo::exists(markerPath), !marker.isNull());
        QStringList lines = readLines(markerPath);
        QStringList expectedLines = marker.split(QLatin1Char('|'), Qt::SkipEmptyParts);
        expectedLines.replaceInStrings(QStringLiteral("@"), dir.path());
        lines.sort();
        expectedLines.sort();
        QCOMPARE(lines, expectedLines);
    }
};

FENK_TEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
