#include "freeport.h"
#include "maindlg.h"
#include "messanger.h"
#include "offlinetwitter.h"
#include "oscmessages.h"
#include "oscthread.h"
#include "prefsdlg.h"
#include "testhome.h"

#include <QApplication>
#include <QPointer>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

void storeAbletonPort(int port)
{
    QSettings store;
    store.setValue(QStringLiteral("ableton/Port"), port);
}

bool tempoArrives(int port, Messanger* hub)
{
    oscmsg::Recorder recorder(hub);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!socket.waitForConnected(5000))
        return false;
    socket.write(oscmsg::tempo(120));
    socket.waitForBytesWritten(5000);
    return QTest::qWaitFor([&] { return recorder.events == QStringList{"tempo:120.000000"}; },
                           5000);
}

} // namespace

// The window's part in the OSC listener: created with the stored port, started
// at idle priority, moved by the preferences, stopped with the window.
class TestMainDlgOsc : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;
private Q_SLOTS:
    void listensFromConstructionToDestruction();
    void portChangeRestartsListener();
    void portChangeAfterFailedListen();
};

void TestMainDlgOsc::listensFromConstructionToDestruction()
{
    const int port = freePort();
    storeAbletonPort(port);
    auto dlg = std::make_unique<MainDlg>();
    QPointer<OscThread> thread = dlg->findChild<OscThread*>();
    QVERIFY(thread);
    QVERIFY(thread->isRunning());
    QCOMPARE(thread->priority(), QThread::IdlePriority);
    QTRY_COMPARE(thread->listeningPort(), port);
    QVERIFY(tempoArrives(port, thread->messanger()));

    dlg.reset();
    QVERIFY(thread.isNull());
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(!refused.waitForConnected(5000));
}

void TestMainDlgOsc::portChangeRestartsListener()
{
    storeAbletonPort(freePort());
    int newPort = 0;
    {
        MainDlg dlg;
        auto* thread = dlg.findChild<OscThread*>();
        QTRY_VERIFY(thread->listeningPort() != 0);

        // Closing the preferences unchanged moves nothing.
        QTcpSocket kept;
        kept.connectToHost(QHostAddress::LocalHost, quint16(thread->listeningPort()));
        QVERIFY(kept.waitForConnected(5000));
        const QString infoBefore = dlg.preferences()->infoLbl->text();
        dlg.saveSettings();
        QTest::qWait(20);
        QCOMPARE(kept.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(dlg.preferences()->infoLbl->text(), infoBefore);

        newPort = freePort();
        dlg.form().plainTextEditTrackInfo->setPlainText(QStringLiteral("Artist - Title"));
        dlg.preferences()->abeltonPortSpBox->setValue(newPort);
        Q_EMIT dlg.preferences()->closeDlg();

        QTRY_COMPARE(thread->listeningPort(), newPort);
        QCOMPARE(dlg.preferences()->infoLbl->text(),
                 QStringLiteral("Listening for OGG on port %1\nListening for OSC on port %2")
                     .arg(dlg.settings().icecastPort())
                     .arg(newPort));
        QVERIFY(dlg.form().plainTextEditTrackInfo->toPlainText().isEmpty());
        QVERIFY(tempoArrives(newPort, thread->messanger()));
    }
    QCOMPARE(QSettings().value(QStringLiteral("ableton/Port")).toInt(), newPort);
}

void TestMainDlgOsc::portChangeAfterFailedListen()
{
    // A port taken by another program ends the listener; choosing another port
    // brings it back.
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    storeAbletonPort(other.serverPort());
    MainDlg dlg;
    auto* thread = dlg.findChild<OscThread*>();
    QVERIFY(thread->wait(10000));

    const int newPort = freePort();
    dlg.preferences()->abeltonPortSpBox->setValue(newPort);
    Q_EMIT dlg.preferences()->closeDlg();
    QTRY_COMPARE(thread->listeningPort(), newPort);
    QVERIFY(tempoArrives(newPort, thread->messanger()));
}

FENK_TEST_MAIN(TestMainDlgOsc)
#include "tst_maindlgosc.moc"
