#include "documentfolder.h"
#include "testhome.h"

#include <QtTest>

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDocumentFolder : public QObject
{
    Q_OBJECT

    // Not the default template: that would put the application name into every path.
    QTemporaryDir m_root{QDir::tempPath() + QStringLiteral("/docs-XXXXXX")};
    QString m_documents;
    int m_case = 0;

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_root.isValid());
        m_documents = m_root.path() + QStringLiteral("/case-") + QString::number(++m_case);
        QVERIFY(QDir().mkpath(m_documents));
    }

    void folderIsCreatedOneLevelOnly()
    {
        const QString folder = ensureDocumentFolder(m_documents, QStringLiteral("FENK"));
        QCOMPARE(folder, m_documents + QStringLiteral("/FENK"));
        QVERIFY(QFileInfo(folder).isDir());
        // A missing documents folder is not invented.
        const QString missing = m_documents + QStringLiteral("/no/such");
        ensureDocumentFolder(missing, QStringLiteral("FENK"));
        QVERIFY(!QFileInfo::exists(missing));
    }

    void legacyFolderAbsentDoesNothing()
    {
        const QString folder = ensureDocumentFolder(m_documents, QStringLiteral("FENK"));
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QVERIFY(!QFileInfo::exists(m_documents + QStringLiteral("/Pelmora")));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 0);
    }

    void emptyLegacyFolderGetsMarkerOnce()
    {
        const QString folder = ensureDocumentFolder(m_documents, QStringLiteral("FENK"));
        const QString legacy = m_documents + QStringLiteral("/Pelmora");
        QVERIFY(QDir().mkpath(legacy));
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QVERIFY(QFileInfo::exists(legacy + QStringLiteral("/Migrated.log")));
        QCOMPARE(QFileInfo(legacy + QStringLiteral("/Migrated.log")).size(), 0);

        // A tracklist that shows up later is not copied: the marker says it ran.
        writeFile(legacy + QStringLiteral("/late.xml"), "<late/>");
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/late.xml")));
    }

    void trackListsAreCopiedAndLogged()
    {
        const QString folder = ensureDocumentFolder(m_documents, QStringLiteral("FENK"));
        const QString legacy = m_documents + QStringLiteral("/Pelmora");
        QVERIFY(QDir().mkpath(legacy));
        writeFile(legacy + QStringLiteral("/2019-01-01 set.xml"), "<old one/>");
        writeFile(legacy + QStringLiteral("/Über Nacht.xml"), "<old two/>");
        writeFile(legacy + QStringLiteral("/notes.txt"), "not a tracklist");
        writeFile(folder + QStringLiteral("/Über Nacht.xml"), "<already here/>");

        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));

        QCOMPARE(readFile(folder + QStringLiteral("/2019-01-01 set.xml")),
                 QByteArray("<old one/>"));
        QCOMPARE(readFile(folder + QStringLiteral("/Über Nacht.xml")),
                 QByteArray("<already here/>"));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/notes.txt")));

        const QString log = QString::fromUtf8(readFile(legacy + QStringLiteral("/Migrated.log")));
        QVERIFY(
            log.contains(QStringLiteral("Copying %1/2019-01-01 set.xml to %2/2019-01-01 set.xml\n")
                             .arg(legacy, folder)));
        // The existing target is kept, but its line is written all the same.
        QVERIFY(log.contains(QStringLiteral("Copying %1/Über Nacht.xml to %2/Über Nacht.xml\n")
                                 .arg(legacy, folder)));
        QCOMPARE(log.count(QLatin1Char('\n')), 2);
    }

    void anyLogFileMeansAlreadyMigrated()
    {
        const QString folder = ensureDocumentFolder(m_documents, QStringLiteral("FENK"));
        const QString legacy = m_documents + QStringLiteral("/Pelmora");
        QVERIFY(QDir().mkpath(legacy));
        writeFile(legacy + QStringLiteral("/debug.log"), "own log");
        writeFile(legacy + QStringLiteral("/set.xml"), "<set/>");
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/set.xml")));
        QVERIFY(!QFileInfo::exists(legacy + QStringLiteral("/Migrated.log")));
    }

    void everyOccurrenceOfTheNameIsReplaced()
    {
        // A user folder that is itself called FENK: /…/FENK/Documents/FENK
        const QString documents = m_documents + QStringLiteral("/FENK/Documents");
        QVERIFY(QDir().mkpath(documents));
        const QString folder = ensureDocumentFolder(documents, QStringLiteral("FENK"));
        const QString legacy = m_documents + QStringLiteral("/Pelmora/Documents/Pelmora");
        QVERIFY(QDir().mkpath(legacy));
        writeFile(legacy + QStringLiteral("/set.xml"), "<set/>");
        // A legacy folder next to the real documents folder is not the one.
        QVERIFY(QDir().mkpath(m_documents + QStringLiteral("/FENK/Documents/Pelmora")));
        writeFile(m_documents + QStringLiteral("/FENK/Documents/Pelmora/wrong.xml"), "<wrong/>");

        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QCOMPARE(readFile(folder + QStringLiteral("/set.xml")), QByteArray("<set/>"));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/wrong.xml")));
    }

    void replacementIsCaseSensitive()
    {
        const QString documents = m_documents + QStringLiteral("/fenk-user");
        QVERIFY(QDir().mkpath(documents));
        const QString folder = ensureDocumentFolder(documents, QStringLiteral("FENK"));
        QVERIFY(QDir().mkpath(documents + QStringLiteral("/Pelmora")));
        writeFile(documents + QStringLiteral("/Pelmora/set.xml"), "<set/>");
        migrateLegacyTrackLists(folder, QStringLiteral("FENK"));
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/set.xml")));
    }
};

FENK_TEST_GUILESS_MAIN(TestDocumentFolder)
#include "tst_documentfolder.moc"
