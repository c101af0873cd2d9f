#include "advancedsettings.h"
#include "applicationsettings.h"
#include "testhome.h"
#include "versionnumber.h"

#include <QSettings>
#include <QtTest>

#include <memory>

class TestSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QSettings().clear(); }

    void emptyStoreGivesDefaults()
    {
        const ApplicationSettings s;
        QCOMPARE(s.startMessage(), QStringLiteral("is starting to play from:"));
        QCOMPARE(s.stopMessage(), QStringLiteral("just finished playing from:"));
        QCOMPARE(s.startHashtag(), QStringLiteral("#FENK"));
        QCOMPARE(s.stopHashtag(), QStringLiteral("#FENK"));
        QCOMPARE(s.playingMessage(), QStringLiteral("is now playing ") + QChar(0x266B));
        QCOMPARE(s.activeTwitter(), true);
        QCOMPARE(s.locationServices(), false);
        QCOMPARE(s.checkForUpdateAtStart(), true);
        QCOMPARE(s.abletonPort(), 8300);
        QCOMPARE(s.masterClip(), false);
        QCOMPARE(s.icecastPort(), 8000);
        QCOMPARE(s.traktorListenerActive(), true);
        QCOMPARE(s.seratoListenerActive(), true);
        QCOMPARE(s.seratoDelay(), 60);
        QCOMPARE(s.sessionDir(),
                 QDir::homePath() + QStringLiteral("/Music/_Serato_/History/Sessions/"));
        QVERIFY(s.sessionDir().endsWith(QLatin1Char('/')));
        QCOMPARE(s.userName(), QString());
        QCOMPARE(s.uid(), QString());
        QCOMPARE(s.prefTabIndex(), 0);
        QCOMPARE(s.hashtagArtist(), false);
        QCOMPARE(s.hashtagTrack(), false);
    }

    void storedValuesWin()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("StartMessage"), QStringLiteral("Hallo Berlin"));
            store.setValue(QStringLiteral("ActiveTwitter"), false);
            store.setValue(QStringLiteral("ableton/Port"), 9300);
            store.setValue(QStringLiteral("ableton/MasterClip"), true);
            store.setValue(QStringLiteral("serato/Delay"), 5);
            store.setValue(QStringLiteral("serato/SessionDir"), QStringLiteral("/srv/sessions"));
            store.setValue(QStringLiteral("serato/ListenerActive"), false);
            store.setValue(QStringLiteral("userInfo/userName"), QStringLiteral("dj_fenk"));
            store.setValue(QStringLiteral("twitter/hashtagTrack"), true);
            store.setValue(QStringLiteral("PrefTabIndex"), 3);
        }
        const ApplicationSettings s;
        QCOMPARE(s.startMessage(), QStringLiteral("Hallo Berlin"));
        QCOMPARE(s.activeTwitter(), false);
        QCOMPARE(s.abletonPort(), 9300);
        QCOMPARE(s.masterClip(), true);
        QCOMPARE(s.icecastPort(), 8000);
        QCOMPARE(s.seratoDelay(), 5);
        QCOMPARE(s.sessionDir(), QStringLiteral("/srv/sessions"));
        QCOMPARE(s.seratoListenerActive(), false);
        QCOMPARE(s.userName(), QStringLiteral("dj_fenk"));
        QCOMPARE(s.hashtagTrack(), true);
        QCOMPARE(s.prefTabIndex(), 3);
    }

    void nonNumericPortLoadsAsZero()
    {
        QSettings().setValue(QStringLiteral("icecast/Port"), QStringLiteral("eight thousand"));
        const ApplicationSettings s;
        QCOMPARE(s.icecastPort(), 0);
        QCOMPARE(s.abletonPort(), 8300);
    }

    void traktorListenerIsAlwaysActive()
    {
        QSettings().setValue(QStringLiteral("icecast/ListenerActive"), false);
        {
            ApplicationSettings s;
            QCOMPARE(s.traktorListenerActive(), true);
        }
        QCOMPARE(QSettings().value(QStringLiteral("icecast/ListenerActive")).toBool(), true);
    }

    void portsOfTheTwoGroupsAreIndependent()
    {
        {
            ApplicationSettings s;
            s.setIcecastPort(8111);
        }
        const ApplicationSettings s;
        QCOMPARE(s.icecastPort(), 8111);
        QCOMPARE(s.abletonPort(), 8300);
        const QSettings store;
        QCOMPARE(store.value(QStringLiteral("icecast/Port")).toInt(), 8111);
        QCOMPARE(store.value(QStringLiteral("ableton/Port")).toInt(), 8300);
    }

    void valuesReachTheStoreOnlyAtDestruction()
    {
        auto s = std::make_unique<ApplicationSettings>();
        s->setStopMessage(QStringLiteral("ciao"));
        s->setSeratoDelay(7);
        s->setUserName(QStringLiteral("someone"));
        QVERIFY(!QSettings().contains(QStringLiteral("StopMessage")));
        s.reset();
        const QSettings store;
        QCOMPARE(store.value(QStringLiteral("StopMessage")).toString(), QStringLiteral("ciao"));
        QCOMPARE(store.value(QStringLiteral("serato/Delay")).toInt(), 7);
        QCOMPARE(store.value(QStringLiteral("userInfo/userName")).toString(),
                 QStringLiteral("someone"));
        // Written as typed values, so other readers get booleans and numbers back.
        QCOMPARE(store.value(QStringLiteral("ActiveTwitter")).toString(), QStringLiteral("true"));
    }

    void nonLatinTextSurvivesARoundTrip()
    {
        const QString message = QStringLiteral("spielt jetzt ♫ — Ünïcødé 日本 🎧");
        {
            ApplicationSettings s;
            s.setPlayingMessage(message);
        }
        QCOMPARE(ApplicationSettings().playingMessage(), message);
    }

    void versionNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::newRow("single number") << QStringLiteral("3") << -1 << -1;
        QTest::newRow("ten") << QStringLiteral("10.0") << 10 << 0;
        QTest::newRow("three parts") << QStringLiteral("1.2.3") << 1 << 2;
        QTest::newRow("letters first") << QStringLiteral("version v2.10 beta") << 2 << 10;
        QTest::newRow("empty") << QString() << -1 << -1;
        QTest::newRow("json reply") << QStringLiteral("{\"version\":\"1.10\"}") << 1 << 10;
    }

    void versionNumbers()
    {
        QFETCH(QString, text);
        QFETCH(int, major);
        QFETCH(int, minor);
        const VersionNumber v = VersionNumber::fromText(text);
        QCOMPARE(v.major, major);
        QCOMPARE(v.minor, minor);
    }

    void versionComparison()
    {
        const auto v = [](const char* text) {
            return VersionNumber::fromText(QString::fromLatin1(text));
        };
        QVERIFY(v("2.0").isNewerThan(v("1.9")));
        QVERIFY(v("1.10").isNewerThan(v("1.9")));
        QVERIFY(!v("1.9").isNewerThan(v("1.10")));
        QVERIFY(!v("1.2").isNewerThan(v("1.2")));
        QVERIFY(!v("garbage").isNewerThan(v("1.9")));
        QVERIFY(!v("1.9").isNewerThan(v("2.0")));
    }

    void advancedSettingsDefaultsAndOverrides()
    {
        {
            const AdvancedSettings a;
            QCOMPARE(a.twitterApiHost(), QStringLiteral("api.twitter.com"));
            QCOMPARE(a.listenAddress(), QStringLiteral("127.0.0.1"));
            QVERIFY(!a.serviceHost().isEmpty());
            QVERIFY(!a.webSiteHost().isEmpty());
            QVERIFY(a.extraCaCertificates().isEmpty());
        }
        {
            QSettings store;
            store.setValue(QStringLiteral("advanced/TwitterApiHost"),
                           QStringLiteral("127.0.0.1:4443"));
            store.setValue(QStringLiteral("advanced/ServiceHost"),
                           QStringLiteral("localhost:9443"));
            store.setValue(QStringLiteral("advanced/ExtraCaCertificates"),
                           QStringLiteral("/tmp/ca.pem"));
            store.setValue(QStringLiteral("advanced/ListenAddress"), QStringLiteral("0.0.0.0"));
        }
        const AdvancedSettings a;
        QCOMPARE(a.twitterApiHost(), QStringLiteral("127.0.0.1:4443"));
        QCOMPARE(a.serviceHost(), QStringLiteral("localhost:9443"));
        QCOMPARE(a.extraCaCertificates(), QStringLiteral("/tmp/ca.pem"));
        QCOMPARE(a.listenAddress(), QStringLiteral("0.0.0.0"));
        // The program never writes them back.
        ApplicationSettings().setStartMessage(QStringLiteral("x"));
        QCOMPARE(QSettings().value(QStringLiteral("advanced/ListenAddress")).toString(),
                 QStringLiteral("0.0.0.0"));
    }

    void badListenAddressFallsBackToLoopback_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::newRow("host name") << QStringLiteral("my-laptop");
        QTest::newRow("ipv6") << QStringLiteral("::1");
        QTest::newRow("typo") << QStringLiteral("192.168.1.");
    }

    void badListenAddressFallsBackToLoopback()
    {
        QFETCH(QString, configured);
        QSettings().setValue(QStringLiteral("advanced/ListenAddress"), configured);
        QCOMPARE(AdvancedSettings().listenAddress(), QStringLiteral("127.0.0.1"));
    }
};

FENK_TEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
