// SavePicture: every depth the program holds is written, read back by Qt's
// BMP reader and compared pixel by pixel; the file is the one Qt's own
// writer makes, with the picture's depth, palette and resolution.
#include "shell/AppError.h"
#include "writers/BmpExport.h"
#include "writers/WriterTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace orvane;
using namespace orvane::test;

Q_DECLARE_METATYPE(QImage::Format)

namespace {

// The colour each pixel must have after a round trip: BMP stores no alpha.
QRgb expectedPixel(const QImage& plain, int x, int y)
{
    return plain.pixel(x, y) | 0xFF000000u;
}

void comparePixels(const QImage& back, const QImage& picture)
{
    QCOMPARE(back.size(), picture.size());
    const QImage plain
        = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (back.pixel(x, y) != expectedPixel(plain, x, y))
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2): %3 instead of %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(back.pixel(x, y), 8, 16)
                                     .arg(expectedPixel(plain, x, y), 8, 16)));
}

// Names the first byte where two files differ.
void compareBytes(const QByteArray& actual, const QByteArray& expected)
{
    const qsizetype n = qMin(actual.size(), expected.size());
    for (qsizetype i = 0; i < n; ++i)
        if (actual[i] != expected[i])
            QFAIL(qPrintable(QStringLiteral("byte %1 of %2: %3 instead of %4")
                                 .arg(i)
                                 .arg(expected.size())
                                 .arg(uchar(actual[i]), 2, 16)
                                 .arg(uchar(expected[i]), 2, 16)));
    QCOMPARE(actual.size(), expected.size());
}

quint16 bitCount(const QByteArray& file)
{
    return qFromLittleEndian<quint16>(file.constData() + 28);
}

} // namespace

class TestBmpExport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QImage::Format>("readBackAs");

        // The three kinds of scan, at widths that need row padding.
        QImage lineArt = randomPicture(37, 11, QImage::Format_Mono, 1);
        lineArt.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        QTest::newRow("1-bit line art") << lineArt << 1 << QImage::Format_Mono;
        QTest::newRow("8-bit gray scan") << grayScan(33, 9, 2) << 8 << QImage::Format_Indexed8;
        QTest::newRow("24-bit colour scan")
            << randomPicture(31, 7, QImage::Format_RGB32, 3) << 24 << QImage::Format_RGB32;
        QTest::newRow("one pixel") << randomPicture(1, 1, QImage::Format_RGB32, 4) << 24
                                   << QImage::Format_RGB32;

        // Other pictures a caller may hand over.
        QImage lsb = randomPicture(21, 5, QImage::Format_MonoLSB, 5);
        lsb.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        QTest::newRow("1-bit LSB first, white on black") << lsb << 1 << QImage::Format_Mono;
        QImage bluegreen = randomPicture(9, 4, QImage::Format_Mono, 6);
        bluegreen.setColorTable({qRgb(0, 0, 255), qRgb(0, 255, 0)});
        QTest::newRow("1-bit two colours") << bluegreen << 1 << QImage::Format_Mono;
        QImage sixteen = randomPicture(15, 6, QImage::Format_Indexed8, 12);
        QList<QRgb> sixteenColours;
        for (int i = 0; i < 16; ++i)
            sixteenColours.append(qRgb(i * 16, 255 - i * 9, (i * 53) % 256));
        sixteen.setColorTable(sixteenColours);
        for (int y = 0; y < sixteen.height(); ++y)
            for (int x = 0; x < sixteen.width(); ++x)
                sixteen.setPixel(x, y, uint((x * 7 + y) % 16));
        QTest::newRow("16 colours as 4 bits") << sixteen << 4 << QImage::Format_Indexed8;
        QImage palette = randomPicture(19, 5, QImage::Format_Indexed8, 7);
        QList<QRgb> colours;
        for (int i = 0; i < 256; ++i)
            colours.append(qRgb(i, (i * 3) % 256, 255 - i));
        palette.setColorTable(colours);
        QTest::newRow("8-bit colour palette") << palette << 8 << QImage::Format_Indexed8;
        QTest::newRow("Grayscale8") << randomPicture(17, 3, QImage::Format_Grayscale8, 8) << 8
                                    << QImage::Format_Indexed8;
        QImage translucent = randomPicture(13, 5, QImage::Format_ARGB32, 9);
        QTest::newRow("ARGB32, alpha dropped") << translucent << 24 << QImage::Format_RGB32;
        QTest::newRow("premultiplied ARGB32") << randomPicture(13, 70, QImage::Format_ARGB32, 10)
                                                     .convertToFormat(QImage::Format_ARGB32_Premultiplied)
                                              << 24 << QImage::Format_RGB32;
        QTest::newRow("RGB888") << randomPicture(14, 66, QImage::Format_RGB888, 11) << 24
                                << QImage::Format_RGB32;
    }

    // Pixel-identical through Qt's reader, at the picture's own depth, and
    // byte for byte what Qt's own BMP writer makes of the picture.
    void roundTrip()
    {
        QFETCH(QImage, picture);
        QFETCH(int, bits);
        QFETCH(QImage::Format, readBackAs);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("picture.bmp"));
        SavePicture(picture, path);

        const QByteArray file = contents(path);
        QVERIFY(file.startsWith("BM"));
        QCOMPARE(int(bitCount(file)), bits);
        compareBytes(file, qtBmp(picture));
        if (QTest::currentTestFailed())
            return;
        const QImage back = readPicture(path);
        QCOMPARE(back.format(), readBackAs);
        comparePixels(back, picture);
        QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("picture.bmp")});
    }

    // The scan's resolution is stored and read back, also when it differs
    // between the two directions.
    void resolutionKept_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<int>("dpmX");
        QTest::addColumn<int>("dpmY");
        QTest::newRow("600 dpi colour") << QImage::Format_RGB32 << 23622 << 23622;
        QTest::newRow("300 x 150 dpi gray") << QImage::Format_Indexed8 << 11811 << 5906;
        QTest::newRow("1200 dpi line art") << QImage::Format_Mono << 47244 << 47244;
    }
    void resolutionKept()
    {
        QFETCH(QImage::Format, format);
        QFETCH(int, dpmX);
        QFETCH(int, dpmY);
        QImage picture
            = format == QImage::Format_Indexed8 ? grayScan(8, 8, 1) : randomPicture(8, 8, format, 1);
        picture.setDotsPerMeterX(dpmX);
        picture.setDotsPerMeterY(dpmY);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("r.bmp"));
        SavePicture(picture, path);
        const QImage back = readPicture(path);
        QCOMPARE(back.dotsPerMeterX(), dpmX);
        QCOMPARE(back.dotsPerMeterY(), dpmY);
    }

    // Public BMP files of every depth, read by Qt as the program reads a
    // scan, come back with the same pixels, format and resolution.
    void publicSuite_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"g/pal1.bmp", "g/pal1wb.bmp", "g/pal1bg.bmp", "g/pal4.bmp", "g/pal4gs.bmp",
                 "g/pal8.bmp", "g/pal8gs.bmp", "g/pal8-0.bmp", "g/pal8nonsquare.bmp", "g/pal8topdown.bmp",
                 "g/rgb24.bmp", "g/rgb32.bmp", "g/rgb16.bmp"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void publicSuite()
    {
        QFETCH(QString, name);
        const QString source = QStringLiteral(ORVANE_BMP_SUITE "/") + name;
        if (!QFileInfo::exists(source))
            QSKIP("the BMP suite is not available here");
        const QImage picture = readPicture(source);
        QVERIFY(!picture.isNull());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("copy.bmp"));
        SavePicture(picture, path);
        const QImage back = readPicture(path);
        QCOMPARE(back.format(), picture.format());
        QCOMPARE(back.colorTable(), picture.colorTable());
        QCOMPARE(back.dotsPerMeterX(), picture.dotsPerMeterX());
        QCOMPARE(back.dotsPerMeterY(), picture.dotsPerMeterY());
        comparePixels(back, picture);
    }

    // The name is taken exactly as chosen, and whatever was there is replaced.
    void replacesExistingFileUnderExactName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("scan-without-extension"));
        QVERIFY(writeBytes(path, QByteArray(5000, 'x')));
        const QImage picture = grayScan(10, 10, 3);
        SavePicture(picture, path);
        QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("scan-without-extension")});
        comparePixels(readPicture(path), picture);
    }

    void nothingToSave()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("empty.bmp"));
        try {
            SavePicture(QImage(), path);
            QFAIL("an empty picture was saved");
        } catch (const AppError& e) {
            QVERIFY(e.description().startsWith(path));
        }
        QVERIFY(folderEntries(dir.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBmpExport)
#include "test_bmp_export.moc"
