// The Traktor listener inside the main window: a broadcast's tracks appear in
// the track view, and a port the listener cannot have shows in the status text.
#include "freeport.h"
#include "offlinetwitter.h"
#include "oggtestdata.h"
#include "peers.h"
#include "sourceclient.h"
#include "testhome.h"

#include "maindlg.h"
#include "oggthread.h"
#include "prefsdlg.h"

#include <QApplication>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QByteArray request("SOURCE /live.ogg HTTP/1.0\r\nContent-Type: application/ogg\r\n\r\n");

// Connects as soon as the listener thread has opened its port.
bool connectWhenListening(SourceClient& client, quint16 port)
{
    return QTest::qWaitFor([&] { return client.connectTo(port); }, 5000);
}

} // namespace

class TestTraktorWindow : public QObject
{
    Q_OBJECT

    OfflineTwitter m_twitter;

private:
    QTemporaryDir m_dir;

    QByteArray tracks(int first, int last)
    {
        QByteArray out;
        for (int i = first; i <= last; ++i)
            out += oggtest::encode(m_dir.path(),
                                   {QStringLiteral("ARTIST=Artist %1").arg(i),
                                    QStringLiteral("TITLE=Title %1").arg(i)},
                                   2000 + i);
        return out;
    }

    static QString view(MainDlg& window)
    {
        return window.form().plainTextEditTrackInfo->toPlainText();
    }

    static QString lines(int newest, int oldest)
    {
        QStringList out;
        for (int i = newest; i >= oldest; --i)
            out << QStringLiteral("Artist %1 - Title %1").arg(i);
        return out.join('\n');
    }

private Q_SLOTS:
    void initTestCase() { FENK_REQUIRE_PROGRAM("oggenc", "vorbis-tools"); }

    void cleanup()
    {
        QSettings().clear();
        OfflineTwitter::apply();
    }

    // Newest first, four lines at most; the oldest drops out.
    void broadcastTracksNewestFirst()
    {
        const quint16 port = freePort();
        QSettings().setValue(QStringLiteral("icecast/Port"), port);
        MainDlg window;
        QCOMPARE(window.preferences()->infoLbl->text(),
                 QStringLiteral("Listening for OGG on port %1\n").arg(port));
        QCOMPARE(view(window), QString());

        SourceClient client;
        QVERIFY(connectWhenListening(client, port));
        QVERIFY(client.send(request));
        QVERIFY(client.send(tracks(1, 1), 1400));
        QTRY_COMPARE(view(window), lines(1, 1));
        QVERIFY(client.send(tracks(2, 3), 1400));
        QTRY_COMPARE(view(window), lines(3, 1));
        QVERIFY(client.send(tracks(4, 6), 1400));
        QTRY_COMPARE(view(window), lines(6, 3));
        client.close();
        // The lines are joined with CR LF, which the view keeps.
        QCOMPARE(window.form().plainTextEditTrackInfo->document()->blockCount(), 4);
    }

    // A busy port is shown with the reason; choosing a free port in the
    // preferences replaces the listener.
    void busyPortInStatusText()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        QSettings().setValue(QStringLiteral("icecast/Port"), squatter.serverPort());
        QSettings().setValue(QStringLiteral("ableton/MasterClip"), true);
        MainDlg window;
        QTRY_COMPARE(window.preferences()->infoLbl->text(),
                     QStringLiteral("Not listening for OGG on port %1: bind: Address already in "
                                    "use\nListening for OSC on port 8300\n")
                         .arg(squatter.serverPort()));

        const quint16 port = freePort();
        window.preferences()->icecastPortSpBox->setValue(port);
        window.saveSettings();
        QCOMPARE(window.settings().icecastPort(), int(port));
        QCOMPARE(window.preferences()->infoLbl->text(),
                 QStringLiteral("Listening for OGG on port %1\nListening for OSC on port 8300\n")
                     .arg(port));
    }

    // The port is changed after the listener failed but before its failure has
    // reached the window: the listener is still replaced, and the late failure
    // is not taken for the new one's.
    void portChangedBeforeFailureArrives()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        QSettings().setValue(QStringLiteral("icecast/Port"), squatter.serverPort());
        MainDlg window;
        OggThread* failed = window.findChild<OggThread*>();
        QVERIFY(failed != nullptr);
        // Waiting on the thread handles no events: its failure stays queued.
        QVERIFY(failed->wait(5000));

        const quint16 port = freePort();
        window.preferences()->icecastPortSpBox->setValue(port);
        window.saveSettings();
        SourceClient client;
        QVERIFY(connectWhenListening(client, port));
        QVERIFY(client.send(request + tracks(7, 7)));
        QTRY_COMPARE(view(window), lines(7, 7));
        QCOMPARE(window.preferences()->infoLbl->text(),
                 QStringLiteral("Listening for OGG on port %1\n").arg(port));
    }

    // Quitting stops the listener: its port is closed with the window.
    void closingTheWindowClosesThePort()
    {
        const quint16 port = freePort();
        QSettings().setValue(QStringLiteral("icecast/Port"), port);
        {
            MainDlg window;
            SourceClient client;
            QVERIFY(connectWhenListening(client, port));
        }
        SourceClient late;
        QVERIFY(!late.connectTo(port));
    }
};

FENK_TEST_MAIN(TestTraktorWindow)
#include "tst_traktorwindow.moc"
