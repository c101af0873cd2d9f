#include "advancedsettings.h"
#include "applicationsettings.h"
#include "fenktestconfig.h"
#include "testhome.h"
#include "versionnumber.h"

#include <QSettings>
#include <QtTest>

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
};

FENK_TEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
