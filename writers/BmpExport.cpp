#include "writers/BmpExport.h"

#include "shell/AppError.h"
#include "shell/PictureBox.h"
#include "shell/SaveFile.h"

#include "replace/Bmp.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace orvane {

namespace {

// The file is written in the layout Qt's own BMP writer uses (file header,
// BITMAPINFOHEADER, palette, uncompressed rows bottom-up, each padded to 4
// bytes), so Qt's reader and every other reader take it back unchanged:
//   Mono, MonoLSB                1 bit with the picture's two colours
//   Indexed8 with 1 to 16 colours 4 bits, otherwise 8 bits, with its palette
//   Grayscale8                   8 bits with a gray palette
//   RGB32, ARGB32 and the rest   24 bits (alpha is not stored)
// Rows are produced straight into a large buffer written in big pieces: no
// converted copy of the whole picture is made.

constexpr qsizetype Chunk = qsizetype(4) << 20;
constexpr int ConvertedBand = 64;
constexpr qint32 DefaultPixelsPerMeter = 2834; // 72 dpi, when the picture has none
constexpr int ErrOutOfMemory = 7;

enum class Kind { Mono, MonoLsb, Index4, Index8, Rgb32, Converted };

struct Layout {
    Kind kind = Kind::Rgb32;
    int bits = 24;
    QList<QRgb> palette;
    qsizetype rowBytes = 0;
    QImage::Format convertTo = QImage::Format_RGB32;
};

// The highest palette index the pixels of an 8-bit picture use.
int highestIndex(const QImage& picture)
{
    uchar highest = 0;
    for (int y = 0; y < picture.height() && highest < 255; ++y) {
        const uchar* line = picture.constScanLine(y);
        for (int x = 0; x < picture.width(); ++x)
            highest = std::max(highest, line[x]);
    }
    return highest;
}

Layout layoutOf(const QImage& picture)
{
    Layout l;
    switch (picture.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        l.kind = picture.format() == QImage::Format_Mono ? Kind::Mono : Kind::MonoLsb;
        l.bits = 1;
        l.palette = shownColorTable(picture);
        break;
    case QImage::Format_Indexed8:
        l.palette = shownColorTable(picture);
        // A palette shorter than the indices in use: the file gets every
        // entry up to the highest index, so that readers that refuse such
        // an index (and the converter) see the picture as it is shown.
        if (l.palette.size() < 256) {
            const int used = highestIndex(picture) + 1;
            if (used > l.palette.size())
                l.palette = shownColorTable(picture, used);
        }
        l.kind = l.palette.size() <= 16 ? Kind::Index4 : Kind::Index8;
        l.bits = l.palette.size() <= 16 ? 4 : 8;
        break;
    case QImage::Format_Grayscale8:
        l.kind = Kind::Index8;
        l.bits = 8;
        for (int i = 0; i < 256; ++i)
            l.palette.append(qRgb(i, i, i));
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        l.kind = Kind::Rgb32;
        break;
    default:
        l.kind = Kind::Converted;
        l.convertTo = picture.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        break;
    }
    l.rowBytes = qsizetype(replace::bmp::rowBytes(quint64(picture.width()), unsigned(l.bits)));
    return l;
}

// Collects the file's bytes and writes them in large pieces.
class ChunkWriter {
public:
    ChunkWriter(SaveFile& file, qsizetype capacity)
        : file_(file)
        , buffer_(std::size_t(capacity))
    { }

    // Room for `size` more bytes, writing out what is collected if needed;
    // nullptr when the write failed.
    uchar* reserve(qsizetype size)
    {
        if (used_ + size > qsizetype(buffer_.size()) && !flush())
            return nullptr;
        uchar* at = buffer_.data() + used_;
        used_ += size;
        return at;
    }
    bool flush()
    {
        const qsizetype size = used_;
        used_ = 0;
        return file_.write(buffer_.data(), std::size_t(size)) == 0;
    }

private:
    SaveFile& file_;
    std::vector<uchar> buffer_;
    qsizetype used_ = 0;
};

void writeHeaders(uchar* at, const QImage& picture, const Layout& l)
{
    const int dpmX = picture.dotsPerMeterX();
    const int dpmY = picture.dotsPerMeterY();
    replace::bmp::Header h;
    h.width = quint32(picture.width());
    h.height = quint32(picture.height());
    h.bits = quint16(l.bits);
    h.rowBytes = quint32(l.rowBytes);
    h.pixelsPerMetreX = quint32(dpmX > 0 ? dpmX : DefaultPixelsPerMeter);
    h.pixelsPerMetreY = quint32(dpmY > 0 ? dpmY : DefaultPixelsPerMeter);
    h.colours = h.importantColours = quint32(l.palette.size());
    replace::bmp::putHeaders(at, h);
    at += replace::bmp::HeadersSize;
    for (QRgb c : l.palette) {
        replace::bmp::putPaletteEntry(at, uchar(qRed(c)), uchar(qGreen(c)), uchar(qBlue(c)));
        at += 4;
    }
}

constexpr std::array<uchar, 256> makeBitReversal()
{
    std::array<uchar, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int r = 0;
        for (int b = 0; b < 8; ++b)
            if (i & (1 << b))
                r |= 0x80 >> b;
        table[std::size_t(i)] = uchar(r);
    }
    return table;
}
constexpr std::array<uchar, 256> BitReversal = makeBitReversal();

void rgb32Row(const uchar* line, int width, uchar* out)
{
    const QRgb* p = reinterpret_cast<const QRgb*>(line);
    for (int x = 0; x < width; ++x) {
        const QRgb v = p[x];
        out[0] = uchar(qBlue(v));
        out[1] = uchar(qGreen(v));
        out[2] = uchar(qRed(v));
        out += 3;
    }
}

// One file row in the layout `l`; the padding at its end is zero.
void encodeRow(const Layout& l, const uchar* line, int width, uchar* out)
{
    qsizetype used = 0;
    switch (l.kind) {
    case Kind::Mono:
    case Kind::MonoLsb: {
        used = (qsizetype(width) + 7) / 8;
        if (l.kind == Kind::Mono) {
            std::memcpy(out, line, std::size_t(used));
        } else {
            for (qsizetype i = 0; i < used; ++i)
                out[i] = BitReversal[line[i]];
        }
        if (width % 8) // bits beyond the last pixel
            out[used - 1] &= uchar(0xFF << (8 - width % 8));
        break;
    }
    case Kind::Index4:
        used = (qsizetype(width) + 1) / 2;
        for (int x = 0; x + 1 < width; x += 2)
            out[x / 2] = uchar(((line[x] & 0x0F) << 4) | (line[x + 1] & 0x0F));
        if (width % 2)
            out[used - 1] = uchar((line[width - 1] & 0x0F) << 4);
        break;
    case Kind::Index8:
        used = width;
        std::memcpy(out, line, std::size_t(used));
        break;
    case Kind::Rgb32:
    case Kind::Converted:
        used = qsizetype(width) * 3;
        rgb32Row(line, width, out);
        break;
    }
    std::memset(out + used, 0, std::size_t(l.rowBytes - used));
}

void writePicture(const QImage& picture, const QString& path, NewFileMode mode)
{
    if (picture.isNull())
        raiseError(ErrInvalidCall, path + QStringLiteral(": There is no picture to save."));
    if (path.isEmpty())
        raiseError(ErrInvalidCall, QStringLiteral("No file name was given."));

    const Layout l = layoutOf(picture);
    const qint64 offBits = qint64(replace::bmp::HeadersSize) + 4 * l.palette.size();
    const qint64 fileSize = offBits + qint64(l.rowBytes) * picture.height();
    if (fileSize > qint64(std::numeric_limits<quint32>::max()))
        raiseError(ErrInvalidCall,
            path
                + QStringLiteral(": The picture (%1 x %2 pixels) is too large for a BMP file.")
                      .arg(picture.width())
                      .arg(picture.height()));

    SaveFile file(path, mode);

    ChunkWriter out(file, std::max(Chunk, qsizetype(offBits) + l.rowBytes));
    writeHeaders(out.reserve(qsizetype(offBits)), picture, l);

    const int width = picture.width();
    QImage band; // converted rows band..band+ConvertedBand-1 for other formats
    int bandTop = 0;
    for (int y = picture.height() - 1; y >= 0; --y) {
        const uchar* line = nullptr;
        if (l.kind == Kind::Converted) {
            if (band.isNull() || y < bandTop) {
                bandTop = std::max(0, y - ConvertedBand + 1);
                band = QImage();
                band = picture.copy(0, bandTop, width, y - bandTop + 1).convertToFormat(l.convertTo);
                if (band.isNull())
                    throw std::bad_alloc();
            }
            line = band.constScanLine(y - bandTop);
        } else {
            line = picture.constScanLine(y);
        }
        uchar* row = out.reserve(l.rowBytes);
        if (!row)
            file.raiseFailure(file.error());
        encodeRow(l, line, width, row);
    }
    if (!out.flush())
        file.raiseFailure(file.error());
    file.commit();
}

} // namespace

void SavePicture(const QImage& picture, const QString& path, NewFileMode mode)
{
    try {
        writePicture(picture, path, mode);
    } catch (const std::bad_alloc&) {
        raiseError(ErrOutOfMemory, path + QStringLiteral(": Out of memory."));
    }
}

} // namespace orvane
