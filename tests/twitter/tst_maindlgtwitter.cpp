#include "desktophooks.h"
#include "faketwitter.h"
#include "maindlg.h"
#include "peers.h"
#include "prefsdlg.h"
#include "testhome.h"
#include "twitcurl.h"

#include <QApplication>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

QString text(const QJsonObject& o, const char* name)
{
    return o.value(QLatin1String(name)).toString();
}

} // namespace

// The main window's Twitter account: created with the window, reporting the
// account's name into the settings, asking for the PIN before the window shows.
class TestMainDlgTwitter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;

    bool startFake(FakeTwitter& fake)
    {
        if (!fake.start(m_certs.path(), QStringLiteral("server"),
                        {QStringLiteral("--access-token"), QStringLiteral("4242-Stored"),
                         QStringLiteral("--access-secret"), QStringLiteral("StoredSecret")}))
            return false;
        useApiHost(fake.host(), m_certs.path() + QStringLiteral("/ca.pem"));
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        FENK_REQUIRE_PROGRAM("python3", "python3");
        FENK_REQUIRE_PROGRAM("openssl", "openssl");
        QVERIFY(m_certs.isValid());
        QVERIFY(FakeTwitter::makeCertificates(m_certs.path()));
    }

    void init() { QSettings().clear(); }

    void storedTokenNameReachesTheStore()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        {
            QSettings store;
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenKey"),
                           QStringLiteral("4242-Stored"));
            store.setValue(QStringLiteral("oAuth/OAuthAccessTokenSecret"),
                           QStringLiteral("StoredSecret"));
        }
        DesktopHooks desktop;
        auto window = std::make_unique<MainDlg>(nullptr);
        QVERIFY(window->twitterClient());
        QTRY_COMPARE(window->settings().userName(), QStringLiteral("dj_fenk"));
        QCOMPARE(window->settings().uid(), QStringLiteral("4242"));
        QVERIFY(desktop.titles.isEmpty());
        QCOMPARE(fake.requests().size(), 1);
        QVERIFY2(fake.requests().first().value(QStringLiteral("valid")).toBool(),
                 qPrintable(text(fake.requests().first(), "reason")));
        QCOMPARE(text(fake.requests().first(), "path"),
                 QStringLiteral("/1.1/account/verify_credentials.json"));
        window.reset();
        const QSettings store;
        QCOMPARE(store.value(QStringLiteral("userInfo/userName")).toString(),
                 QStringLiteral("dj_fenk"));
        QCOMPARE(store.value(QStringLiteral("userInfo/UID")).toString(), QStringLiteral("4242"));
    }

    void noTokenAsksBeforeTheWindowShows()
    {
        FakeTwitter fake;
        QVERIFY(startFake(fake));
        DesktopHooks desktop;
        int visibleWhenAsked = -1;
        desktop.onAsk = [&visibleWhenAsked] {
            visibleWhenAsked = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                visibleWhenAsked += w->isVisible() ? 1 : 0;
        };
        MainDlg window(nullptr);
        QCOMPARE(desktop.titles.size(), 1);
        QCOMPARE(visibleWhenAsked, 0);
        window.show();

        // The preferences' token button runs the authorization again.
        desktop.answers.append({QStringLiteral("1234567"), true});
        QTest::mouseClick(window.preferences()->requestNewTokBtn, Qt::LeftButton);
        QCOMPARE(desktop.titles.size(), 2);
        QCOMPARE(desktop.urls.size(), 2);
        QTRY_COMPARE(window.settings().userName(), QStringLiteral("dj_fenk"));
        QCOMPARE(QSettings().value(QStringLiteral("oAuth/OAuthAccessTokenKey")).toString(),
                 QStringLiteral("4242-AccessToken"));
    }
};

FENK_TEST_MAIN(TestMainDlgTwitter)
#include "tst_maindlgtwitter.moc"
