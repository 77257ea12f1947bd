// WriteJpegFile: files decoded back with libjpeg and compared with the
// picture: fidelity at quality 100, full-resolution chroma, gray pictures as
// gray JPEG, the resolution in the JFIF header, and the failures a caller
// can cause.
#include "shell/AppError.h"
#include "writers/JpegDecoder.h"
#include "writers/SaveAsJPG.h"
#include "writers/WriterTestSupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace orvane;
using namespace orvane::test;

Q_DECLARE_METATYPE(QImage::Format)

namespace {

// Peak signal-to-noise ratio over all channels, in dB.
double psnr(const QImage& original, const QImage& decoded)
{
    const bool gray = decoded.format() == QImage::Format_Grayscale8;
    const QImage a = original.convertToFormat(gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    const int channels = gray ? 1 : 3;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = decoded.constScanLine(y);
        for (int i = 0; i < a.width() * channels; ++i) {
            const double d = double(p[i]) - double(q[i]);
            sum += d * d;
        }
    }
    const double mse = sum / (double(a.width()) * a.height() * channels);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

int largestDifference(const QImage& original, const QImage& decoded)
{
    const bool gray = decoded.format() == QImage::Format_Grayscale8;
    const QImage a = original.convertToFormat(gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int i = 0; i < a.width() * (gray ? 1 : 3); ++i)
            worst = qMax(worst, std::abs(int(a.constScanLine(y)[i]) - int(decoded.constScanLine(y)[i])));
    return worst;
}

DecodedJpeg saveAndDecode(const QImage& picture, QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("picture.jpg"));
    WriteJpegFile(picture, path, 100);
    return decodeJpeg(path);
}

} // namespace

class TestJpegExport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A photograph keeps its detail and its colour at full resolution: every
    // component sampled 1x1, all quantizers 1 (quality 100). A tall picture
    // is encoded in strips on several threads and joined with restart
    // markers: the decoder must find them all in sequence.
    void photoAtQuality100_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("one strip") << 403 << 297 << false;
        QTest::newRow("three strips, the last partial") << 301 << 1100 << true;
        QTest::newRow("strips of exact height") << 64 << 2048 << true;
    }
    void photoAtQuality100()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(bool, restarts);
        const QImage photo = photoLike(width, height);
        QTemporaryDir dir;
        const DecodedJpeg jpeg = saveAndDecode(photo, dir);
        QVERIFY2(jpeg.ok, qPrintable(jpeg.error));
        QCOMPARE(jpeg.warnings, 0L);
        QCOMPARE(jpeg.restartInterval != 0, restarts);
        QCOMPARE(jpeg.width, width);
        QCOMPARE(jpeg.height, height);
        QCOMPARE(jpeg.components, 3);
        QCOMPARE(jpeg.hSampling, (std::vector<int>{1, 1, 1}));
        QCOMPARE(jpeg.vSampling, (std::vector<int>{1, 1, 1}));
        QCOMPARE(jpeg.lumaQuantizers, std::vector<int>(64, 1));
        const double db = psnr(photo, jpeg.pixels);
        QVERIFY2(db >= 48.0, qPrintable(QStringLiteral("PSNR %1 dB").arg(db)));
        QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("picture.jpg")});
    }

    // One-pixel colour stripes survive: halved chroma would blur them.
    void finestColourDetailKept()
    {
        QImage stripes(64, 16, QImage::Format_RGB32);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 64; ++x)
                stripes.setPixel(x, y, (x + y) % 2 ? qRgb(220, 30, 30) : qRgb(30, 30, 220));
        QTemporaryDir dir;
        const DecodedJpeg jpeg = saveAndDecode(stripes, dir);
        QVERIFY2(jpeg.ok, qPrintable(jpeg.error));
        QVERIFY2(largestDifference(stripes, jpeg.pixels) <= 8,
            qPrintable(QString::number(largestDifference(stripes, jpeg.pixels))));
    }

    // Gray pictures become 1-component gray JPEGs, colour ones 3-component.
    void componentsByPicture_data()
    {
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<int>("components");
        QTest::addColumn<int>("tolerance"); // largest difference allowed per sample

        QTest::newRow("8-bit gray scan") << grayScan(45, 23, 1) << 1 << 1;
        QImage lineArt = randomPicture(37, 19, QImage::Format_Mono, 2);
        lineArt.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        QTest::newRow("1-bit line art") << lineArt << 1 << 1;
        QImage whiteOnBlack = randomPicture(21, 9, QImage::Format_MonoLSB, 3);
        whiteOnBlack.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        QTest::newRow("1-bit LSB first, inverted palette") << whiteOnBlack << 1 << 1;
        QTest::newRow("Grayscale8") << randomPicture(30, 30, QImage::Format_Grayscale8, 4) << 1 << 1;
        QImage fewGrays = randomPicture(16, 16, QImage::Format_Indexed8, 5);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                fewGrays.scanLine(y)[x] %= 4;
        fewGrays.setColorTable({qRgb(0, 0, 0), qRgb(90, 90, 90), qRgb(170, 170, 170), qRgb(255, 255, 255)});
        QTest::newRow("4-level gray palette") << fewGrays << 1 << 1;
        QTest::newRow("Grayscale16") << photoLike(20, 20).convertToFormat(QImage::Format_Grayscale16) << 1
                                     << 1;

        QImage bluegreen = randomPicture(17, 8, QImage::Format_Mono, 6);
        bluegreen.setColorTable({qRgb(0, 0, 255), qRgb(0, 255, 0)});
        QTest::newRow("1-bit blue and green") << bluegreen << 3 << 12;
        QImage palette = photoLike(40, 20).convertToFormat(QImage::Format_Indexed8);
        QTest::newRow("8-bit colour palette") << palette << 3 << 12;
        QTest::newRow("ARGB32") << photoLike(33, 17).convertToFormat(QImage::Format_ARGB32) << 3 << 12;
        QTest::newRow("RGB888") << photoLike(33, 17).convertToFormat(QImage::Format_RGB888) << 3 << 12;
        QTest::newRow("RGB16, converted in bands")
            << photoLike(41, 39).convertToFormat(QImage::Format_RGB16) << 3 << 12;
        // Tall pictures: each thread expands or converts its own rows.
        QTest::newRow("tall gray scan") << grayScan(50, 1500, 9) << 1 << 1;
        QImage tallLineArt = randomPicture(77, 1300, QImage::Format_Mono, 10);
        tallLineArt.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        QTest::newRow("tall line art") << tallLineArt << 1 << 1;
        QTest::newRow("tall premultiplied ARGB32")
            << photoLike(45, 1400).convertToFormat(QImage::Format_ARGB32_Premultiplied) << 3 << 12;
        QTest::newRow("one pixel") << photoLike(1, 1) << 3 << 12;
    }
    void componentsByPicture()
    {
        QFETCH(QImage, picture);
        QFETCH(int, components);
        QFETCH(int, tolerance);
        QTemporaryDir dir;
        const DecodedJpeg jpeg = saveAndDecode(picture, dir);
        QVERIFY2(jpeg.ok, qPrintable(jpeg.error));
        QCOMPARE(jpeg.warnings, 0L);
        QCOMPARE(jpeg.width, picture.width());
        QCOMPARE(jpeg.height, picture.height());
        QCOMPARE(jpeg.components, components);
        const int worst = largestDifference(picture, jpeg.pixels);
        QVERIFY2(worst <= tolerance, qPrintable(QStringLiteral("difference %1").arg(worst)));
    }

    // The JFIF header carries the scan's resolution in dots per inch.
    void densityFromResolution_data()
    {
        QTest::addColumn<int>("dpmX");
        QTest::addColumn<int>("dpmY");
        QTest::addColumn<int>("dpiX");
        QTest::addColumn<int>("dpiY");
        QTest::newRow("600 dpi") << 23622 << 23622 << 600 << 600;
        QTest::newRow("300 x 150 dpi") << 11811 << 5906 << 300 << 150;
        QTest::newRow("75 dpi") << 2953 << 2953 << 75 << 75;
    }
    void densityFromResolution()
    {
        QFETCH(int, dpmX);
        QFETCH(int, dpmY);
        QFETCH(int, dpiX);
        QFETCH(int, dpiY);
        QImage picture = grayScan(8, 8, 1);
        picture.setDotsPerMeterX(dpmX);
        picture.setDotsPerMeterY(dpmY);
        QTemporaryDir dir;
        const DecodedJpeg jpeg = saveAndDecode(picture, dir);
        QVERIFY2(jpeg.ok, qPrintable(jpeg.error));
        QVERIFY(jpeg.jfif);
        QCOMPARE(jpeg.densityUnit, 1);
        QCOMPARE(jpeg.xDensity, dpiX);
        QCOMPARE(jpeg.yDensity, dpiY);
    }

    // The name is taken exactly as chosen and an existing file is replaced;
    // two saves in a row each work on their own.
    void replacesExistingFileUnderExactName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("scan"));
        QVERIFY(writeBytes(path, QByteArray(100000, 'x')));
        const QImage photo = photoLike(50, 40);
        WriteJpegFile(photo, path, 100);
        WriteJpegFile(photo, path, 100);
        QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("scan")});
        const DecodedJpeg jpeg = decodeJpeg(path);
        QVERIFY2(jpeg.ok, qPrintable(jpeg.error));
        QVERIFY(psnr(photo, jpeg.pixels) >= 48.0);
    }

    // What the caller hands over wrongly is reported with the writer's own
    // status numbers, and no file appears.
    void invalidRequests_data()
    {
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<int>("quality");
        QTest::addColumn<QString>("status");
        QTest::newRow("no picture") << QImage() << 100 << QStringLiteral("2");
        QTest::newRow("quality above 100") << photoLike(4, 4) << 101 << QStringLiteral("2");
        QTest::newRow("wider than JPEG allows")
            << QImage(65501, 1, QImage::Format_Mono) << 100 << QStringLiteral("11");
    }
    void invalidRequests()
    {
        QFETCH(QImage, picture);
        QFETCH(int, quality);
        QFETCH(QString, status);
        QTemporaryDir dir;
        try {
            WriteJpegFile(picture, dir.filePath(QStringLiteral("x.jpg")), quint8(quality));
            QFAIL("no error raised");
        } catch (const AppError& e) {
            QCOMPARE(e.number(), 5);
            QCOMPARE(e.description().section(QLatin1Char('\n'), 0, 0),
                QStringLiteral("Cannot save the image. GDI+ Error:") + status);
        }
        QVERIFY(folderEntries(dir.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestJpegExport)
#include "test_jpeg_export.moc"
