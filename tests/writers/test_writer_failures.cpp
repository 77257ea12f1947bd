// Both writers when the file cannot be written: a read-only folder or file
// (as the unprivileged user nobody), a missing folder and a full file
// system. Each raises the error the save command reports, the file that was
// at the path stays byte for byte, and nothing partial is left beside it.
#include "common/ChildMain.h"
#include "common/Unprivileged.h"
#include "shell/AppError.h"
#include "writers/BmpExport.h"
#include "writers/SaveAsJPG.h"
#include "writers/WriterTestSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>

using namespace orvane;
using namespace orvane::test;

namespace {

const QString JpegPrefix = QStringLiteral("Cannot save the image. GDI+ Error:");

struct Outcome {
    bool raised = false;
    int number = 0;
    QString description;
};

Outcome save(const QString& format, const QImage& picture, const QString& path)
{
    Outcome o;
    try {
        if (format == QStringLiteral("jpeg"))
            WriteJpegFile(picture, path, 100);
        else
            SavePicture(picture, path);
    } catch (const AppError& e) {
        o.raised = true;
        o.number = e.number();
        o.description = e.description();
    }
    return o;
}

// The child's report on standard output: "raised <number>" and the
// description on the following lines, or "saved".
QByteArray report(const Outcome& o)
{
    if (!o.raised)
        return "saved\n";
    return "raised " + QByteArray::number(o.number) + '\n' + o.description.toUtf8();
}

Outcome parseReport(const QByteArray& out)
{
    Outcome o;
    o.raised = out.startsWith("raised ");
    if (o.raised) {
        const qsizetype eol = out.indexOf('\n');
        o.number = out.mid(7, eol - 7).toInt();
        o.description = QString::fromUtf8(out.mid(eol + 1));
    }
    return o;
}

// A small file system that fills up, mounted for one test.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const QString& at)
        : path_(at)
    {
        QDir().mkpath(at);
        if (::mount("tmpfs", at.toLocal8Bit().constData(), "tmpfs", 0, "size=256k,mode=0755") == 0)
            mounted_ = true;
        else
            why_ = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (mounted_)
            ::umount2(path_.toLocal8Bit().constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    QString whyNot() const { return why_; }

private:
    QString path_;
    bool mounted_ = false;
    QString why_;
};

} // namespace

class TestWriterFailures : public QObject {
    Q_OBJECT

    // The checks common to every case: the error, the old file, the folder.
    void verifyFailure(const QString& format, const Outcome& o, int bmpNumber, const QString& cause,
        const QString& path, const QByteArray& old, const QStringList& before)
    {
        QVERIFY2(o.raised, "the write was reported as done");
        if (format == QStringLiteral("jpeg")) {
            QCOMPARE(o.number, 5);
            QVERIFY2(o.description.startsWith(JpegPrefix + QStringLiteral("7\n")), qPrintable(o.description));
        } else {
            QCOMPARE(o.number, bmpNumber);
        }
        QVERIFY2(o.description.contains(cause), qPrintable(o.description));
        if (!old.isNull())
            QCOMPARE(contents(path), old);
        else
            QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(folderEntries(QFileInfo(path).absolutePath()), before);
    }

private Q_SLOTS:
    void readOnly_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("folderWritable");
        QTest::newRow("jpeg, read-only folder") << QStringLiteral("jpeg") << false;
        QTest::newRow("bmp, read-only folder") << QStringLiteral("bmp") << false;
        QTest::newRow("jpeg, read-only file") << QStringLiteral("jpeg") << true;
        QTest::newRow("bmp, read-only file") << QStringLiteral("bmp") << true;
    }
    // As nobody: a folder nobody may not write in, or a file nobody may not
    // change in a folder of nobody's own.
    void readOnly()
    {
        QFETCH(QString, format);
        QFETCH(bool, folderWritable);
        const QString unavailable = unprivilegedUnavailable();
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("scan.bmp"));
        QVERIFY(photoLike(120, 80).save(source, "BMP"));
        const QString folder = dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkdir(folder));
        const QString path = folder + QStringLiteral("/picture.") + format;
        const QByteArray old("the user's earlier picture");
        QVERIFY(writeBytes(path, old));
        const QFile::Permissions readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions writable = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        // In the read-only folder the old file itself may be changed by anyone.
        QFile::setPermissions(path, folderWritable ? readable : readable | writable);
        QFile::setPermissions(source, readable);
        openPathFor(folder);
        if (folderWritable)
            QVERIFY(::chown(QFile::encodeName(folder).constData(), nobodyUid(), gid_t(-1)) == 0);
        const QStringList before = folderEntries(folder);

        const ChildResult r = runAsNobody({format, source, path});
        if (!r.ran)
            QSKIP(qPrintable(r.whyNot));
        QCOMPARE(r.exitCode, 0);
        verifyFailure(format, parseReport(r.output), ErrPermissionDenied, QStringLiteral("Permission denied"),
            path, old, before);
    }

    void missingFolder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("jpeg") << QStringLiteral("jpeg");
        QTest::newRow("bmp") << QStringLiteral("bmp");
    }
    void missingFolder()
    {
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("no such folder/picture"));
        const Outcome o = save(format, photoLike(30, 20), path);
        verifyFailure(format, o, ErrFileNotFound, QStringLiteral("No such file or directory"), path,
            QByteArray(), QStringList());
        QCOMPARE(folderEntries(dir.path()), QStringList());
    }

    void fullFileSystem_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("jpeg") << QStringLiteral("jpeg");
        QTest::newRow("bmp") << QStringLiteral("bmp");
    }
    // The new file needs more room than is left: the write fails part-way.
    void fullFileSystem()
    {
        QFETCH(QString, format);
        QTemporaryDir dir;
        const SmallFileSystem fs(dir.filePath(QStringLiteral("small")));
        if (!fs.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a small file system: ") + fs.whyNot()));
        const QString path = dir.filePath(QStringLiteral("small/picture.") + format);
        const QByteArray old(40000, 'o');
        QVERIFY(writeBytes(path, old));
        const QStringList before = folderEntries(QFileInfo(path).absolutePath());
        // Over 1 MB either way; the JPEG fails while its strips are being joined.
        const Outcome o = save(format, photoLike(300, 1600), path);
        verifyFailure(format, o, ErrDiskFull, QStringLiteral("No space left on device"), path, old, before);
    }
};

// Child part of readOnly, run as nobody: saves the picture in the given
// file and reports the outcome.
static int child(const QStringList& args)
{
    if (args.size() != 3)
        return 2;
    const QImage picture = readPicture(args.at(1));
    if (picture.isNull())
        return 2;
    const QByteArray out = report(save(args.at(0), picture, args.at(2)));
    std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
    return 0;
}

ORVANE_TEST_MAIN_WITH_CHILD(QCoreApplication, TestWriterFailures, child)
#include "test_writer_failures.moc"
