#include "fakewebservice.h"
#include "messages/messagecomposer.h"
#include "tracklist/tracklistfile.h"
#include "webservice/webserviceclient.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const TrackListLocation berlin{QStringLiteral("Berlin"), QStringLiteral("Germany"),
                               QStringLiteral("DE")};
const QDateTime t0(QDate(2026, 12, 5), QTime(21, 3, 12));

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// date, track, artist, ... of a tracklist, or {"damaged"}.
QStringList onDisk(const QString& path)
{
    QVector<TrackListFile::Entry> entries;
    if (!TrackListFile::readEntries(readAll(path), &entries))
        return {QStringLiteral("damaged")};
    QStringList values;
    for (const auto& e : entries)
        values << e.date << e.track << e.artist;
    return values;
}

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FakeWebService::makeCertificates(m_certs));
        QVERIFY(m_service.start(m_certs));
    }
    void composer_data();
    void composer();
    void documentFormat();
    void damagedFileLosesNothing_data();
    void damagedFileLosesNothing();
    void clearCopyAndFailedWrite();
    void killLeavesCompleteFile();
    void reports_data();
    void reports();
    void replies_data();
    void replies();

private:
    QTemporaryDir m_dir;
    const QString m_certs = m_dir.filePath(QStringLiteral("certs"));
    FakeWebService m_service;
    QNetworkAccessManager m_nam;
};

void TestPipeline::composer_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const auto tags = [](const char* artist) {
        return MessageComposer::artistHashtags(QString::fromUtf8(artist), true);
    };
    QTest::newRow("word") << tags("abc") << "#abc";
    QTest::newRow("spaces") << tags("Ab Cd") << "#Ab_Cd";
    QTest::newRow("and") << tags("A and B") << "#A and #B";
    QTest::newRow("AND") << tags("A AND B") << "#A and #B";
    QTest::newRow("& feat") << tags("X & Y feat Z") << "#X & #Y feat #Z";
    QTest::newRow("comma") << tags("X, Y & Z") << "#X,_Y & #Z";
    QTest::newRow("with and") << tags("Ab with Cd and Ef") << "#Ab with #Cd and #Ef";
    QTest::newRow("at the end") << tags("A & ") << "#A & #";
    QTest::newRow("inside words") << tags("Sandy Band") << "#Sandy_Band";
    QTest::newRow("and, feat.") << tags("A aNd, B FeAt. C") << "#A and, #B feat. #C";
    QTest::newRow("adjacent") << tags("A & & B") << "#A & #&_B";
    QTest::newRow("overlapping") << tags("A & and B") << "#A & #and_B";
    QTest::newRow("empty") << tags("") << "#";
    QTest::newRow("options off") << MessageComposer::nowPlaying("Now", "A & B", "T 1", false, false)
                                 << "Now : A & B - T 1";
    QTest::newRow("track on") << MessageComposer::nowPlaying("Now", "A & B", "T 1", false, true)
                              << "Now : A & B - #T_1";
    QTest::newRow("no title") << MessageComposer::nowPlaying("Now", "A", "", true, true)
                              << "Now : #A - #";
    QTest::newRow("start") << MessageComposer::startStop("#go", "Live", "Berlin Germany")
                           << "#go Live Berlin Germany";
    QTest::newRow("markers") << MessageComposer::startStop("%2", "%3 %1", "%%1") << "%2 %3 %1 %%1";
    const auto left = [](const QString& text) {
        return QString::number(MessageComposer::remainingCharacters(text));
    };
    QTest::newRow("140") << left(QString(140, 'x')) << "0";
    QTest::newRow("141") << left(QString(141, 'x')) << "-1";
    QTest::newRow("UTF-16") << left(QString::fromUtf8("\xF0\x9F\x8E\xA7")) << "138";
}

void TestPipeline::composer()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void TestPipeline::documentFormat()
{
    QTemporaryDir dir;
    TrackListFile file(dir.filePath(QStringLiteral("FENK")), QStringLiteral("web.example:8443"));
    QVERIFY(file.create(t0, {}));
    QCOMPARE(file.fileName(), QStringLiteral("05.12.2026 21.03.12.xml"));
    QVERIFY(file.append("A & <B>", "T\u0001\"x\"", t0.addSecs(61), berlin));
    QCOMPARE(readAll(file.filePath()),
             QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<?xml-stylesheet type=\"text/css\" "
                        "href=\"https://web.example:8443/fenk.css\"?>\n<playlist>\n"
                        "    <location>\n        <city>Berlin</city>\n"
                        "        <contry>Germany</contry>\n        <countrycode>DE</countrycode>\n"
                        "    </location>\n    <date>2026-12-05T21:04:13</date>\n"
                        "    <track>T\xEF\xBF\xBD&quot;x&quot;</track>\n"
                        "    <artist>A &amp; &lt;B&gt;</artist>\n</playlist>\n"));
    QVERIFY(file.clear({}));
    QVERIFY(readAll(file.filePath())
                .endsWith("    <location>\n        <city></city>\n        <contry></contry>\n"
                          "        <countrycode></countrycode>\n    </location>\n</playlist>\n"));
}

void TestPipeline::damagedFileLosesNothing_data()
{
    QTest::addColumn<QByteArray>("damage"); // written over the file between two tracks
    QTest::newRow("untouched") << QByteArray();
    QTest::newRow("deleted") << QByteArray("delete");
    QTest::newRow("unreadable") << QByteArray("chmod");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("garbage") << QByteArray("\x00\xff<<&&", 6);
    QTest::newRow("cut") << QByteArray("<playlist><date>x</date><track>");
    QTest::newRow("incomplete") << QByteArray(
        "<playlist><date>d</date><artist>a</artist></playlist>");
    QTest::newRow("reordered") << QByteArray("<playlist><track/><date/><artist/></playlist>");
}

void TestPipeline::damagedFileLosesNothing()
{
    QFETCH(QByteArray, damage);
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(t0, berlin));
    QVERIFY(file.append("Röyksopp & <Robyn>", QString(), t0, berlin));
    QVERIFY(file.append("B", "Tr&ck <2>", t0.addSecs(1), berlin));
    QFile disk(file.filePath());
    if (damage == "delete")
        QVERIFY(disk.remove());
    else if (damage == "chmod")
        QVERIFY(disk.setPermissions({}));
    else if (!damage.isNull())
        QVERIFY(disk.open(QIODevice::WriteOnly) && disk.write(damage) == damage.size());
    disk.close();
    QVERIFY2(file.append("C", "3", t0.addSecs(2), berlin), qPrintable(file.errorString()));
    QCOMPARE(onDisk(file.filePath()),
             (QStringList{"2026-12-05T21:03:12", "", "Röyksopp & <Robyn>", "2026-12-05T21:03:13",
                          "Tr&ck <2>", "B", "2026-12-05T21:03:14", "3", "C"}));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{file.fileName()});
}

void TestPipeline::clearCopyAndFailedWrite()
{
    QTemporaryDir dir;
    const QString desktop = dir.path();
    TrackListFile file(dir.filePath(QStringLiteral("FENK")), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(t0, berlin));
    QVERIFY(file.append("A", "1", t0, berlin));
    QVERIFY(file.copyTo(desktop));
    QVERIFY(file.clear(berlin));
    QCOMPARE(onDisk(file.filePath()), QStringList());
    QVERIFY(file.append("B", "2", t0, berlin));
    QVERIFY(file.copyTo(desktop)); // replaces the first copy
    const QByteArray before = readAll(file.filePath());
    QCOMPARE(readAll(QDir(desktop).filePath(file.fileName())), before);

    // A file size limit fails the next write as a full disk does, for root too.
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(before.size());
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = file.append("C", "3", t0, berlin);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(!written && file.errorString().contains("disk may be full"));
    QCOMPARE(readAll(file.filePath()), before);
    QCOMPARE(QDir(file.folder()).entryList(QDir::Files), QStringList{file.fileName()});
    QVERIFY(file.append("D", "4", t0, berlin)); // brings the failed track along
    QCOMPARE(onDisk(file.filePath()).size(), 9);
}

void TestPipeline::killLeavesCompleteFile()
{
    QTemporaryDir dir;
    TrackListFile file(dir.path(), QStringLiteral("www.fenk.fm"));
    QVERIFY(file.create(t0, berlin));
    for (int round = 1; round <= 5; ++round) {
        const int before = onDisk(file.filePath()).size();
        const qint64 size = QFileInfo(file.filePath()).size();
        const pid_t child = fork();
        QVERIFY(child >= 0);
        while (child == 0)
            file.append("Artist", QString(200, 'x'), t0, berlin);
        // Each round is killed at another point of its write cycle.
        QTRY_VERIFY(QFileInfo(file.filePath()).size() > size + 777 * round);
        kill(child, SIGKILL);
        QCOMPARE(waitpid(child, nullptr, 0), child);
        QVERIFY(onDisk(file.filePath()).size() > before); // also not "damaged"
    }
}

void TestPipeline::reports_data()
{
    QTest::addColumn<QString>("artist");
    QTest::addColumn<QString>("track");
    QTest::addColumn<QVector<bool>>("on"); // Serato, Traktor, Ableton listeners; start
    QTest::addColumn<QString>("sp");
    QTest::newRow("all") << "A & B #1 +2"
                         << "x=y&z=%41" << QVector<bool>{1, 1, 1, 1} << "7";
    QTest::newRow("S T") << "Röyksopp"
                         << "Ñandú 日本 🎧" << QVector<bool>{1, 1, 0, 0} << "3";
    QTest::newRow("S A") << "a+b"
                         << "c d" << QVector<bool>{1, 0, 1, 1} << "6";
    QTest::newRow("S") << ""
                       << "" << QVector<bool>{1, 0, 0, 0} << "2";
    QTest::newRow("A") << "%2"
                       << "%1%3" << QVector<bool>{0, 0, 1, 1} << "5";
    QTest::newRow("T") << "?/#;"
                       << "\"'<>" << QVector<bool>{0, 1, 0, 0} << "1";
}

void TestPipeline::reports()
{
    QFETCH(QString, artist);
    QFETCH(QString, track);
    QFETCH(QVector<bool>, on);
    QFETCH(QString, sp);
    WebServiceClient web(&m_nam, m_service.host());
    QVERIFY(web.setExtraCaCertificates(m_certs + QStringLiteral("/ca.pem")));
    QSignalSpy failed(&web, &WebServiceClient::reportFailed);
    const WebServiceClient::Identity who{"42&ti=1", "dj name+", "Köln #DE"};
    const int seen = m_service.count();
    web.sendTrack(who, artist, track);
    QTRY_COMPARE(m_service.count(), seen + 1); // one at a time: the order is known
    web.sendSession(who, on[3], "1.9", WebServiceClient::listenerCode(on[0], on[1], on[2]));
    QTRY_COMPARE(m_service.count(), seen + 2);
    const auto got = m_service.events().mid(seen);
    const QString token = QStringLiteral("5c1e7a90d2b34f68a0e9c7b1d3f2a846");
    QCOMPARE(got[0].value("path").toString() + got[1].value("path").toString(),
             QStringLiteral("/track.php/session.php"));
    QCOMPARE(got[0].value("params").toObject().toVariantMap(), (QVariantMap{{"api_token", token},
                                                                            {"ti", who.uid},
                                                                            {"tn", who.userName},
                                                                            {"ta", artist},
                                                                            {"tt", track},
                                                                            {"te", who.location},
                                                                            {"tl", who.location}}));
    QCOMPARE(got[1].value("params").toObject().toVariantMap(),
             (QVariantMap{{"api_token", token},
                          {"ti", who.uid},
                          {"tn", who.userName},
                          {"ts", on[3] ? "1" : "0"},
                          {"tl", who.location},
                          {"tv", "1.9"},
                          {"te", who.location},
                          {"sp", sp}}));
    QCOMPARE(failed.count(), 0);
}

void TestPipeline::replies_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QJsonObject>("config");
    QTest::addColumn<QStringList>("expected"); // city, country, code, version; or the error
    QTest::newRow("all") << "server" << QJsonObject{{"version", "2.0"}}
                         << QStringList{"Berlin", "Germany", "DE", "2.0"};
    QTest::newRow("no city") << "server" << QJsonObject{{"city", ""}}
                             << QStringList{"", "Germany", "DE", "1.9"};
    const QJsonValue none = QJsonValue::Null;
    QTest::newRow("no keys") << "server"
                             << QJsonObject{{"city", none},
                                            {"country", none},
                                            {"country_code", none},
                                            {"version", none}}
                             << QStringList{"", "", "", ""};
    QTest::newRow("compact") << "server"
                             << QJsonObject{{"compact", true}, {"city", "Saint-Étienne & <Co>"}}
                             << QStringList{"Saint-Étienne & <Co>", "Germany", "DE", "1.9"};
    QTest::newRow("value elsewhere")
        << "server"
        << QJsonObject{{"raw", "<d><key>City</key><integer>1</integer><string>X</string>"
                               "<key>Country</key><!-- c --> <string>DE</string><key>version"
                               "</key>\n<string>2.1</string><string>9</string></d>"}}
        << QStringList{"", "DE", "", "2.1"};
    QString bomb = "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaaaaaaaa\">"; // 16^11 bytes expanded
    for (char e = 'b'; e <= 'k'; ++e)
        bomb += QStringLiteral("<!ENTITY %1 \"%2\">")
                    .arg(QChar(e), QStringLiteral("&%1;").arg(QChar(e - 1)).repeated(16));
    QTest::newRow("entity bomb")
        << "server" << QJsonObject{{"raw", bomb + "]><d><key>City</key> <string>&k;</string></d>"}}
        << QStringList{"", "", "", ""};
    QTest::newRow("never answers")
        << "server" << QJsonObject{{"hang", true}} << QStringList{"No reply within 0.3 s"};
    QTest::newRow("HTTP 500") << "server" << QJsonObject{{"status", 500}}
                              << QStringList{"HTTP 500"};
    QTest::newRow("oversized") << "server" << QJsonObject{{"pad", 200000}} << QStringList{"larger"};
    QTest::newRow("untrusted") << "untrusted" << QJsonObject() << QStringList{"TLS: "};
}

void TestPipeline::replies()
{
    QFETCH(QString, certificate);
    QFETCH(QJsonObject, config);
    QFETCH(QStringList, expected);
    FakeWebService other;
    FakeWebService& service = certificate == QLatin1String("server") ? m_service : other;
    QVERIFY(&service == &m_service || other.start(m_certs, certificate));
    QVERIFY(service.configure(config));
    WebServiceClient web(&m_nam, service.host());
    web.setExtraCaCertificates(m_certs + QStringLiteral("/ca.pem"));
    if (config.contains("hang"))
        web.setTimeout(300); // a loaded machine may take that long for a real answer
    QSignalSpy location(&web, &WebServiceClient::locationFound);
    QSignalSpy version(&web, &WebServiceClient::versionFound);
    QSignalSpy failed[] = {{&web, &WebServiceClient::locationFailed},
                           {&web, &WebServiceClient::versionFailed},
                           {&web, &WebServiceClient::reportFailed}};
    web.lookupLocation();
    web.checkVersion();
    web.sendTrack({}, "A", "T");
    const bool fails = expected.size() == 1;
    const bool reportFails = fails && !config.contains("pad");
    QTRY_COMPARE(location.count() + version.count() + failed[0].count() + failed[1].count() +
                     failed[2].count(),
                 2 + reportFails);
    if (fails) {
        QCOMPARE(location.count() + version.count(), 0);
        QVERIFY2(failed[0].first().first().toString().contains(expected[0]),
                 qPrintable(failed[0].first().first().toString()));
    } else {
        QCOMPARE(location.first() + version.first(),
                 QVariantList(expected.begin(), expected.end()));
    }
    if (&service == &other)
        QTRY_COMPARE(other.count(QStringLiteral("tls-failed")), 3); // nothing reached HTTP
    QVERIFY(m_service.configure(FakeWebService::defaults()));
}

QTEST_GUILESS_MAIN(TestPipeline)
#include "tst_pipeline.moc"
