#include "maindlg.h"
#include "offlinetwitter.h"
#include "prefsdlg.h"
#include "testhome.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(18, 18).toImage().convertToFormat(QImage::Format_ARGB32);
}

QAction* trayAction(MainDlg& window, const QString& text)
{
    for (QAction* action : window.systemTrayMenu()->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;

private Q_SLOTS:
    void init()
    {
        QSettings().clear();
        OfflineTwitter::apply();
        MainDlg::setDesktopHooks({});
    }

    void initialState()
    {
        MainDlg window;
        Ui::MainDlg& ui = window.form();
        QCOMPARE(window.windowTitle(), QStringLiteral("FENK"));
        QCOMPARE(window.objectName(), QStringLiteral("MainDlg"));
        QVERIFY(ui.plainTextEditTrackInfo->toPlainText().isEmpty());
        QVERIFY(ui.plainTextEditTrackInfo->isReadOnly());
        QCOMPARE(ui.startStopBtn->text(), QStringLiteral("Start"));
        QCOMPARE(ui.characterLcdNum->intValue(), 140);
        QVERIFY(!ui.sendMsgBtn->isEnabled());
        QVERIFY(window.systemTrayIcon()->isVisible());
        QCOMPARE(iconImage(window.systemTrayIcon()->icon()),
                 iconImage(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_red.png"))));
        QVERIFY(!window.isVisible());

        QStringList entries;
        for (QAction* action : window.systemTrayMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, (QStringList{QStringLiteral("Tweet track"), QStringLiteral("Preferences"),
                                       QStringLiteral("Open event log"),
                                       QStringLiteral("Open tracklist folder"), QString(),
                                       QStringLiteral("Quit")}));
        // The document folder exists from the first start on.
        QVERIFY(QFileInfo(QDir::homePath() + QStringLiteral("/Documents/FENK")).isDir());
    }

    void trayIconColours()
    {
        MainDlg window;
        window.setTrayIconStarted();
        QCOMPARE(iconImage(window.systemTrayIcon()->icon()),
                 iconImage(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_green.png"))));
        window.setTrayIconStopped();
        QCOMPARE(iconImage(window.systemTrayIcon()->icon()),
                 iconImage(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_red.png"))));
        QVERIFY(iconImage(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_green.png"))) !=
                iconImage(QIcon(QStringLiteral(":/Icon/FENK_Logo_18_red.png"))));
    }

    void closingHidesAndTheTrayBringsItBack()
    {
        MainDlg::setDesktopHooks({nullptr, [] { return true; }});
        MainDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());

        window.tweetTrack(QSystemTrayIcon::Trigger);
        QVERIFY(!window.isVisible());
        window.tweetTrack(QSystemTrayIcon::Context);
        QVERIFY(!window.isVisible());

        Q_EMIT window.systemTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(window.isVisible());

        window.close();
        trayAction(window, QStringLiteral("Tweet track"))->trigger();
        QVERIFY(window.isVisible());
    }

    void preferencesEntryShowsTheDialog()
    {
        MainDlg window;
        QVERIFY(!window.preferences()->isVisible());
        trayAction(window, QStringLiteral("Preferences"))->trigger();
        QVERIFY(window.preferences()->isVisible());
        QVERIFY(!window.preferences()->isModal());
        QVERIFY(!window.preferences()->activateHUDChBox->isVisible());
    }

    void quitEndsTheEventLoop()
    {
        MainDlg window;
        QAction* quit = trayAction(window, QStringLiteral("Quit"));
        QVERIFY(quit);
        QTimer::singleShot(0, quit, &QAction::trigger);
        QTimer::singleShot(5000, [] { QCoreApplication::exit(42); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void preferencesAreFilledFromTheStore()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("StartMessage"), QStringLiteral("Los geht's aus"));
            store.setValue(QStringLiteral("PlayingMessage"), QStringLiteral("läuft gerade ♫"));
            store.setValue(QStringLiteral("icecast/Port"), 8123);
            store.setValue(QStringLiteral("icecast/ListenerActive"), false);
            store.setValue(QStringLiteral("ableton/Port"), 8345);
            store.setValue(QStringLiteral("ableton/MasterClip"), true);
            store.setValue(QStringLiteral("serato/Delay"), 12);
            store.setValue(QStringLiteral("serato/ListenerActive"), false);
            store.setValue(QStringLiteral("serato/SessionDir"), QStringLiteral("/music/sessions"));
            store.setValue(QStringLiteral("ActiveTwitter"), false);
            store.setValue(QStringLiteral("LocationServices"), true);
            store.setValue(QStringLiteral("CheckForUpdate"), false);
            store.setValue(QStringLiteral("twitter/hashtagArtist"), true);
            store.setValue(QStringLiteral("PrefTabIndex"), 2);
        }
        MainDlg window;
        const PrefsDlg& p = *window.preferences();
        QCOMPARE(p.startMessage->text(), QStringLiteral("Los geht's aus"));
        QCOMPARE(p.playingMessage->text(), QStringLiteral("läuft gerade ♫"));
        QCOMPARE(p.stopMessage->text(), QStringLiteral("just finished playing from:"));
        QCOMPARE(p.icecastPortSpBox->value(), 8123);
        QCOMPARE(p.abeltonPortSpBox->value(), 8345);
        QVERIFY(p.checkBoxMasterClip->isChecked());
        QCOMPARE(p.spinBoxSeratoDelay->value(), 12);
        QVERIFY(!p.checkBoxSeratoActivate->isChecked());
        QCOMPARE(p.seratoSessionDirectory->text(), QStringLiteral("/music/sessions"));
        QVERIFY(!p.activeTwitChBox->isChecked());
        QVERIFY(p.locationChBox->isChecked());
        QVERIFY(!p.startUpUpdChBox->isChecked());
        QVERIFY(p.checkBoxEnableArtistHashtag->isChecked());
        QVERIFY(!p.checkBoxEnableTrackHashtag->isChecked());
        QCOMPARE(p.prefsTabWgt->currentIndex(), 2);
        QVERIFY(p.checkBoxTracktorProActivate->isChecked());
        QVERIFY(!p.checkBoxTracktorProActivate->isEnabled());
        QVERIFY(!p.copyTrackFileBtn->isEnabled());
        QVERIFY(!p.clearTrackFileBtn->isEnabled());
    }

    void closingThePreferencesAppliesThemAndExitStoresThem()
    {
        auto window = std::make_unique<MainDlg>();
        PrefsDlg& p = *window->preferences();
        window->prefsDlgShow();
        p.stopMessage->setText(QStringLiteral("Tschüss aus"));
        p.spinBoxSeratoDelay->setValue(3);
        p.checkBoxEnableTrackHashtag->setChecked(true);
        p.icecastPortSpBox->setValue(8010);
        p.prefsTabWgt->setCurrentIndex(3);
        QSignalSpy closed(&p, &PrefsDlg::closeDlg);
        QVERIFY(p.close());
        QCOMPARE(closed.size(), 1);
        QVERIFY(!p.isVisible());
        QCOMPARE(window->settings().stopMessage(), QStringLiteral("Tschüss aus"));
        QCOMPARE(window->settings().seratoDelay(), 3);
        QCOMPARE(window->settings().hashtagTrack(), true);
        QCOMPARE(window->settings().icecastPort(), 8010);
        QCOMPARE(window->settings().prefTabIndex(), 3);
        // Nothing reaches the store before the program ends.
        QVERIFY(!QSettings().contains(QStringLiteral("StopMessage")));

        // An edit in a dialog that is never closed is still kept at exit.
        p.playingMessage->setText(QStringLiteral("now on the decks:"));
        p.abeltonPortSpBox->setValue(9000);
        window.reset();

        const QSettings store;
        QCOMPARE(store.value(QStringLiteral("StopMessage")).toString(),
                 QStringLiteral("Tschüss aus"));
        QCOMPARE(store.value(QStringLiteral("PlayingMessage")).toString(),
                 QStringLiteral("now on the decks:"));
        QCOMPARE(store.value(QStringLiteral("serato/Delay")).toInt(), 3);
        QCOMPARE(store.value(QStringLiteral("icecast/Port")).toInt(), 8010);
        QCOMPARE(store.value(QStringLiteral("ableton/Port")).toInt(), 9000);
        QCOMPARE(store.value(QStringLiteral("PrefTabIndex")).toInt(), 3);

        // And the next start shows them, on the tab that was open.
        MainDlg next;
        QCOMPARE(next.preferences()->playingMessage->text(), QStringLiteral("now on the decks:"));
        QCOMPARE(next.preferences()->prefsTabWgt->currentIndex(), 3);
    }

    void escapeAppliesLikeClosing()
    {
        MainDlg window;
        PrefsDlg& p = *window.preferences();
        window.prefsDlgShow();
        QVERIFY(QTest::qWaitForWindowExposed(&p));
        p.startHashtag->setText(QStringLiteral("#warehouse"));
        QSignalSpy closed(&p, &PrefsDlg::closeDlg);
        QTest::keyClick(&p, Qt::Key_Escape);
        QTRY_VERIFY(!p.isVisible());
        QCOMPARE(closed.size(), 1);
        QCOMPARE(window.settings().startHashtag(), QStringLiteral("#warehouse"));

        // Closing a hidden dialog again announces nothing new.
        window.prefsDlgShow();
        p.close();
        QCOMPARE(closed.size(), 2);
    }

    void statusTextFollowsTheListenerWidgets()
    {
        PrefsDlg p;
        p.checkBoxTracktorProActivate->setChecked(true);
        p.icecastPortSpBox->setValue(8000);
        p.abeltonPortSpBox->setValue(8300);
        p.checkBoxMasterClip->setChecked(true);
        QCOMPARE(
            p.infoLbl->text(),
            QStringLiteral("Listening for OGG on port 8000\nListening for OSC on port 8300\n"));
        p.checkBoxMasterClip->setChecked(false);
        QCOMPARE(p.infoLbl->text(), QStringLiteral("Listening for OGG on port 8000\n"));
        p.icecastPortSpBox->setValue(8100);
        QCOMPARE(p.infoLbl->text(), QStringLiteral("Listening for OGG on port 8100\n"));
        // The Traktor switch is not wired to the status line.
        p.checkBoxTracktorProActivate->setChecked(false);
        QCOMPARE(p.infoLbl->text(), QStringLiteral("Listening for OGG on port 8100\n"));
        p.abeltonPortSpBox->setValue(8301);
        QCOMPARE(p.infoLbl->text(), QString());
        // Ports above 65535 are accepted as the form allows.
        p.icecastPortSpBox->setValue(100000);
        QCOMPARE(p.icecastPortSpBox->value(), 100000);
    }

    void testButtonEmitsTheTestText()
    {
        PrefsDlg p;
        QSignalSpy test(&p, &PrefsDlg::sendTestMsg);
        QTest::mouseClick(p.testAuthBtn, Qt::LeftButton);
        QCOMPARE(test.size(), 1);
        QCOMPARE(test.first().first().toString(), QStringLiteral("just ran a test from FENK."));
    }

    void geometryIsRestoredAtTheNextStart()
    {
        QRect placed;
        {
            MainDlg window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.setGeometry(120, 140, 600, 330);
            QTRY_COMPARE(window.geometry().size(), QSize(600, 330));
            placed = window.geometry();
        }
        QVERIFY(QSettings().contains(QStringLiteral("geometry")));
        MainDlg window;
        QCOMPARE(window.geometry(), placed);
    }
};

FENK_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
