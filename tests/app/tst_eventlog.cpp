#include "eventlog.h"
#include "eventlogfile.h"
#include "messanger.h"
#include "testhome.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <sstream>
#include <thread>
#include <vector>

class TestEventLog : public QObject
{
    Q_OBJECT

private:
    std::ostringstream m_out;
    std::unique_ptr<event_log::file_logger> m_sink;

    QStringList lines() const
    {
        return QString::fromStdString(m_out.str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void init()
    {
        m_out.str(std::string());
        m_sink = std::make_unique<event_log::file_logger>(m_out);
        event_log::instance().set_sink(m_sink.get());
        event_log::instance().set_level(1);
    }

    void cleanup()
    {
        event_log::instance().set_sink(nullptr);
        event_log::instance().set_level(1);
    }

    void oneInstanceBehindBothAccessors()
    {
        QCOMPARE(&event_log::logger::get_mutable_instance(), &event_log::instance());
        QCOMPARE(&event_log::logger::get_instance(), &event_log::instance());
    }

    void noSinkWritesNothing()
    {
        event_log::instance().set_sink(nullptr);
        event_log::write(std::string("dropped"), event_log::info, 1);
        QVERIFY(m_out.str().empty());
    }

    void lineFormat()
    {
        event_log::write(boost::format("Stream %1% ended after %2% pages") % 3 % 17,
                         event_log::info, 1);
        const QStringList written = lines();
        QCOMPARE(written.size(), 1);
        static const QRegularExpression format(
            QStringLiteral("^\\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d{2} "
                           "\\d{2}:\\d{2}:\\d{2}\tINF\t"
                           "Stream 3 ended after 17 pages$"));
        QVERIFY2(format.match(written.first()).hasMatch(), qPrintable(written.first()));
    }

    void timeIsLocalWithEnglishMonth()
    {
        qputenv("TZ", "UTC");
        tzset();
        // 2017-03-14 09:26:53 UTC
        QCOMPARE(
            QString::fromStdString(event_log::format_line(1489483613, event_log::warning, "x")),
            QStringLiteral("2017-Mar-14 09:26:53\tWRN\tx"));
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QCOMPARE(QString::fromStdString(event_log::format_line(1489483613, event_log::error, "y")),
                 QStringLiteral("2017-Mar-14 10:26:53\tERR\ty"));
        qunsetenv("TZ");
        tzset();
    }

    void filter_data()
    {
        QTest::addColumn<int>("loggerLevel");
        QTest::addColumn<int>("recordLevel");
        QTest::addColumn<bool>("written");
        QTest::newRow("default level, normal record") << 1 << 1 << true;
        QTest::newRow("default level, detailed record") << 1 << 2 << false;
        QTest::newRow("default level, most detailed record") << 1 << 3 << false;
        QTest::newRow("level 0 disables") << 0 << 1 << false;
        QTest::newRow("level 0 disables level 0") << 0 << 0 << false;
        QTest::newRow("level 3 writes level 3") << 3 << 3 << true;
        QTest::newRow("level 2 writes level 1") << 2 << 1 << true;
    }

    void filter()
    {
        QFETCH(int, loggerLevel);
        QFETCH(int, recordLevel);
        QFETCH(bool, written);
        event_log::instance().set_level(loggerLevel);
        event_log::write(std::string("record"), event_log::info, recordLevel);
        QCOMPARE(!m_out.str().empty(), written);
    }

    void severityNames()
    {
        for (int severity : {0, 1, 2, 3, -1})
            event_log::write(std::string("s"), severity, 1);
        const QStringList written = lines();
        QCOMPARE(written.size(), 5);
        const QStringList expected{QStringLiteral("INF"), QStringLiteral("WRN"),
                                   QStringLiteral("ERR"), QStringLiteral("UNK"),
                                   QStringLiteral("UNK")};
        for (int i = 0; i < written.size(); ++i)
            QCOMPARE(written.at(i).section(QLatin1Char('\t'), 1, 1), expected.at(i));
    }

    void recordTextCanBeExtended()
    {
        event_log::record r(std::string("Comment:"), event_log::info, 1);
        r.stream() << " TITLE="
                   << "Sonne";
        event_log::instance().write(r);
        QVERIFY(lines().value(0).endsWith(QStringLiteral("\tComment: TITLE=Sonne")));
    }

    void concurrentWritersNeverInterleaveLines()
    {
        constexpr int threads = 4;
        constexpr int perThread = 500;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < perThread; ++i)
                    event_log::write(boost::format("writer %1% line %2% %3%") % t % i %
                                         std::string(100, 'x'),
                                     event_log::info, 1);
            });
        }
        for (auto& w : writers)
            w.join();
        const QStringList written = lines();
        QCOMPARE(written.size(), threads * perThread);
        static const QRegularExpression whole(
            QStringLiteral("\tINF\twriter \\d line \\d+ x{100}$"));
        for (const QString& line : written)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

    void fileSinkAppendsAcrossRuns()
    {
        QTemporaryDir dir;
        {
            const EventLogFile file(dir.path() + QStringLiteral("/nested/data"));
            QVERIFY(file.isOpen());
            event_log::write(std::string("first run"), event_log::info, 1);
        }
        QCOMPARE(event_log::instance().sink(), nullptr);
        event_log::write(std::string("no sink between runs"), event_log::info, 1);
        {
            const EventLogFile file(dir.path() + QStringLiteral("/nested/data"));
            event_log::write(std::string("second run"), event_log::info, 1);
        }
        QFile log(dir.path() + QStringLiteral("/nested/data/events.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList written =
            QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(written.size(), 2);
        QVERIFY(written.at(0).endsWith(QStringLiteral("first run")));
        QVERIFY(written.at(1).endsWith(QStringLiteral("second run")));
    }

    void eventLogLivesInTheApplicationDataFolder()
    {
        QVERIFY(EventLogFile::defaultFolder().startsWith(QDir::homePath()));
        QVERIFY(EventLogFile::defaultFolder().endsWith(QStringLiteral("/FENK")));
    }

    // The hub: reports cross from a worker thread in order and as copies.
    void hubDeliversReportsInOrderFromAnotherThread()
    {
        Messanger hub;
        QStringList seen;
        connect(&hub, QOverload<QString, QString>::of(&Messanger::sendStat), this,
                [&seen](const QString& artist, const QString& title) {
                    seen << artist + QLatin1Char('/') + title;
                });
        QSignalSpy tempo(&hub, QOverload<QString>::of(&Messanger::sendStat));
        QStringList clipSeen;
        connect(&hub, QOverload<QStringList>::of(&Messanger::sendStat), this,
                [&clipSeen](const QStringList& clip) { clipSeen = clip; });

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
        QTRY_COMPARE(seen.size(), 50);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(seen.at(i), QStringLiteral("Artist %1/Title %1").arg(i));
        QTRY_COMPARE(tempo.size(), 1);
        QCOMPARE(tempo.first().first().toString(), QStringLiteral("120.000000"));
        QTRY_COMPARE(clipSeen.size(), 4);
        QCOMPARE(clipSeen.at(1), QStringLiteral("Clip"));
    }
};

FENK_TEST_GUILESS_MAIN(TestEventLog)
#include "tst_eventlog.moc"
