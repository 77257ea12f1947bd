#pragma once
// Runs the built converter as a real child process and compares pictures
// decoded by Qt's own PNG reader and TIFF plugin, or by libtiff itself.
#include "common/Pictures.h"
#include "common/TestFiles.h"

#include <QColorSpace>
#include <QDir>
#include <QImage>
#include <QString>
#include <QStringList>

#include "common/Spawn.h"

#include <QFile>

#include <tiffio.h>

namespace nconvert_test {

struct Run {
    int exitCode = -1;
    bool crashed = false;
    QString errors; // standard error
};

inline QString converterPath()
{
    return QStringLiteral(NCONVERT_EXE);
}

inline Run runConverter(
    const QStringList& arguments, const QString& program = converterPath(), const QStringList& prefix = {})
{
    orvane::test::Spawn p;
    const bool ended = prefix.isEmpty()
        ? p.run(program, arguments, QProcessEnvironment::systemEnvironment(), 120000,
            orvane::test::Spawn::Errors::Capture)
        : p.run(prefix.first(), prefix.mid(1) + QStringList{program} + arguments,
            QProcessEnvironment::systemEnvironment(), 120000, orvane::test::Spawn::Errors::Capture);
    Run r;
    r.crashed = !ended || p.crashed();
    r.exitCode = p.exitCode();
    r.errors = QString::fromLocal8Bit(p.errors());
    return r;
}

inline Run convert(const QString& format, const QString& output, const QString& input)
{
    return runConverter({QStringLiteral("-out"), format, QStringLiteral("-o"), output, input});
}

// Files the converter may have left behind in a folder (its temporary files
// are hidden and named ".<target's name>.nconvert-XXXXXX").
inline QStringList leftovers(const QString& dir)
{
    return orvane::test::folderEntries(dir, {QStringLiteral(".*.nconvert-*")});
}

using orvane::test::maxDifference;

// How a PNG or TIFF file stores its pixels, e.g. "palette 4", "gray 1",
// "rgb 8", "rgba 8" (the kind and the bits per sample): PNG's header read
// directly, TIFF's through libtiff.
inline QString storedForm(const QString& path)
{
    int bits = 0;
    const char* kind = "?";
    if (path.endsWith(QLatin1String(".png"))) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return QStringLiteral("unreadable");
        const QByteArray h = f.read(26);
        if (h.size() < 26)
            return QStringLiteral("truncated");
        bits = uchar(h[24]);
        const char* kinds[] = {"gray", "?", "rgb", "palette", "gray+alpha", "?", "rgba"};
        kind = uchar(h[25]) <= 6 ? kinds[uchar(h[25])] : "?";
    } else {
        TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
        if (tif == nullptr)
            return QStringLiteral("unreadable");
        quint16 b = 0, samples = 0, photometric = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &b);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFClose(tif);
        bits = b;
        if (photometric == PHOTOMETRIC_PALETTE && samples == 1)
            kind = "palette";
        else if ((photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE)
            && samples == 1)
            kind = "gray";
        else if (photometric == PHOTOMETRIC_RGB)
            kind = samples == 3 ? "rgb" : samples == 4 ? "rgba" : "?";
    }
    return QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(bits);
}

// Bits per pixel as the file stores them.
inline int storedBitsPerPixel(const QString& path)
{
    const QStringList form = storedForm(path).split(QLatin1Char(' '));
    const int samples = form[0] == QLatin1String("rgb") ? 3
        : form[0] == QLatin1String("rgba")              ? 4
        : form[0] == QLatin1String("gray+alpha")        ? 2
                                                        : 1;
    return form.size() == 2 ? samples * form[1].toInt() : -1;
}

// A TIFF file's pixels as libtiff's own RGBA reader decodes them, with its
// resolution; a null picture when it cannot.
inline QImage decodeTiff(const QString& path)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (tif == nullptr)
        return {};
    quint32 width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    // libtiff's packed ABGR words, top row first, premultiplied by alpha.
    QImage img(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
    std::vector<quint32> raster(std::size_t(width) * height);
    const bool ok = !img.isNull()
        && TIFFReadRGBAImageOriented(tif, width, height, raster.data(), ORIENTATION_TOPLEFT, 1) == 1;
    float x = 0, y = 0;
    quint16 unit = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y)
        && TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH) {
        img.setDotsPerMeterX(qRound(x / 0.0254));
        img.setDotsPerMeterY(qRound(y / 0.0254));
    }
    TIFFClose(tif);
    if (!ok)
        return {};
    for (quint32 row = 0; row < height; ++row) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(int(row)));
        for (quint32 col = 0; col < width; ++col) {
            const quint32 v = raster[std::size_t(row) * width + col];
            line[col] = qRgba(int(TIFFGetR(v)), int(TIFFGetG(v)), int(TIFFGetB(v)), int(TIFFGetA(v)));
        }
    }
    return img;
}

} // namespace nconvert_test
