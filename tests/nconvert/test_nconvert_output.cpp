// The converter on pictures written by Qt's BMP writer, as the export makes
// them: every depth becomes a PNG and a TIFF that Qt's own decoders read back
// pixel for pixel, at the same depth and resolution. Also its command line,
// and what happens to the target when a conversion fails.
#include "common/TmpfsMount.h"
#include "common/Unprivileged.h"
#include "nconvert/ConverterRun.h"

#include "ColourReduction.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>

using namespace nconvert_test;

namespace {

constexpr int Dpm600 = 23622; // 600 dpi in pixels per metre

// Half noise (what scanners deliver), half flat areas and gradients, so that
// both ways of compressing are used; tall enough for several bands of rows.
QImage makePicture(QImage::Format format, int width, int height)
{
    QImage img(width, height, format);
    QRandomGenerator rng(42);
    if (format == QImage::Format_Mono) {
        img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    } else if (format == QImage::Format_Indexed8) {
        QList<QRgb> table;
        for (int i = 0; i < 200; ++i)
            table.append(qRgb((i * 37) & 255, (i * 91) & 255, 255 - i));
        img.setColorTable(table);
    }
    const int colours = format == QImage::Format_Mono ? 2 : format == QImage::Format_Indexed8 ? 200 : 256;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool noisy = x < width / 2;
            const quint32 r = rng.generate();
            switch (format) {
            case QImage::Format_Mono:
            case QImage::Format_Indexed8:
                img.setPixel(x, y, noisy ? r % colours : uint((y / 40) % colours));
                break;
            case QImage::Format_Grayscale8: {
                const int v = noisy ? int(r & 255) : (x + y) & 255;
                img.setPixel(x, y, qRgb(v, v, v));
                break;
            }
            case QImage::Format_ARGB32:
                img.setPixel(x, y, noisy ? r : qRgba(x & 255, y & 255, 128, (x / 8) & 255));
                break;
            default:
                img.setPixel(x, y, noisy ? (r | 0xff000000u) : qRgb(x & 255, y & 255, 200));
                break;
            }
        }
    }
    img.setDotsPerMeterX(Dpm600);
    img.setDotsPerMeterY(Dpm600);
    return img;
}

// Pages of the kinds people scan and the converter must keep exactly: clean
// printed text (colour, gray, line art), a flat-colour chart, the virtual
// scanner's stripes, a photograph with sensor noise; and pages with few
// colours held as 24-bit colour: text in 240 gray levels with marks in six
// colours, the same without the marks, text in 16 gray levels, text in one
// colour on white. Drawn pixel by pixel, deterministic, several bands of rows
// tall.
QImage makePage(const QString& kind, int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    img.fill(Qt::white);
    QRandomGenerator rng(7);
    auto put = [&](int x, int y, QRgb c) {
        if (x >= 0 && y >= 0 && x < width && y < height)
            reinterpret_cast<QRgb*>(img.scanLine(y))[x] = c;
    };
    const bool text = kind.startsWith(QLatin1String("text"));
    const int grays = kind == QLatin1String("16 grays")                             ? 16
        : kind == QLatin1String("marks") || kind == QLatin1String("gray as colour") ? 240
                                                                                    : 0;
    if (text || grays > 0 || kind == QLatin1String("two colours")) {
        // Lines of "words": strokes with soft edges, a coloured heading line.
        const QRgb marks[] = {qRgb(180, 30, 40), qRgb(30, 140, 60), qRgb(230, 120, 20), qRgb(120, 40, 160),
            qRgb(240, 200, 40), qRgb(20, 50, 140)};
        for (int line = 0, y0 = 40; y0 + 24 < height; ++line, y0 += 36) {
            const QRgb ink = (line % 9 == 0 && text) || kind == QLatin1String("two colours")
                ? qRgb(20, 50, 140)
                : qRgb(0, 0, 0);
            if (kind == QLatin1String("marks") && line % 3 == 0)
                for (int y = y0; y < y0 + 22; ++y)
                    for (int x = 8; x < 28; ++x)
                        put(x, y, marks[line / 3 % 6]);
            for (int x0 = 40; x0 + 80 < width;) {
                const int w = 12 + int(rng.bounded(60));
                for (int y = y0; y < y0 + 22; ++y)
                    for (int x = x0; x < x0 + w; ++x) {
                        const int g = (x * 7 + y * 13 + x0) % 11;
                        if (grays > 0 && g < 4) {
                            const int v = (x * 7 + y * 13) % grays * (grays == 16 ? 17 : 1);
                            put(x, y, qRgb(v, v, v));
                        } else if (g < 3) {
                            put(x, y, ink);
                        } else if (g == 3 && text) {
                            put(x, y, qRgb(160, 160, 170));
                        }
                    }
                x0 += w + 10 + int(rng.bounded(8));
            }
        }
    } else if (kind == QLatin1String("chart")) {
        const QRgb colours[] = {qRgb(31, 119, 180), qRgb(255, 127, 14), qRgb(44, 160, 44), qRgb(214, 39, 40)};
        for (int b = 0; b < 24; ++b) {
            const int h = 40 + int(rng.bounded(quint32(height - 80)));
            for (int y = height - h; y < height - 20; ++y)
                for (int x = 30 + b * (width - 60) / 24; x < 30 + (b + 1) * (width - 60) / 24 - 6; ++x)
                    put(x, y, colours[b % 4]);
        }
    } else if (kind == QLatin1String("stripes")) {
        // Like the test backend's colour pattern: cells of 4 by 4 pixels
        // between grey lines, their colours ramping along each row of cells.
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (y % 5 == 0 || x % 5 == 0) {
                    put(x, y, qRgb(85, 85, 85));
                    continue;
                }
                const int cell = (x / 5) & 255, up = (y / 5) % 2 == 0 ? cell : 255 - cell;
                const int channel = (y / 10) % 3;
                put(x, y, qRgb(channel == 0 ? up : 0, channel == 1 ? up : 0, channel == 2 ? up : 0));
            }
    } else { // a photograph: gradients and noise
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int n = int(rng.bounded(7)) - 3;
                put(x, y,
                    qRgb(std::clamp(x * 255 / width + n, 0, 255), std::clamp(y * 255 / height - n, 0, 255),
                        std::clamp(128 + n * 3, 0, 255)));
            }
    }
    if (kind == QLatin1String("text gray"))
        img = img.convertToFormat(QImage::Format_Grayscale8);
    else if (kind == QLatin1String("text line art"))
        img = img.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    img.setDotsPerMeterX(11811);
    img.setDotsPerMeterY(11811);
    return img;
}

// A 32-bit BMP with an alpha channel (version 4 header, bit fields), which
// Qt's BMP writer does not make: bottom-up rows of 0xAARRGGBB words.
QByteArray bmpWithAlpha(const QImage& picture)
{
    const QImage img = picture.convertToFormat(QImage::Format_ARGB32);
    const int headerEnd = 14 + 108;
    QByteArray f(headerEnd, '\0');
    auto* p = reinterpret_cast<uchar*>(f.data());
    p[0] = 'B';
    p[1] = 'M';
    qToLittleEndian<quint32>(quint32(headerEnd + 4 * img.width() * img.height()), p + 2);
    qToLittleEndian<quint32>(headerEnd, p + 10);
    qToLittleEndian<quint32>(108, p + 14);
    qToLittleEndian<qint32>(img.width(), p + 18);
    qToLittleEndian<qint32>(img.height(), p + 22);
    qToLittleEndian<quint16>(1, p + 26);
    qToLittleEndian<quint16>(32, p + 28);
    qToLittleEndian<quint32>(3, p + 30); // bit fields
    qToLittleEndian<qint32>(11811, p + 38);
    qToLittleEndian<qint32>(11811, p + 42);
    const quint32 masks[] = {0x00ff0000, 0x0000ff00, 0x000000ff, 0xff000000};
    for (int i = 0; i < 4; ++i)
        qToLittleEndian<quint32>(masks[i], p + 54 + 4 * i);
    qToLittleEndian<quint32>(0x73524742, p + 70); // "sRGB"
    for (int y = img.height() - 1; y >= 0; --y) {
        QByteArray row(4 * img.width(), '\0');
        for (int x = 0; x < img.width(); ++x)
            qToLittleEndian<quint32>(img.pixel(x, y), row.data() + 4 * x);
        f += row;
    }
    return f;
}

} // namespace

class TestNconvertOutput : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void depthsAndResolution_data()
    {
        QTest::addColumn<int>("sourceFormat");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("format");
        struct Case {
            const char* name;
            QImage::Format fmt;
            QSize size;
        } cases[] = {
            {"1-bit", QImage::Format_Mono, QSize(1700, 6000)},
            {"8-bit gray", QImage::Format_Grayscale8, QSize(1700, 1100)},
            {"palette", QImage::Format_Indexed8, QSize(1700, 1100)},
            {"RGB", QImage::Format_RGB32, QSize(1700, 1100)},
            {"ARGB (written as 24-bit)", QImage::Format_ARGB32, QSize(1200, 800)},
        };
        for (const auto& c : cases)
            for (const char* format : {"png", "tiff"})
                QTest::newRow(
                    qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(c.name), QLatin1String(format))))
                    << int(c.fmt) << c.size << QString::fromLatin1(format);
    }
    void depthsAndResolution()
    {
        QFETCH(int, sourceFormat);
        QFETCH(QSize, size);
        QFETCH(QString, format);
        const auto fmt = QImage::Format(sourceFormat);
        const QImage picture = makePicture(fmt, size.width(), size.height());
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("temp scan.bmp"));
        QVERIFY(picture.save(bmp, "BMP"));
        const QString output = dir.filePath(QStringLiteral("page one.") + format);

        const Run run = convert(format, output, bmp);
        QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
        QImage out(output, format.toLatin1());
        QVERIFY2(!out.isNull(), "the output does not decode");
        // Qt's BMP writer keeps no alpha (it writes ARGB pictures as 24-bit),
        // so the reference is what Qt's BMP reader makes of the file.
        const QImage inBmp(bmp, "BMP");
        QCOMPARE(maxDifference(out, inBmp), 0);
        if (!picture.hasAlphaChannel())
            QCOMPARE(maxDifference(out, picture), 0);
        QCOMPARE(out.dotsPerMeterX(), Dpm600);
        QCOMPARE(out.dotsPerMeterY(), Dpm600);
        QCOMPARE(out.hasAlphaChannel(), inBmp.hasAlphaChannel());
        switch (fmt) {
        case QImage::Format_Mono:
            QCOMPARE(out.depth(), 1);
            break;
        case QImage::Format_Grayscale8:
            QCOMPARE(out.format(), QImage::Format_Grayscale8);
            break;
        case QImage::Format_Indexed8:
            QCOMPARE(out.format(), QImage::Format_Indexed8);
            // A TIFF colour map always has 256 entries; PNG keeps the count.
            QCOMPARE(out.colorCount(), format == QLatin1String("png") ? 200 : 256);
            break;
        default:
            QCOMPARE(out.depth(), 32);
            break;
        }
        QCOMPARE(leftovers(dir.path()), QStringList());
    }

    // Every kind of page comes back pixel for pixel, whichever way each band
    // of it is compressed, decoded by Qt and (TIFF) by libtiff itself, stored
    // in the smallest form that holds its colours: a palette of the colours
    // used, or gray when all of them are, at the fewest bits that hold every
    // value. The stripes, which string matching makes tiny, come out under a
    // tenth of their raw size: a PNG writer that judged matching by whether
    // bytes repeat 8 bytes later wrote them as literals, 15 times larger than
    // other encoders.
    void pageKinds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("stored");
        const char* const kinds[][2] = {
            {"text colour", "palette 2"}, // white, black, blue and a gray-blue
            {"text gray", "palette 2"}, // four gray levels, not multiples of 85
            {"text line art", "gray 1"},
            {"chart", "palette 4"}, // white and four colours
            {"stripes", "rgb 8"},
            {"photo", "rgb 8"},
            {"marks", "palette 8"}, // 247 colours
            {"gray as colour", "gray 8"},
            {"16 grays", "gray 4"},
            {"two colours", "palette 1"},
        };
        for (const auto& k : kinds)
            for (const char* format : {"png", "tiff"})
                QTest::newRow(
                    qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(k[0]), QLatin1String(format))))
                    << QString::fromLatin1(k[0]) << QString::fromLatin1(format) << QString::fromLatin1(k[1]);
    }
    void pageKinds()
    {
        QFETCH(QString, kind);
        QFETCH(QString, format);
        QFETCH(QString, stored);
        const QImage page = makePage(kind, 1240, 1100);
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("page.bmp"));
        QVERIFY(page.save(bmp, "BMP"));
        const QString output = dir.filePath(QStringLiteral("page.") + format);
        const Run run = convert(format, output, bmp);
        QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
        QCOMPARE(storedForm(output), stored);
        QList<QImage> decoded{QImage(output, format.toLatin1())};
        if (format == QLatin1String("tiff"))
            decoded.append(decodeTiff(output));
        for (const QImage& out : decoded) {
            QVERIFY2(!out.isNull(), "the output does not decode");
            QCOMPARE(maxDifference(out, page), 0);
            QCOMPARE(out.dotsPerMeterX(), 11811);
            QCOMPARE(out.dotsPerMeterY(), 11811);
        }
        if (kind == QLatin1String("stripes"))
            QVERIFY2(QFileInfo(output).size() < page.width() * page.height() * 3 / 10,
                qPrintable(QString::number(QFileInfo(output).size())));
    }

    // The colours are counted over the whole picture, each band of rows
    // holding a quarter of them: 256 make a palette, one more pixel in a
    // 257th colour in the last row keeps the picture in RGB.
    void colourCount_data()
    {
        QTest::addColumn<bool>("oneMore");
        QTest::addColumn<QString>("format");
        for (const char* format : {"png", "tiff"}) {
            QTest::newRow(qPrintable(QStringLiteral("256 colours ") + QLatin1String(format)))
                << false << QString::fromLatin1(format);
            QTest::newRow(qPrintable(QStringLiteral("257 colours ") + QLatin1String(format)))
                << true << QString::fromLatin1(format);
        }
    }
    void colourCount()
    {
        QFETCH(bool, oneMore);
        QFETCH(QString, format);
        QImage picture(1000, 700, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) {
                const int id = y / 175 * 64 + x % 64;
                picture.setPixel(x, y, qRgb(id, 255 - id, (id * 7) & 255));
            }
        if (oneMore)
            picture.setPixel(999, 699, qRgb(1, 2, 3));
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(picture.save(bmp, "BMP"));
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const Run run = convert(format, output, bmp);
        QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
        QCOMPARE(storedForm(output), oneMore ? QStringLiteral("rgb 8") : QStringLiteral("palette 8"));
        QCOMPARE(maxDifference(QImage(output, format.toLatin1()), picture), 0);
    }

    // A picture with alpha keeps it where a pixel is not opaque; opaque
    // everywhere, it is stored without alpha, and with few colours as a
    // palette.
    void alphaChannel_data()
    {
        QTest::addColumn<bool>("noisy");
        QTest::addColumn<int>("alpha");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("stored");
        for (const char* format : {"png", "tiff"}) {
            const QString f = QString::fromLatin1(format);
            QTest::newRow(qPrintable(f + QStringLiteral(" opaque")))
                << true << 255 << f << QStringLiteral("rgb 8");
            QTest::newRow(qPrintable(f + QStringLiteral(" opaque, few colours")))
                << false << 255 << f << QStringLiteral("palette 4"); // six colours
            QTest::newRow(qPrintable(f + QStringLiteral(" one pixel half transparent")))
                << false << 128 << f << QStringLiteral("rgba 8");
        }
    }
    void alphaChannel()
    {
        QFETCH(bool, noisy);
        QFETCH(int, alpha);
        QFETCH(QString, format);
        QFETCH(QString, stored);
        QImage picture = noisy ? makePicture(QImage::Format_RGB32, 300, 200)
                               : makePage(QStringLiteral("chart"), 300, 200);
        picture = picture.convertToFormat(QImage::Format_ARGB32);
        // Channels of 0 and 255 only, which premultiplying keeps exact.
        picture.setPixel(150, 199, qRgba(255, 0, 255, alpha));
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("alpha.bmp"));
        {
            QFile f(bmp);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bmpWithAlpha(picture));
        }
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const Run run = convert(format, output, bmp);
        QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
        QCOMPARE(storedForm(output), stored);
        const QImage out(output, format.toLatin1());
        QCOMPARE(maxDifference(out, picture), 0);
        QCOMPARE(out.hasAlphaChannel(), alpha != 255);
        if (format == QLatin1String("tiff"))
            QCOMPARE(maxDifference(decodeTiff(output), picture), 0);
    }

    // A file that changes between the count of its colours and the second
    // reading: a colour the count did not see is reported, not written as
    // another colour (nor looked for for ever).
    void changedBetweenReadings_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("stored");
        QTest::newRow("palette of RGB colours")
            << QStringLiteral("chart") << int(nconvert::StoredKind::Palette);
        QTest::newRow("gray held as RGB")
            << QStringLiteral("gray as colour") << int(nconvert::StoredKind::Gray);
        QTest::newRow("palette indices") << QStringLiteral("indexed") << int(nconvert::StoredKind::Palette);
        QTest::newRow("opaque alpha") << QStringLiteral("alpha") << int(nconvert::StoredKind::Rgb);
    }
    void changedBetweenReadings()
    {
        QFETCH(QString, kind);
        QFETCH(int, stored);
        auto bmpOf = [&](bool later) {
            QImage page
                = makePage(kind == QLatin1String("indexed") ? QStringLiteral("chart") : kind, 600, 120);
            if (kind == QLatin1String("indexed")) {
                page = page.convertToFormat(QImage::Format_Indexed8);
                // Index k unused, k + 1 used: the indices are renumbered.
                QList<QRgb> table = page.colorTable();
                const auto k = uint(table.size());
                table.append({qRgb(1, 2, 3), qRgb(4, 5, 6)});
                page.setColorTable(table);
                page.setPixel(0, 119, k + 1);
                if (later)
                    page.setPixel(599, 119, k);
            } else if (kind == QLatin1String("alpha")) {
                page = makePicture(QImage::Format_RGB32, 600, 120).convertToFormat(QImage::Format_ARGB32);
                if (later)
                    page.setPixel(599, 119, qRgba(1, 2, 3, 200));
                return bmpWithAlpha(page);
            } else if (later) {
                page.setPixel(599, 119, qRgb(1, 2, 3));
            }
            QByteArray data;
            QBuffer buffer(&data);
            buffer.open(QIODevice::WriteOnly);
            page.save(&buffer, "BMP");
            return data;
        };
        const QByteArray before = bmpOf(false), after = bmpOf(true);
        using namespace nconvert;
        const bmp::MemorySource first(
            reinterpret_cast<const std::uint8_t*>(before.constData()), std::size_t(before.size()));
        const bmp::MemorySource second(
            reinterpret_cast<const std::uint8_t*>(after.constData()), std::size_t(after.size()));
        const bmp::Reader counted(first), read(second);
        const bmp::ImageInfo& info = read.info();
        std::vector<std::uint8_t> rows(info.rowBytes() * info.height);
        bmp::RowScratch scratch;
        counted.readRows(0, info.height, rows.data(), scratch);
        ColourCensus census(counted.info());
        census.count(rows.data(), info.height);
        const StoredForm form(info, census);
        QCOMPARE(int(form.kind()), stored);
        std::vector<std::uint8_t> out(form.rowBytes());
        form.convert(rows.data(), out.data()); // the rows counted convert
        read.readRows(0, info.height, rows.data(), scratch);
        try {
            for (std::uint32_t y = 0; y < info.height; ++y)
                form.convert(rows.data() + y * info.rowBytes(), out.data());
            QFAIL("a colour that was not counted was converted");
        } catch (const nconvert::Error& e) {
            QCOMPARE(
                QString::fromUtf8(e.what()), QStringLiteral("the picture changed while it was being read"));
        }
    }

    // Pictures a few pixels wide or one row high: rows shorter than the
    // filters' and the predictor's sixteen-byte steps, a single band; with
    // few pixels, few colours (a palette), with more rows, more (RGB).
    void tinyPictures_data()
    {
        QTest::addColumn<int>("sourceFormat");
        QTest::addColumn<QSize>("size");
        for (QImage::Format fmt : {QImage::Format_RGB32, QImage::Format_Grayscale8, QImage::Format_Mono})
            for (QSize size : {QSize(1, 1), QSize(1, 300), QSize(2, 3), QSize(5, 1), QSize(6, 60),
                     QSize(17, 9), QSize(17, 40)})
                QTest::newRow(qPrintable(QStringLiteral("%1 bits %2x%3")
                                             .arg(QImage(1, 1, fmt).depth())
                                             .arg(size.width())
                                             .arg(size.height())))
                    << int(fmt) << size;
    }
    void tinyPictures()
    {
        QFETCH(int, sourceFormat);
        QFETCH(QSize, size);
        const QImage picture = makePicture(QImage::Format(sourceFormat), size.width(), size.height());
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(picture.save(bmp, "BMP"));
        for (const QString& format : {QStringLiteral("png"), QStringLiteral("tiff")}) {
            const QString output = dir.filePath(QStringLiteral("out.") + format);
            const Run run = convert(format, output, bmp);
            QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
            const QImage out(output, format.toLatin1());
            QVERIFY2(!out.isNull(), qPrintable(format));
            QCOMPARE(maxDifference(out, picture), 0);
        }
    }

    // Resolutions that are not whole dots per inch survive too, and so do
    // different horizontal and vertical ones.
    void oddResolution_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("png") << QStringLiteral("png");
        QTest::newRow("tiff") << QStringLiteral("tiff");
    }
    void oddResolution()
    {
        QFETCH(QString, format);
        QImage picture = makePicture(QImage::Format_RGB32, 64, 48);
        picture.setDotsPerMeterX(11811); // 300 dpi
        picture.setDotsPerMeterY(4000); // 101.6 dpi
        QTemporaryDir dir;
        const QString bmp = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(picture.save(bmp, "BMP"));
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        QCOMPARE(convert(format, output, bmp).exitCode, 0);
        const QImage out(output, format.toLatin1());
        QCOMPARE(out.dotsPerMeterX(), 11811);
        QCOMPARE(out.dotsPerMeterY(), 4000);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("no input") << QStringList{"-out", "png", "-o", "OUT"};
        QTest::newRow("unknown format") << QStringList{"-out", "jpg", "-o", "OUT", "IN"};
        QTest::newRow("format with its padding") << QStringList{"-out", "png  ", "-o", "OUT", "IN"};
        QTest::newRow("options swapped") << QStringList{"-o", "OUT", "-out", "png", "IN"};
        QTest::newRow("extra argument") << QStringList{"-out", "tiff", "-o", "OUT", "IN", "MORE"};
        QTest::newRow("empty output") << QStringList{"-out", "tiff", "-o", "", "IN"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir dir;
        const QString output = dir.filePath(QStringLiteral("out"));
        const QString input = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(makePicture(QImage::Format_RGB32, 8, 8).save(input, "BMP"));
        for (QString& a : arguments) {
            a.replace(QStringLiteral("OUT"), output);
            a.replace(QStringLiteral("IN"), input);
        }
        const Run run = runConverter(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.errors.startsWith(QStringLiteral("usage: nconvert -out tiff|png -o OUTPUT")),
            qPrintable(run.errors));
        QVERIFY(!QFile::exists(output));
    }

    // A failed conversion leaves the file at the target as it was and no
    // temporary file; the message names the file and the cause.
    void failureKeepsTarget_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("cause");
        QTest::newRow("missing input")
            << QStringLiteral("missing.bmp") << QStringLiteral("No such file or directory");
        QTest::newRow("truncated BMP") << QStringLiteral("cut.bmp") << QStringLiteral("file is truncated");
        QTest::newRow("not a BMP") << QStringLiteral("text.bmp") << QStringLiteral("not a BMP picture");
        QTest::newRow("bad palette index")
            << QStringLiteral("index.bmp") << QStringLiteral("outside the palette");
    }
    void failureKeepsTarget()
    {
        QFETCH(QString, input);
        QFETCH(QString, cause);
        QTemporaryDir dir;
        QByteArray bmp;
        {
            const QString full = dir.filePath(QStringLiteral("full.bmp"));
            QVERIFY(makePicture(QImage::Format_RGB32, 300, 200).save(full, "BMP"));
            QFile f(full);
            QVERIFY(f.open(QIODevice::ReadOnly));
            bmp = f.readAll();
        }
        auto write = [&](const QString& name, const QByteArray& data) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        write(QStringLiteral("cut.bmp"), bmp.left(bmp.size() / 2));
        write(QStringLiteral("text.bmp"), QByteArray("not a picture at all\n").repeated(10));
        {
            // An 8-bit picture whose palette has 4 colours, with indices up to
            // 199 in its later rows: found only after several bands are out.
            QImage indexed = makePicture(QImage::Format_Indexed8, 2000, 1200);
            QList<QRgb> table = indexed.colorTable();
            for (int y = 0; y < 600; ++y)
                for (int x = 0; x < 2000; ++x)
                    indexed.setPixel(x, y, uint((x + y) % 4));
            const QString path = dir.filePath(QStringLiteral("index.bmp"));
            QVERIFY(indexed.save(path, "BMP"));
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QByteArray data = f.readAll();
            qToLittleEndian<quint32>(4, data.data() + 46); // colours used
            f.seek(0);
            f.write(data);
        }

        for (const QString& format : {QStringLiteral("png"), QStringLiteral("tiff")}) {
            const QString target = dir.filePath(QStringLiteral("keep.") + format);
            write(QFileInfo(target).fileName(), "the user's earlier file");
            const Run run = convert(format, target, dir.filePath(input));
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.errors.contains(input) && run.errors.contains(cause), qPrintable(run.errors));
            QFile f(target);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("the user's earlier file"));
            QCOMPARE(leftovers(dir.path()), QStringList());
        }
    }

    // A disk that fills up half-way: the write error is reported, the
    // partial file removed and the earlier file kept.
    void diskFull()
    {
        orvane::test::TmpfsMount disk(QStringLiteral("size=512k"));
        if (!disk.ok())
            QSKIP(qPrintable(disk.whyNot));
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(makePicture(QImage::Format_RGB32, 1000, 800).save(input, "BMP"));
        for (const QString& format : {QStringLiteral("png"), QStringLiteral("tiff")}) {
            const QString target = disk.filePath(QStringLiteral("page.") + format);
            {
                QFile f(target);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write("earlier");
            }
            const Run run = convert(format, target, input);
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(
                run.errors.contains(QStringLiteral("No space left on device")) && run.errors.contains(target),
                qPrintable(run.errors));
            QFile f(target);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("earlier"));
            QCOMPARE(leftovers(disk.path), QStringList());
        }
    }

    // A successful conversion replaces the file and keeps its permissions.
    void successReplacesTarget()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.bmp"));
        const QImage picture = makePicture(QImage::Format_RGB32, 120, 90);
        QVERIFY(picture.save(input, "BMP"));
        const QString target = dir.filePath(QStringLiteral("scan")); // no extension
        {
            QFile f(target);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
        QCOMPARE(convert(QStringLiteral("tiff"), target, input).exitCode, 0);
        QCOMPARE(maxDifference(QImage(target, "tiff"), picture), 0);
        struct stat st { };
        QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0640);
    }

    // A folder the user may not write to: refused with the system's reason.
    void unwritableFolder()
    {
        const QString whyNot = orvane::test::unprivilegedUnavailable();
        if (!whyNot.isEmpty())
            QSKIP(qPrintable(whyNot));
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        orvane::test::openPathFor(dir.path());
        orvane::test::openPathFor(converterPath());
        const QString input = dir.filePath(QStringLiteral("in.bmp"));
        QVERIFY(makePicture(QImage::Format_RGB32, 16, 16).save(input, "BMP"));
        QFile::setPermissions(input, QFile::permissions(input) | QFile::ReadOther);
        const QString target = dir.filePath(QStringLiteral("out.png"));
        const Run run = runConverter(
            {QStringLiteral("-out"), QStringLiteral("png"), QStringLiteral("-o"), target, input},
            converterPath(),
            {orvane::test::setprivPath(), QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                QStringLiteral("--clear-groups")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.errors.contains(QStringLiteral("Permission denied")) && run.errors.contains(target),
            qPrintable(run.errors));
        QVERIFY(!QFile::exists(target));
    }

    void oddTargets_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("written");
        QTest::newRow("link to a file") << "link" << true;
        QTest::newRow("dangling link") << "dangling" << true;
        QTest::newRow("chain of links") << "chain" << true;
        QTest::newRow("FIFO") << "fifo" << false;
        QTest::newRow("link to /dev/null") << "device" << false;
        QTest::newRow("file of another user") << "foreign" << true;
    }
    // Links are written through to the file they name, which keeps its
    // permissions and owner; a pipe or a device is refused without being
    // opened (a FIFO without a reader would block the converter for ever).
    void oddTargets()
    {
        QFETCH(QString, kind);
        QFETCH(bool, written);
        if (kind == QLatin1String("foreign") && ::geteuid() != 0)
            QSKIP("not running as root, so no file can be given to another user");
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.bmp"));
        const QImage picture = makePicture(QImage::Format_RGB32, 40, 30);
        QVERIFY(picture.save(input, "BMP"));
        const QString real = dir.filePath(QStringLiteral("real.png"));
        QString target = dir.filePath(QStringLiteral("chosen.png"));
        const QByteArray nativeTarget = QFile::encodeName(target);
        if (kind == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(nativeTarget.constData(), 0644) == 0);
        } else if (kind == QLatin1String("device")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/null"), target));
        } else {
            if (kind != QLatin1String("dangling")) {
                QFile f(real);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write("old");
                f.close();
                QVERIFY(::chmod(QFile::encodeName(real).constData(), 0604) == 0);
            }
            if (kind == QLatin1String("foreign")) {
                QVERIFY(::chown(QFile::encodeName(real).constData(), 65534, 65534) == 0);
                target = real;
            } else if (kind == QLatin1String("chain")) {
                QVERIFY(::symlink("middle", nativeTarget.constData()) == 0);
                QVERIFY(::symlink(
                            "real.png", QFile::encodeName(dir.filePath(QStringLiteral("middle"))).constData())
                    == 0);
            } else {
                QVERIFY(::symlink("real.png", nativeTarget.constData()) == 0);
            }
        }
        struct stat before { };
        QVERIFY(::lstat(QFile::encodeName(target).constData(), &before) == 0);

        const Run run = convert(QStringLiteral("png"), target, input);

        QVERIFY(!run.crashed);
        struct stat after { };
        QVERIFY(::lstat(QFile::encodeName(target).constData(), &after) == 0);
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT); // a link stays a link
        QVERIFY(leftovers(dir.path()).isEmpty());
        if (!written) {
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.errors.contains(QStringLiteral("not a regular file")), qPrintable(run.errors));
            return;
        }
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(maxDifference(QImage(real, "png"), picture), 0);
        struct stat st { };
        QVERIFY(::stat(QFile::encodeName(real).constData(), &st) == 0);
        if (kind != QLatin1String("dangling"))
            QCOMPARE(int(st.st_mode & 07777), 0604);
        if (kind == QLatin1String("foreign"))
            QCOMPARE(int(st.st_uid), 65534);
    }
};

QTEST_GUILESS_MAIN(TestNconvertOutput)
#include "test_nconvert_output.moc"
