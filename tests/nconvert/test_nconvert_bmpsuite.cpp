// The converter against the public BMP test suite: every good file becomes a
// PNG and a TIFF whose pixels are those of the suite's reference picture;
// questionable files are decoded correctly or refused cleanly; bad files are
// refused with a message and leave nothing behind. An RLE picture of several
// bands checks that rows come out right across the reader's band borders.
#include "nconvert/ConverterRun.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace nconvert_test;

namespace {

const QString Suite = QStringLiteral(ORVANE_BMP_SUITE);

struct Entry {
    QString file;
    QString ref;
};

QList<Entry> manifest(const QString& folder)
{
    QList<Entry> entries;
    QFile f(Suite + QStringLiteral("/manifest.tsv"));
    if (!f.open(QIODevice::ReadOnly))
        return entries;
    f.readLine(); // column names
    while (!f.atEnd()) {
        const QStringList cols = QString::fromUtf8(f.readLine()).split(QLatin1Char('\t'));
        if (cols.size() >= 3 && cols[0].startsWith(folder + QLatin1Char('/'))
            && QFile::exists(Suite + QLatin1Char('/') + cols[0]))
            entries.append({cols[0], cols[2]});
    }
    return entries;
}

struct BmpFacts {
    int bitsPerPixel = 0;
    int pixelsPerMetreX = 0;
    int pixelsPerMetreY = 0;
};

BmpFacts readFacts(const QString& path)
{
    QFile f(path);
    BmpFacts facts;
    if (!f.open(QIODevice::ReadOnly))
        return facts;
    const QByteArray h = f.read(54);
    const auto* p = reinterpret_cast<const uchar*>(h.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(p + 14);
    if (headerSize == 12) {
        facts.bitsPerPixel = qFromLittleEndian<quint16>(p + 24);
    } else if (h.size() >= 54) {
        facts.bitsPerPixel = qFromLittleEndian<quint16>(p + 28);
        if (headerSize >= 40) {
            facts.pixelsPerMetreX = qFromLittleEndian<qint32>(p + 38);
            facts.pixelsPerMetreY = qFromLittleEndian<qint32>(p + 42);
        }
    }
    return facts;
}

void addRows(const QString& folder)
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("ref");
    QTest::addColumn<QString>("format");
    for (const Entry& e : manifest(folder))
        for (const char* format : {"png", "tiff"})
            QTest::newRow(qPrintable(e.file + QLatin1Char(' ') + QLatin1String(format)))
                << e.file << e.ref << QString::fromLatin1(format);
}

// A refusal: exit code 1, one line naming the file, no output, no leftovers.
void verifyRefusal(const Run& run, const QString& file, const QString& output, const QString& dir)
{
    QVERIFY2(!run.crashed, qPrintable(file));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errors.startsWith(QStringLiteral("nconvert: ")), qPrintable(run.errors));
    QVERIFY2(run.errors.contains(QFileInfo(file).fileName()), qPrintable(run.errors));
    QCOMPARE(run.errors.count(QLatin1Char('\n')), 1);
    QVERIFY(!QFile::exists(output));
    QCOMPARE(leftovers(dir), QStringList());
}

// Writes a bottom-up RLE8 BMP with a 256-colour palette.
QByteArray rle8File(int width, int height, const QByteArray& data)
{
    QByteArray f(14 + 40 + 1024, '\0');
    auto* p = reinterpret_cast<uchar*>(f.data());
    const int size = f.size() + data.size();
    p[0] = 'B';
    p[1] = 'M';
    qToLittleEndian<quint32>(quint32(size), p + 2);
    qToLittleEndian<quint32>(14 + 40 + 1024, p + 10);
    qToLittleEndian<quint32>(40, p + 14);
    qToLittleEndian<qint32>(width, p + 18);
    qToLittleEndian<qint32>(height, p + 22);
    qToLittleEndian<quint16>(1, p + 26);
    qToLittleEndian<quint16>(8, p + 28);
    qToLittleEndian<quint32>(1, p + 30); // RLE8
    qToLittleEndian<quint32>(quint32(data.size()), p + 34);
    for (int i = 0; i < 256; ++i) {
        p[54 + 4 * i] = uchar((i * 7) & 255); // blue
        p[54 + 4 * i + 1] = uchar(255 - i); // green
        p[54 + 4 * i + 2] = uchar(i); // red
    }
    return f + data;
}

QRgb rleColour(int index)
{
    return qRgb(index, 255 - index, (index * 7) & 255);
}

} // namespace

class TestNconvertBmpSuite : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(Suite + QStringLiteral("/manifest.tsv")), qPrintable(Suite));
        QVERIFY2(QFile::exists(converterPath()), qPrintable(converterPath()));
        QVERIFY2(QImageReader::supportedImageFormats().contains("tiff"),
            "Qt's TIFF plugin (qt6-image-formats-plugins) is needed");
    }

    void goodFiles_data() { addRows(QStringLiteral("g")); }
    void goodFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, ref);
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const QString input = Suite + QLatin1Char('/') + file;
        const Run run = convert(format, output, input);
        QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(run.errors));
        QCOMPARE(run.errors, QString());

        const QImage out(output, format.toLatin1());
        QVERIFY2(!out.isNull(), "the output does not decode");
        const QImage expected(Suite + QStringLiteral("/ref-png-official/") + ref);
        QVERIFY(!expected.isNull());
        QCOMPARE(maxDifference(out, expected), 0);

        // The resolution is kept; the depth never grows (it shrinks to what
        // the colours used need).
        const BmpFacts facts = readFacts(input);
        if (facts.bitsPerPixel <= 8)
            QVERIFY2(storedBitsPerPixel(output) <= facts.bitsPerPixel, qPrintable(storedForm(output)));
        if (facts.pixelsPerMetreX > 0 && facts.pixelsPerMetreY > 0) {
            QCOMPARE(out.dotsPerMeterX(), facts.pixelsPerMetreX);
            QCOMPARE(out.dotsPerMeterY(), facts.pixelsPerMetreY);
        }
        QCOMPARE(leftovers(dir.path()), QStringList());
    }

    void questionableFiles_data() { addRows(QStringLiteral("q")); }
    void questionableFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, ref);
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const Run run = convert(format, output, Suite + QLatin1Char('/') + file);
        if (run.exitCode != 0) {
            verifyRefusal(run, file, output, dir.path());
            return;
        }
        QVERIFY(!run.crashed);
        QImage out(output, format.toLatin1());
        QVERIFY2(!out.isNull(), "the output does not decode");
        // A file with its own colour profile: compared after Qt's colour
        // management, which rounds on its way (without the profile the
        // colours would be wholly wrong).
        int tolerance = 1;
        if (out.colorSpace().isValid() && out.colorSpace() != QColorSpace(QColorSpace::SRgb)) {
            out.convertToColorSpace(QColorSpace::SRgb);
            tolerance = 16;
        }
        // Undefined RLE pixels may take palette colour 0 ("-0") or black ("-b").
        // Channels of unusual bit widths may be scaled to 8 bits by rounding or
        // by truncation: one level of difference is allowed.
        int best = -1;
        for (const QString& suffix : {QString(), QStringLiteral("-0"), QStringLiteral("-b")}) {
            QString name = ref;
            name.insert(name.lastIndexOf(QLatin1Char('.')), suffix);
            const QImage expected(Suite + QStringLiteral("/ref-png-official/") + name);
            if (expected.isNull())
                continue;
            const int d = maxDifference(out, expected);
            if (d >= 0 && (best < 0 || d < best))
                best = d;
        }
        QVERIFY2(best >= 0 && best <= tolerance, qPrintable(QStringLiteral("difference %1").arg(best)));
    }

    void badFiles_data() { addRows(QStringLiteral("b")); }
    void badFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const Run run = convert(format, output, Suite + QLatin1Char('/') + file);
        verifyRefusal(run, file, output, dir.path());
    }

    // An RLE8 picture taller than the reader's bands of 64 rows, with a delta
    // that jumps across a band border, an absolute run, and an early end:
    // skipped pixels take palette colour 0.
    void rleAcrossBands_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("png") << QStringLiteral("png");
        QTest::newRow("tiff") << QStringLiteral("tiff");
    }
    void rleAcrossBands()
    {
        QFETCH(QString, format);
        const int width = 100, height = 300;
        std::vector<int> expected(width * height, 0); // [bottom-up row][x]
        QByteArray data;
        auto op = [&](int a, int b) {
            data.append(char(a));
            data.append(char(b));
        };
        int y = 0;
        while (y < height) {
            if (y == 251) {
                op(0, 1); // end of bitmap: rows 251 and up stay undefined
                break;
            }
            int x = 0;
            if (y % 7 == 3) {
                op(0, width); // one absolute run over the whole row
                for (int i = 0; i < width; ++i) {
                    const int v = (i * 3 + y) % 250 + 1;
                    data.append(char(v));
                    expected[y * width + i] = v;
                }
                x = width;
            }
            while (x < width) {
                if (y == 120 && x == 50) {
                    op(0, 2); // delta: 10 right, 15 up, across the border at row 128
                    data.append(char(10));
                    data.append(char(15));
                    y = 135;
                    x = 60;
                    continue;
                }
                const int n = std::min(10, width - x);
                const int v = (x / 10 + y) % 200 + 1;
                op(n, v);
                for (int i = 0; i < n; ++i)
                    expected[y * width + x + i] = v;
                x += n;
            }
            op(0, 0); // end of line
            ++y;
        }

        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("rle.bmp"));
        QFile f(input);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(rle8File(width, height, data));
        f.close();
        const QString output = dir.filePath(QStringLiteral("out.") + format);
        const Run run = convert(format, output, input);
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
        const QImage out(output, format.toLatin1());
        QCOMPARE(out.size(), QSize(width, height));
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col) {
                const int v = expected[(height - 1 - row) * width + col];
                if (out.pixel(col, row) != rleColour(v))
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected colour %4")
                                         .arg(col)
                                         .arg(row)
                                         .arg(out.pixel(col, row), 8, 16)
                                         .arg(v)));
            }
    }
};

QTEST_GUILESS_MAIN(TestNconvertBmpSuite)
#include "test_nconvert_bmpsuite.moc"
