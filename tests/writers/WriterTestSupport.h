#pragma once
// Pictures and file helpers shared by the writer tests.
#include "common/TestFiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QStringList>

#include <cmath>
#include <cstring>

namespace orvane::test {

// A picture like a scanned photograph: smooth gradients, fine detail of
// several frequencies in each channel, and sensor noise.
inline QImage photoLike(int width, int height, quint32 seed = 7)
{
    QImage img(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const double r = 40 + 170 * fx + 25 * std::sin(x * 0.21) * std::cos(y * 0.05);
            const double g = 60 + 120 * fy + 30 * std::sin((x + y) * 0.11);
            const double b = 200 - 150 * fx * fy + 20 * std::cos(x * 0.6 + y * 0.3);
            const auto noisy = [&](double v) {
                v += (rng.generateDouble() + rng.generateDouble() - 1.0) * 6.0;
                return qBound(0, int(std::lround(v)), 255);
            };
            line[x] = qRgb(noisy(r), noisy(g), noisy(b));
        }
    }
    img.setDotsPerMeterX(11811); // 300 dpi
    img.setDotsPerMeterY(11811);
    return img;
}

// Random pixel bytes over a picture whose row padding was cleared first
// (QImage::fill leaves the padding of narrow formats as it found it).
inline QImage randomPicture(int width, int height, QImage::Format format, quint32 seed)
{
    QImage img(width, height, format);
    std::memset(img.bits(), 0, std::size_t(img.sizeInBytes()));
    QRandomGenerator rng(seed);
    const int used = (width * img.depth() + 7) / 8;
    for (int y = 0; y < height; ++y) {
        uchar* line = img.scanLine(y);
        for (int i = 0; i < used; ++i)
            line[i] = uchar(rng.bounded(256));
        if (img.depth() < 8 && width * img.depth() % 8) // keep the padding bits clear
            line[used - 1] &= uchar(
                format == QImage::Format_MonoLSB ? 0xFF >> (8 - width % 8) : 0xFF << (8 - width % 8));
    }
    return img;
}

// An 8-bit picture with a 256-level gray palette, the way Qt reads a
// scanner's 8-bit gray BMP.
inline QImage grayScan(int width, int height, quint32 seed)
{
    QImage img = randomPicture(width, height, QImage::Format_Indexed8, seed);
    QList<QRgb> gray;
    for (int i = 0; i < 256; ++i)
        gray.append(qRgb(i, i, i));
    img.setColorTable(gray);
    return img;
}

inline bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QImage readPicture(const QString& path)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read();
}

// What Qt's own BMP writer makes of the picture.
inline QByteArray qtBmp(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "bmp");
    writer.write(picture);
    return bytes;
}

} // namespace orvane::test
