// The scan file's BMP writer: every kind of picture, of known and unknown
// height, across the writer's chunks, decoded back; a failing disk
// reported with its cause. The file it is written to: its descriptor's
// owner, and the scan file put in place only when complete.
#include "core/BmpWriter.h"
#include "core/ReplacingFile.h"
#include "replace/Replace.h"
#include "replace/UniqueFd.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace eztw32;
using replace::UniqueFd;
using replace::writeAllAt;

Q_DECLARE_METATYPE(eztw32::BmpWriter::Kind)

namespace {

// The pixel every test picture has at (x, y), as the writer gets it.
QRgb expectedPixel(BmpWriter::Kind kind, int x, int y)
{
    switch (kind) {
    case BmpWriter::Kind::Rgb24:
        return qRgb((x * 7 + y) & 0xFF, (y * 3) & 0xFF, (x ^ y) & 0xFF);
    case BmpWriter::Kind::Gray8: {
        const int v = (x + 2 * y) & 0xFF;
        return qRgb(v, v, v);
    }
    case BmpWriter::Kind::BlackWhite1:
        return ((x / 3 + y) % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    }
    return 0;
}

// Fills one row as the scan does: blue, green, red for colour, one byte of
// gray, or bits with 1 for white (palette index 1).
void fillRow(std::uint8_t* row, BmpWriter::Kind kind, int width, int y)
{
    for (int x = 0; x < width; ++x) {
        const QRgb p = expectedPixel(kind, x, y);
        switch (kind) {
        case BmpWriter::Kind::Rgb24:
            row[3 * x] = std::uint8_t(qBlue(p));
            row[3 * x + 1] = std::uint8_t(qGreen(p));
            row[3 * x + 2] = std::uint8_t(qRed(p));
            break;
        case BmpWriter::Kind::Gray8:
            row[x] = std::uint8_t(qGray(p));
            break;
        case BmpWriter::Kind::BlackWhite1:
            if (qGray(p))
                row[x / 8] |= std::uint8_t(0x80 >> (x % 8));
            break;
        }
    }
}

} // namespace

class TestEztw32Bmp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void picturesDecodeBack_data();
    void picturesDecodeBack();
    void rowsPastTheAnnouncedHeightAreDropped();
    void strideIsPaddedToFourBytes();
    void fullDiskIsReported();
    void unknownHeightNeedsToReadItsFile();
    void descriptorIsClosedOnceAndOnlyByItsOwner();
    void scanFileReplacesItsTargetOnlyWhenCommitted();
    void scanFileIsNotMadeInPlaceOfAFolder();

private:
    QTemporaryDir tmp_;
};

void TestEztw32Bmp::picturesDecodeBack_data()
{
    QTest::addColumn<BmpWriter::Kind>("kind");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("heightKnown");

    using K = BmpWriter::Kind;
    // 2000 pixels of colour are 6000 bytes a row: 43 rows a chunk, so 100
    // rows take three chunks, the last one short.
    QTest::newRow("colour") << K::Rgb24 << 2000 << 100 << true;
    QTest::newRow("colour, hand scanner") << K::Rgb24 << 2000 << 100 << false;
    QTest::newRow("colour, odd width") << K::Rgb24 << 13 << 5 << true;
    QTest::newRow("gray") << K::Gray8 << 1001 << 300 << true;
    QTest::newRow("gray, hand scanner") << K::Gray8 << 1001 << 300 << false;
    QTest::newRow("line art") << K::BlackWhite1 << 37 << 9 << true;
    QTest::newRow("line art, hand scanner") << K::BlackWhite1 << 37 << 9 << false;
    QTest::newRow("one row") << K::Rgb24 << 4 << 1 << true;
    QTest::newRow("one row, hand scanner") << K::Gray8 << 4 << 1 << false;
}

void TestEztw32Bmp::picturesDecodeBack()
{
    QFETCH(BmpWriter::Kind, kind);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, heightKnown);
    const QString path = tmp_.filePath(QStringLiteral("%1.bmp").arg(QTest::currentDataTag()));
    {
        const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_TRUNC, 0644));
        QVERIFY(fd);
        BmpWriter writer(fd.get(), width, heightKnown ? height : -1, kind, 300);
        QVERIFY(writer.begin());
        for (int y = 0; y < height; ++y) {
            fillRow(writer.nextRow(), kind, width, y);
            QVERIFY(writer.commitRow());
        }
        QCOMPARE(writer.rows(), height);
        QVERIFY(writer.finish());
        QCOMPARE(writer.error(), 0);
    }
    const QByteArray bytes = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    const int stride = BmpWriter::strideFor(width, kind);
    const int palette = kind == BmpWriter::Kind::Gray8 ? 1024 : kind == BmpWriter::Kind::BlackWhite1 ? 8 : 0;
    QCOMPARE(bytes.size(), 54 + palette + stride * height);

    const QImage image(path);
    QCOMPARE(image.size(), QSize(width, height));
    QCOMPARE(image.dotsPerMeterX(), 11811);
    QCOMPARE(image.depth(), kind == BmpWriter::Kind::Rgb24 ? 32 : kind == BmpWriter::Kind::Gray8 ? 8 : 1);
    if (kind == BmpWriter::Kind::BlackWhite1) // index 0 black, 1 white
        QCOMPARE(bytes.mid(54, 8), QByteArray("\0\0\0\0\xff\xff\xff\0", 8));
    if (kind == BmpWriter::Kind::Gray8) // a gray ramp
        QCOMPARE(bytes.mid(54 + 4 * 200, 4), QByteArray("\xc8\xc8\xc8\0", 4));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (image.pixel(x, y) != expectedPixel(kind, x, y))
                QFAIL(qPrintable(QStringLiteral("pixel %1, %2 differs").arg(x).arg(y)));
}

void TestEztw32Bmp::rowsPastTheAnnouncedHeightAreDropped()
{
    const QString path = tmp_.filePath(QStringLiteral("longer.bmp"));
    {
        const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_TRUNC, 0644));
        BmpWriter writer(fd.get(), 8, 3, BmpWriter::Kind::Gray8, 0);
        QVERIFY(writer.begin());
        for (int y = 0; y < 5; ++y) {
            fillRow(writer.nextRow(), BmpWriter::Kind::Gray8, 8, y);
            QVERIFY(writer.commitRow());
        }
        QCOMPARE(writer.rows(), 3);
        QVERIFY(writer.finish());
    }
    const QImage image(path);
    QCOMPARE(image.size(), QSize(8, 3));
    QCOMPARE(image.pixel(7, 2), expectedPixel(BmpWriter::Kind::Gray8, 7, 2));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().mid(38, 8), QByteArray(8, '\0')); // no resolution known
}

void TestEztw32Bmp::strideIsPaddedToFourBytes()
{
    using K = BmpWriter::Kind;
    QCOMPARE(BmpWriter::strideFor(1, K::Rgb24), 4);
    QCOMPARE(BmpWriter::strideFor(4, K::Rgb24), 12);
    QCOMPARE(BmpWriter::strideFor(5, K::Gray8), 8);
    QCOMPARE(BmpWriter::strideFor(32, K::BlackWhite1), 4);
    QCOMPARE(BmpWriter::strideFor(33, K::BlackWhite1), 8);
    // Wide enough that the bits overflow 32-bit arithmetic.
    QCOMPARE(BmpWriter::strideFor(100000000, K::Rgb24), 300000000);
}

void TestEztw32Bmp::fullDiskIsReported()
{
    // /dev/full takes nothing: the headers already fail, with ENOSPC.
    const UniqueFd fd(::open("/dev/full", O_WRONLY));
    QVERIFY(fd);
    BmpWriter writer(fd.get(), 10, 10, BmpWriter::Kind::Rgb24, 300);
    QVERIFY(!writer.begin());
    QCOMPARE(writer.error(), ENOSPC);
}

void TestEztw32Bmp::unknownHeightNeedsToReadItsFile()
{
    // Turning the rows over reads the file back: a file open only for
    // writing fails at the end, with the cause, and never claims success.
    const QString path = tmp_.filePath(QStringLiteral("writeonly.bmp"));
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    BmpWriter writer(fd.get(), 8, -1, BmpWriter::Kind::Gray8, 300);
    QVERIFY(writer.begin());
    for (int y = 0; y < 4; ++y) {
        fillRow(writer.nextRow(), BmpWriter::Kind::Gray8, 8, y);
        QVERIFY(writer.commitRow());
    }
    QVERIFY(!writer.finish());
    QCOMPARE(writer.error(), EBADF);
}

void TestEztw32Bmp::descriptorIsClosedOnceAndOnlyByItsOwner()
{
    auto isOpen = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
    const int fd = ::open("/dev/null", O_RDONLY);
    QVERIFY(fd >= 0);
    {
        UniqueFd owner(fd);
        // Given the descriptor it holds, it keeps it open.
        owner.reset(fd);
        QVERIFY(isOpen(fd));
        UniqueFd moved(std::move(owner));
        QVERIFY(!owner && moved.get() == fd);
        QCOMPARE(moved.close(), 0);
        QVERIFY(!isOpen(fd));
        QVERIFY(!moved);
        // Nothing held: nothing closed, no error.
        QCOMPARE(moved.close(), 0);
    }
    const int other = ::open("/dev/null", O_RDONLY);
    {
        UniqueFd released(other);
        QCOMPARE(released.release(), other);
    }
    QVERIFY(isOpen(other));
    ::close(other);
}

void TestEztw32Bmp::scanFileReplacesItsTargetOnlyWhenCommitted()
{
    const QString folder = tmp_.filePath(QStringLiteral("replace"));
    QVERIFY(QDir().mkpath(folder));
    // A folder others may read, a umask that lets them read new files, and
    // a scan file of an earlier run that they may read: the scan is still
    // the user's alone from its first byte.
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    const mode_t umask = ::umask(022);
    const QString target = folder + QStringLiteral("/scan.bmp");
    auto modeOf = [](int fd) {
        struct stat st { };
        return ::fstat(fd, &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
    };
    {
        ReplacingFile fresh;
        QVERIFY(fresh.create(target.toStdString()));
        QCOMPARE(modeOf(fresh.fd()), 0600u);
    }
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    QVERIFY(::fchmod(old.handle(), 0644) == 0);
    old.close();
    auto entries = [&] { return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System); };
    {
        ReplacingFile abandoned;
        QVERIFY(abandoned.create(target.toStdString()));
        QCOMPARE(modeOf(abandoned.fd()), 0600u);
        QVERIFY(writeAllAt(abandoned.fd(), "new", 3, 0) == 0);
        QCOMPARE(entries().size(), 2);
    }
    // Not committed: the target as it was, nothing beside it.
    QCOMPARE(entries(), QStringList{QStringLiteral("scan.bmp")});
    QFile kept(target);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("old"));
    kept.close();

    ReplacingFile file;
    QVERIFY(file.create(target.toStdString()));
    QCOMPARE(writeAllAt(file.fd(), "scanned", 7, 0), 0);
    QCOMPARE(file.commit(), 0);
    ::umask(umask);
    QCOMPARE(entries(), QStringList{QStringLiteral("scan.bmp")});
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("scanned"));
    QCOMPARE(modeOf(kept.handle()), 0600u);
    // Once only.
    QCOMPARE(file.commit(), EBADF);
}

void TestEztw32Bmp::scanFileIsNotMadeInPlaceOfAFolder()
{
    ReplacingFile file;
    errno = 0;
    QVERIFY(!file.create(tmp_.path().toStdString()));
    QCOMPARE(errno, EISDIR);
    QVERIFY(!file.create((tmp_.path() + QStringLiteral("/")).toStdString()));
    QCOMPARE(errno, EISDIR);
    QVERIFY(!file.create(tmp_.filePath(QStringLiteral("no/such/folder/scan.bmp")).toStdString()));
    QCOMPARE(errno, ENOENT);
}

QTEST_GUILESS_MAIN(TestEztw32Bmp)
#include "test_eztw32_bmp.moc"
