// FileExists, DeleteFileQuietly and ForceDeleteFile on the files they meet:
// missing, read-only, in a folder that refuses the change.
#include "common/ChildMain.h"
#include "common/Unprivileged.h"
#include "shell/AppError.h"
#include "shell/Main.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace orvane;

static void writeFile(const QString& path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
}

class TestFileHelpers : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fileExists()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("a.bmp"));
        writeFile(file);
        QFile::setPermissions(file, QFile::ReadOwner);
        QVERIFY(FileExists(file)); // read-only counts
        QVERIFY(!FileExists(dir.filePath(QStringLiteral("missing"))));
        QVERIFY(!FileExists(QString()));
        QVERIFY(!FileExists(QStringLiteral("/no/such/drive/file")));
        QVERIFY(!FileExists(dir.path())); // a folder is not a file
    }

    void deleteQuietly()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("missing"));
        DeleteFileQuietly(missing); // no effect, nothing raised
        QVERIFY(!QFile::exists(missing));

        const QString readOnly = dir.filePath(QStringLiteral("ro.bmp"));
        writeFile(readOnly);
        QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ReadOther);
        DeleteFileQuietly(readOnly);
        QVERIFY(!QFile::exists(readOnly));
    }

    void deleteQuietlyRunsPendingEventsFirst()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("f"));
        writeFile(file);
        bool ranFirst = false;
        QTimer::singleShot(0, [&] { ranFirst = QFile::exists(file); });
        DeleteFileQuietly(file);
        QVERIFY(ranFirst);
        QVERIFY(!QFile::exists(file));
    }

    void forceDeleteRaisesToCaller()
    {
        QTemporaryDir dir;
        try {
            ForceDeleteFile(dir.filePath(QStringLiteral("missing")));
            QFAIL("no error raised");
        } catch (const AppError& e) {
            QVERIFY(e.description().endsWith(QStringLiteral("missing: No such file or directory")));
        }
    }

    // A folder that refuses the change: both attempts fail, the file stays,
    // nothing is raised; the forced delete alone raises "Permission denied".
    void undeletableFileStays()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("kept.bmp"));
        writeFile(file);
        QFile::setPermissions(
            file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther);
        test::openPathFor(dir.path());
        QFile::setPermissions(dir.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
        const test::ChildResult r = test::runAsNobody({QStringLiteral("delete"), file});
        if (!r.ran)
            QSKIP(qPrintable(r.whyNot));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.output.trimmed(), QByteArray("quiet:kept force:Permission denied"));
        QVERIFY(QFile::exists(file));
    }
};

// Child part of undeletableFileStays, run as nobody.
static int child(const QStringList& args)
{
    const QString file = args.value(1);
    DeleteFileQuietly(file);
    QByteArray out = QFile::exists(file) ? "quiet:kept" : "quiet:deleted";
    try {
        ForceDeleteFile(file);
        out += " force:deleted";
    } catch (const AppError& e) {
        out += " force:" + e.description().section(QStringLiteral(": "), -1).toUtf8();
    }
    std::printf("%s\n", out.constData());
    return 0;
}

ORVANE_TEST_MAIN_WITH_CHILD(QApplication, TestFileHelpers, child)
#include "test_file_helpers.moc"
