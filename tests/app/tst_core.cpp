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

// Settings files as the program wrote them before its settings became a table.
QByteArray storedFile(const char* name)
{
    QFile file(QStringLiteral(FENK_SOURCE_DIR "/tests/app/data/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().replace("@HOME@", QFile::encodeName(QDir::homePath()));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// What a DJ changes in the preferences, every value away from its default.
void editEverything(ApplicationSettings& s)
{
    s.setStartMessage(QStringLiteral("spielt ab jetzt, live aus:"));
    s.setStopMessage(QString());
    s.setStartHashtag(QStringLiteral("#FENK #live"));
    s.setStopHashtag(QStringLiteral("  \"quoted\"; =x "));
    s.setPlayingMessage(QStringLiteral("läuft ♫ — 日本 🎧"));
    s.setActiveTwitter(false);
    s.setLocationServices(true);
    s.setCheckForUpdateAtStart(false);
    s.setAbletonPort(9300);
    s.setMasterClip(true);
    s.setIcecastPort(65535);
    s.setSeratoListenerActive(false);
    s.setSeratoDelay(999);
    s.setSessionDir(QStringLiteral("/srv/Serato Sessions/"));
    s.setUserName(QStringLiteral("dj_fenk"));
    s.setUid(QStringLiteral("4242"));
    s.setPrefTabIndex(3);
    s.setHashtagArtist(true);
    s.setHashtagTrack(true);
}

QStringList readLines(const QString& path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Files and (with a trailing slash) folders under root; a file holds its own path.
void makeTree(const QString& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(root + QLatin1Char('/') + entry));
        else
            QVERIFY(writeFile(root + QLatin1Char('/') + entry, entry.toUtf8()));
    }
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settingsFileStaysCompatible_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<QByteArray>("after");
        const QByteArray defaults = storedFile("settings-defaults.conf");
        const QByteArray edited = storedFile("settings-edited.conf");
        QVERIFY(!defaults.isEmpty() && !edited.isEmpty());
        QTest::newRow("first start") << QByteArray() << false << defaults;
        QTest::newRow("every value edited") << defaults << true << edited;
        QTest::newRow("edited values read back") << edited << false << edited;
        QTest::newRow("Traktor listener cannot be switched off")
            << QByteArray(edited).replace("[icecast]\nListenerActive=true",
                                          "[icecast]\nListenerActive=false")
            << false << edited;
        QTest::newRow("port stored as letters loads as 0")
            << QByteArray(defaults).replace("Port=8000", "Port=eight thousand") << false
            << QByteArray(defaults).replace("Port=8000", "Port=0");
        const QByteArray withToken = QByteArray(edited).replace(
            "[serato]", "[oAuth]\nOAuthAccessTokenKey=4242-key\n\n[serato]");
        QTest::newRow("keys of others are kept") << withToken << false << withToken;
    }

    void settingsFileStaysCompatible()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, edit);
        QFETCH(QByteArray, after);
        const QString path = QSettings().fileName();
        QFile::remove(path);
        if (!before.isEmpty())
            QVERIFY(writeFile(path, before));
        {
            ApplicationSettings settings;
            if (edit)
                editEverything(settings);
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
        QTest::newRow("single number") << QStringLiteral("3") << -1 << -1 << false;
        QTest::newRow("empty") << QString() << -1 << -1 << false;
        QTest::newRow("ten") << QStringLiteral("10.0") << 10 << 0 << true;
        QTest::newRow("three parts") << QStringLiteral("1.2.3") << 1 << 2 << false;
        QTest::newRow("letters first") << QStringLiteral("version v2.10 beta") << 2 << 10 << true;
        QTest::newRow("json reply, minor compared as a number")
            << QStringLiteral("{\"version\":\"1.10\"}") << 1 << 10 << true;
        QTest::newRow("same version") << QStringLiteral("1.9") << 1 << 9 << false;
        QTest::newRow("older major, larger minor") << QStringLiteral("0.99") << 0 << 99 << false;
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
        QVERIFY(!own.isNewerThan(v) || !newerThanOwn);
    }

    void advancedKeys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Twitter API default")
            << "TwitterApiHost" << QString() << QStringLiteral("api.twitter.com");
        QTest::newRow("Twitter API") << "TwitterApiHost"
                                     << " 127.0.0.1:4443 "
                                     << "127.0.0.1:4443";
        QTest::newRow("web service") << "ServiceHost"
                                     << "localhost:9443"
                                     << "localhost:9443";
        QTest::newRow("extra CAs") << "ExtraCaCertificates"
                                   << "/tmp/ca.pem"
                                   << "/tmp/ca.pem";
        QTest::newRow("listen default") << "ListenAddress" << QString() << "127.0.0.1";
        QTest::newRow("listen everywhere") << "ListenAddress"
                                           << "0.0.0.0"
                                           << "0.0.0.0";
        // A typo must never open the listeners to the network.
        QTest::newRow("host name") << "ListenAddress"
                                   << "my-laptop"
                                   << "127.0.0.1";
        QTest::newRow("ipv6") << "ListenAddress"
                              << "::1"
                              << "127.0.0.1";
        QTest::newRow("typo") << "ListenAddress"
                              << "192.168.1."
                              << "127.0.0.1";
    }

    void advancedKeys()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        QSettings().clear();
        if (!stored.isNull())
            QSettings().setValue(QStringLiteral("advanced/") + key, stored);
        const AdvancedSettings a;
        const QHash<QString, QString> values{{"TwitterApiHost", a.twitterApiHost()},
                                             {"ServiceHost", a.serviceHost()},
                                             {"ExtraCaCertificates", a.extraCaCertificates()},
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
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QString>("stamp");
        // POSIX zone rules, so no time zone database is needed.
        const QByteArray berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
        QTest::newRow("UTC") << QByteArray("UTC0") << 1489483613ll << "2017-Mar-14 09:26:53";
        QTest::newRow("local") << berlin << 1489483613ll << "2017-Mar-14 10:26:53";
        QTest::newRow("summer") << berlin << 1504000000ll << "2017-Aug-29 11:46:40";
        QTest::newRow("new year") << berlin << 1514761199ll << "2017-Dec-31 23:59:59";
        QTest::newRow("odd offset")
            << QByteArray("<+0545>-5:45") << 1514761199ll << "2018-Jan-01 04:44:59";
        QTest::newRow("epoch") << QByteArray("UTC0") << 0ll << "1970-Jan-01 00:00:00";
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

    void eventLogFile_data()
    {
        QTest::addColumn<int>("linesPerFile"); // 0: the default limit
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("linesPerRun");
        QTest::addColumn<int>("runs");
        QTest::newRow("appends across runs") << 0 << 1 << 5 << 2;
        QTest::newRow("rotates, keeping one old file") << 4 << 1 << 11 << 1;
        QTest::newRow("a new run counts what is there") << 4 << 1 << 3 << 2;
        QTest::newRow("concurrent writers") << 50 << 4 << 100 << 1;
    }

    void eventLogFile()
    {
        QFETCH(int, linesPerFile);
        QFETCH(int, threads);
        QFETCH(int, linesPerRun);
        QFETCH(int, runs);
        const QString text = QStringLiteral("writer %1 line %2 ") + QString(40, QLatin1Char('x'));
        const qint64 lineSize = 25 + text.arg(0).arg(0, 4).size() + 1;
        const std::uint64_t limit = linesPerFile > 0 ? linesPerFile * lineSize + lineSize / 2
                                                     : EventLogFile::defaultSizeLimit;
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/data");
        for (int run = 0; run < runs; ++run) {
            const EventLogFile file(folder, limit);
            QVERIFY(file.isOpen());
            std::vector<std::thread> writers;
            for (int t = 0; t < threads; ++t) {
                writers.emplace_back([&text, t, run, linesPerRun] {
                    for (int i = 0; i < linesPerRun; ++i)
                        event_log::write(text.arg(t)
                                             .arg(run * linesPerRun + i, 4, 10, QLatin1Char('0'))
                                             .toStdString(),
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
        const int perFile = linesPerFile > 0 ? linesPerFile : total;
        QCOMPARE(current.size(), (total - 1) % perFile + 1);
        QCOMPARE(old.size(), total > perFile ? perFile : 0);
        static const QRegularExpression whole(QStringLiteral(
            "^\\d{4}-\\w{3}-\\d{2} \\d\\d:\\d\\d:\\d\\d\tINF\twriter \\d line \\d{4} x{40}$"));
        for (const QString& line : old + current)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
        if (threads == 1)
            QVERIFY(current.last().contains(
                QStringLiteral("line %1 ").arg(total - 1, 4, 10, QLatin1Char('0'))));
    }

    // Reports cross from a worker thread queued, in order, and as copies.
    void hubDeliversInOrderFromAnotherThread()
    {
        Messanger hub;
        QStringList seen;
        connect(&hub, QOverload<QString, QString>::of(&Messanger::sendStat), this,
                [&seen](const QString& artist, const QString& title) {
                    seen << artist + QLatin1Char('/') + title;
                });
        connect(&hub, QOverload<QString>::of(&Messanger::sendStat), this,
                [&seen](const QString& tempo) { seen << tempo; });
        connect(&hub, QOverload<QStringList>::of(&Messanger::sendStat), this,
                [&seen](const QStringList& clip) { seen << clip.join(QLatin1Char('|')); });

        std::thread worker([&hub] {
            for (int i = 0; i < 50; ++i)
                hub.sendMsg(QStringLiteral("Artist %1").arg(i), QStringLiteral("Title %1").arg(i));
            hub.sendMsg(QStringLiteral("120.000000"));
            QStringList clip{QStringLiteral("1"), QStringLiteral("Clip"), QStringLiteral("2"),
                             QStringLiteral("Track")};
            hub.sendMsg(clip);
            clip[1] = QStringLiteral("changed after sending");
        });
        worker.join();
        QVERIFY(seen.isEmpty()); // queued, not run on the worker
        QTRY_COMPARE(seen.size(), 52);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(seen.at(i), QStringLiteral("Artist %1/Title %1").arg(i));
        QCOMPARE(seen.at(50), QStringLiteral("120.000000"));
        QCOMPARE(seen.at(51), QStringLiteral("1|Clip|2|Track"));
    }

    void migration_data()
    {
        QTest::addColumn<QString>("documents");
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QStringList>("copied"); // "target=source"
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<QString>("marker");
        QTest::addColumn<QStringList>("markerLines"); // unordered
        const QString docs = QStringLiteral("docs");
        const QString marker = QStringLiteral("docs/Pelmora/Migrated.log");
        QTest::newRow("no legacy folder") << docs << QStringList() << QStringList()
                                          << QStringList{marker} << QString() << QStringList();
        QTest::newRow("documents folder missing")
            << "missing/docs" << QStringList() << QStringList() << QStringList{"missing"}
            << QString() << QStringList();
        QTest::newRow("empty legacy folder")
            << docs << QStringList{"docs/Pelmora/"} << QStringList() << QStringList() << marker
            << QStringList();
        QTest::newRow("copied, an existing target kept")
            << docs
            << QStringList{"docs/Pelmora/2019 set.xml", "docs/Pelmora/Über Nacht.xml",
                           "docs/Pelmora/notes.txt", "docs/FENK/Über Nacht.xml"}
            << QStringList{"docs/FENK/2019 set.xml=docs/Pelmora/2019 set.xml",
                           "docs/FENK/Über Nacht.xml=docs/FENK/Über Nacht.xml"}
            << QStringList{"docs/FENK/notes.txt"} << marker
            << QStringList{"Copying @/docs/Pelmora/2019 set.xml to @/docs/FENK/2019 set.xml",
                           "Copying @/docs/Pelmora/Über Nacht.xml to @/docs/FENK/Über Nacht.xml"};
        QTest::newRow("any log file means done")
            << docs << QStringList{"docs/Pelmora/debug.log", "docs/Pelmora/set.xml"}
            << QStringList() << QStringList{"docs/FENK/set.xml", marker} << QString()
            << QStringList();
        QTest::newRow("every occurrence of the name replaced")
            << "FENK/Documents"
            << QStringList{"Pelmora/Documents/Pelmora/set.xml", "FENK/Documents/Pelmora/wrong.xml"}
            << QStringList{"FENK/Documents/FENK/set.xml=Pelmora/Documents/Pelmora/set.xml"}
            << QStringList{"FENK/Documents/FENK/wrong.xml"}
            << "Pelmora/Documents/Pelmora/Migrated.log"
            << QStringList{"Copying @/Pelmora/Documents/Pelmora/set.xml to "
                           "@/FENK/Documents/FENK/set.xml"};
        QTest::newRow("case-sensitive replacement")
            << "fenk" << QStringList{"fenk/Pelmora/set.xml"}
            << QStringList{"fenk/FENK/set.xml=fenk/Pelmora/set.xml"} << QStringList()
            << "fenk/Pelmora/Migrated.log"
            << QStringList{"Copying @/fenk/Pelmora/set.xml to @/fenk/FENK/set.xml"};
        // Failed copies leave no marker, so the next start tries again.
        QTest::newRow("a folder in the way")
            << docs
            << QStringList{"docs/Pelmora/set.xml", "docs/Pelmora/other.xml", "docs/FENK/set.xml/"}
            << QStringList{"docs/FENK/other.xml=docs/Pelmora/other.xml"} << QStringList{marker}
            << QString() << QStringList();
        QTest::newRow("document folder cannot be made")
            << docs << QStringList{"docs/FENK", "docs/Pelmora/set.xml"} << QStringList()
            << QStringList{marker} << QString() << QStringList();
    }

    void migration()
    {
        QFETCH(QString, documents);
        QFETCH(QStringList, tree);
        QFETCH(QStringList, copied);
        QFETCH(QStringList, absent);
        QFETCH(QString, marker);
        QFETCH(QStringList, markerLines);
        // Not the default template: that would put the application name into the path.
        const QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/docs-XXXXXX"));
        const QString root = dir.path();
        makeTree(root, tree);
        if (!documents.startsWith(QLatin1String("missing")))
            QVERIFY(QDir().mkpath(root + QLatin1Char('/') + documents));

        const QString folder =
            ensureDocumentFolder(root + QLatin1Char('/') + documents, QStringLiteral("FENK"));
        QCOMPARE(folder, root + QLatin1Char('/') + documents + QStringLiteral("/FENK"));
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));

        for (const QString& entry : copied) {
            const QStringList parts = entry.split(QLatin1Char('='));
            QCOMPARE(readFile(root + QLatin1Char('/') + parts.at(0)), parts.at(1).toUtf8());
        }
        for (const QString& entry : absent)
            QVERIFY2(!QFileInfo::exists(root + QLatin1Char('/') + entry), qPrintable(entry));
        if (marker.isEmpty())
            return;
        QStringList lines = readLines(root + QLatin1Char('/') + marker);
        QVERIFY(QFileInfo::exists(root + QLatin1Char('/') + marker));
        lines.sort();
        markerLines.replaceInStrings(QStringLiteral("@"), root);
        markerLines.sort();
        QCOMPARE(lines, markerLines);
    }
};

FENK_TEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
