#include "fenktestconfig.h"
#include "peers.h"
#include "testhome.h"

#include <QProcess>
#include <QtTest>

namespace {

int run(const QString& program, const QStringList& arguments, QByteArray& output,
        const QString& folder = QString())
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(540000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    output = process.readAll();
    return process.exitCode();
}

} // namespace

// CPack makes the Debian package from the tree the tests were built in.
class TestPackage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void packageHoldsTheInstall()
    {
        FENK_REQUIRE_PROGRAM("dpkg-shlibdeps", "dpkg-dev");
        QTemporaryDir out;
        QByteArray log;
        QVERIFY2(run(QStringLiteral(FENK_CPACK_COMMAND),
                     {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out.path(),
                      QStringLiteral("--config"), QStringLiteral("CPackConfig.cmake")},
                     log, QStringLiteral(FENK_BINARY_DIR)) == 0,
                 log.constData());
        const QStringList debs =
            QDir(out.path()).entryList({QStringLiteral("fenk_*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());

        QByteArray contents;
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb}, contents), 0);
        for (const char* path :
             {"./usr/bin/fenk", "./usr/share/applications/fm.fenk.FENK.desktop",
              "./usr/share/metainfo/fm.fenk.FENK.metainfo.xml",
              "./usr/share/icons/hicolor/256x256/apps/fm.fenk.FENK.png",
              "./usr/share/icons/hicolor/scalable/apps/fm.fenk.FENK.svg",
              "./usr/share/doc/fenk/copyright", "./usr/share/doc/fenk/changelog.Debian.gz",
              "./usr/share/man/man1/fenk.1.gz"})
            QVERIFY2(contents.contains(QByteArray(" ") + path + '\n'), path);
        QVERIFY2(!contents.contains(" ./usr/local/"), contents.constData());
        for (const QByteArray& line : contents.split('\n')) {
            if (!line.isEmpty())
                QVERIFY2(line.contains(" root/root "), line.constData());
        }

        // dpkg-shlibdeps found what the program links.
        QByteArray depends;
        QCOMPARE(run(QStringLiteral("dpkg-deb"),
                     {QStringLiteral("--field"), deb, QStringLiteral("Depends")}, depends),
                 0);
        for (const char* library : {"libc6", "libqt5widgets5", "libcurl4", "libvorbis0a"})
            QVERIFY2(depends.contains(library), depends.constData());
    }
};

FENK_TEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
