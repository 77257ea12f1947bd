#include "BmpReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

namespace nconvert::bmp {
namespace {

constexpr std::uint32_t MaxWidth = 1u << 20;
constexpr std::uint32_t MaxHeight = 1u << 24;
// Above this many pixels per metre (25,400 dpi) a resolution is not real.
constexpr std::int64_t MaxPixelsPerMetre = 1000000;
// An RLE stream defines at most 255 pixels per two bytes; pictures that claim
// far more pixels than their data could describe are refused.
constexpr std::uint64_t MaxRlePixelsPerByte = 256;
// Bytes of file read at once when reading uncompressed rows.
constexpr std::size_t ReadBatchBytes = 1u << 20;
constexpr std::uint32_t ProfileEmbedded = 0x4d424544; // "MBED"
constexpr std::uint32_t MaxProfileBytes = 16u << 20;

enum Compression : std::uint32_t {
    BiRgb = 0,
    BiRle8 = 1,
    BiRle4 = 2,
    BiBitfields = 3,
    BiJpeg = 4,
    BiPng = 5,
    BiAlphaBitfields = 6,
};

std::uint16_t le16(const std::uint8_t* p)
{
    return std::uint16_t(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}

std::string num(std::uint64_t v)
{
    return std::to_string(v);
}

const char* const ChannelNames[4] = {"red", "green", "blue", "alpha"};

// Buffered sequential reading of the RLE stream, ending at `end`.
class ByteStream {
public:
    ByteStream(const Source& source, std::uint64_t offset, std::uint64_t end)
        : source_(source)
        , offset_(offset)
        , end_(end)
    { }

    std::uint64_t offset() const { return offset_; }
    bool atEnd() const { return offset_ >= end_; }

    // Reads n bytes; false when the stream ends first (nothing is consumed then).
    bool read(std::uint8_t* out, std::size_t n)
    {
        if (end_ - offset_ < n)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            if (offset_ < bufferStart_ || offset_ >= bufferStart_ + bufferFill_)
                refill();
            out[i] = buffer_[offset_ - bufferStart_];
            ++offset_;
        }
        return true;
    }
    void skip(std::uint64_t n) { offset_ += n; }

private:
    void refill()
    {
        bufferStart_ = offset_;
        bufferFill_ = std::size_t(std::min<std::uint64_t>(sizeof buffer_, end_ - offset_));
        source_.read(bufferStart_, buffer_, bufferFill_);
    }

    const Source& source_;
    std::uint64_t offset_;
    std::uint64_t end_;
    std::uint64_t bufferStart_ = 0;
    std::size_t bufferFill_ = 0;
    std::uint8_t buffer_[16384];
};

} // namespace

// ---------------------------------------------------------------------------

FileSource::FileSource(int fd)
    : fd_(fd)
{
    struct stat st { };
    if (fstat(fd, &st) != 0)
        throw Error(std::string("cannot read the file: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Error("not a regular file");
    size_ = std::uint64_t(st.st_size);
}

void FileSource::read(std::uint64_t offset, void* buffer, std::size_t count) const
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t n = pread(fd_, p, count, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Error(std::string("cannot read the file: ") + std::strerror(errno));
        }
        if (n == 0)
            throw Error("the file became shorter while it was being read");
        p += n;
        offset += std::uint64_t(n);
        count -= std::size_t(n);
    }
}

void MemorySource::read(std::uint64_t offset, void* buffer, std::size_t count) const
{
    if (offset > size_ || size_ - offset < count)
        throw Error("read past the end of the data");
    if (count != 0)
        std::memcpy(buffer, data_ + offset, count);
}

std::size_t ImageInfo::rowBytes() const
{
    switch (format) {
    case PixelFormat::Indexed:
        return (std::size_t(width) * std::size_t(indexBits) + 7) / 8;
    case PixelFormat::Rgb8:
        return std::size_t(width) * 3;
    case PixelFormat::Rgba8:
        return std::size_t(width) * 4;
    }
    return 0;
}

bool ImageInfo::paletteIsGrayRamp() const
{
    if (format != PixelFormat::Indexed || palette.size() != (std::size_t(1) << indexBits))
        return false;
    const int max = (1 << indexBits) - 1;
    for (int i = 0; i <= max; ++i) {
        const auto v = std::uint8_t(i * 255 / max);
        if (!(palette[std::size_t(i)] == Rgb{v, v, v}))
            return false;
    }
    return true;
}

RowScratch::RowScratch() = default;
RowScratch::~RowScratch() = default;

// ---------------------------------------------------------------------------

Reader::Reader(const Source& source)
    : source_(source)
{
    parseHeader();
    if (compression_ != BiRgb)
        scanRle();
}

Reader::~Reader() = default;

void Reader::parseHeader()
{
    const std::uint64_t fileSize = source_.size();
    if (fileSize < 14 + 12)
        throw Error("file too short for a BMP picture (" + num(fileSize) + " bytes)");
    std::uint8_t fh[18];
    source_.read(0, fh, sizeof fh);
    if (fh[0] != 'B' || fh[1] != 'M')
        throw Error("not a BMP picture (no \"BM\" signature)");
    const std::uint32_t declaredSize = le32(fh + 2);
    if (declaredSize > fileSize)
        throw Error(
            "file is truncated: its header gives " + num(declaredSize) + " bytes, it has " + num(fileSize));
    const std::uint32_t offBits = le32(fh + 10);
    const std::uint32_t headerSize = le32(fh + 14);

    const bool os2v1 = headerSize == 12;
    const bool windows
        = headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 108 || headerSize == 124;
    const bool os2v2 = !windows && headerSize >= 16 && headerSize <= 64;
    if (!os2v1 && !windows && !os2v2)
        throw Error("unknown BMP header size of " + num(headerSize) + " bytes");
    if (14 + std::uint64_t(headerSize) > fileSize)
        throw Error("file is truncated inside its header");
    std::uint8_t h[124] = {};
    source_.read(14, h, headerSize);

    std::int64_t width, height;
    std::uint32_t planes, bpp, compression = BiRgb, sizeImage = 0, clrUsed = 0;
    std::int64_t ppmX = 0, ppmY = 0;
    if (os2v1) {
        width = le16(h + 4);
        height = le16(h + 6);
        planes = le16(h + 8);
        bpp = le16(h + 10);
    } else {
        width = std::int32_t(le32(h + 4));
        height = std::int32_t(le32(h + 8));
        planes = le16(h + 12);
        bpp = le16(h + 14);
        if (headerSize >= 20)
            compression = le32(h + 16);
        if (headerSize >= 24)
            sizeImage = le32(h + 20);
        if (headerSize >= 32) {
            ppmX = std::int32_t(le32(h + 24));
            ppmY = std::int32_t(le32(h + 28));
        }
        if (headerSize >= 36)
            clrUsed = le32(h + 32);
    }

    if (planes != 1)
        throw Error("invalid number of colour planes (" + num(planes) + ", must be 1)");
    if (width <= 0)
        throw Error("invalid image width " + std::to_string(width));
    if (height == 0)
        throw Error("invalid image height 0");
    topDown_ = height < 0;
    if (topDown_)
        height = -height;
    if (width > MaxWidth || height > MaxHeight)
        throw Error("image too large (" + num(std::uint64_t(width)) + " x " + num(std::uint64_t(height))
            + " pixels)");
    if (ppmX < 0 || ppmY < 0 || ppmX > MaxPixelsPerMetre || ppmY > MaxPixelsPerMetre)
        throw Error("implausible resolution of " + std::to_string(ppmX) + " x " + std::to_string(ppmY)
            + " pixels per metre");

    if (os2v2 && compression == 3)
        throw Error("OS/2 Huffman 1D compression is not supported");
    if (os2v2 && compression == 4)
        throw Error("OS/2 RLE24 compression is not supported");
    switch (compression) {
    case BiRgb:
        if (bpp == 64)
            throw Error("64 bits per pixel are not supported");
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            throw Error("invalid bit depth of " + num(bpp) + " bits per pixel");
        break;
    case BiRle8:
    case BiRle4:
        if (bpp != (compression == BiRle8 ? 8u : 4u))
            throw Error("RLE" + num(bpp == 8 ? 8 : 4) + " compression with " + num(bpp) + " bits per pixel");
        if (topDown_)
            throw Error("RLE-compressed picture stored top-down, which BMP does not allow");
        break;
    case BiBitfields:
    case BiAlphaBitfields:
        if (bpp != 16 && bpp != 32)
            throw Error("bit fields with " + num(bpp) + " bits per pixel");
        break;
    case BiJpeg:
        throw Error("JPEG-compressed BMP pictures are not supported");
    case BiPng:
        throw Error("PNG-compressed BMP pictures are not supported");
    default:
        throw Error("unknown compression type " + num(compression));
    }
    compression_ = compression == BiRle8 ? 1 : compression == BiRle4 ? 2 : 0;
    bitsPerPixel_ = int(bpp);

    info_.width = std::uint32_t(width);
    info_.height = std::uint32_t(height);
    info_.pixelsPerMetreX = std::uint32_t(ppmX);
    info_.pixelsPerMetreY = std::uint32_t(ppmY);

    // Bit fields: in the header (52 bytes and more) or just after it.
    std::uint64_t headerEnd = 14 + std::uint64_t(headerSize);
    if (bpp == 16 || bpp == 32) {
        std::uint32_t masks[4] = {};
        if (compression == BiBitfields || compression == BiAlphaBitfields) {
            bitfields_ = true;
            if (windows && headerSize >= 52) {
                for (int i = 0; i < 3; ++i)
                    masks[i] = le32(h + 40 + 4 * i);
                if (headerSize >= 56)
                    masks[3] = le32(h + 52);
            } else {
                const int count = compression == BiAlphaBitfields ? 4 : 3;
                std::uint8_t m[16];
                if (headerEnd + 4u * std::uint64_t(count) > fileSize)
                    throw Error("file is truncated inside its bit field masks");
                source_.read(headerEnd, m, 4u * std::size_t(count));
                for (int i = 0; i < count; ++i)
                    masks[i] = le32(m + 4 * i);
                headerEnd += 4u * std::uint64_t(count);
            }
        } else if (bpp == 16) {
            masks[0] = 0x7c00;
            masks[1] = 0x03e0;
            masks[2] = 0x001f;
        } else {
            masks[0] = 0xff0000;
            masks[1] = 0x00ff00;
            masks[2] = 0x0000ff;
        }
        const std::uint64_t pixelMask = bpp == 16 ? 0xffffu : 0xffffffffu;
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t m = masks[c];
            if (m == 0) {
                if (c < 3)
                    throw Error(std::string("the bit field mask for ") + ChannelNames[c] + " is empty");
                continue;
            }
            if ((m & ~pixelMask) != 0)
                throw Error(std::string("the bit field mask for ") + ChannelNames[c] + " lies outside the "
                    + num(bpp) + " bits of a pixel");
            const int shift = std::countr_zero(m);
            const int bits = std::popcount(m);
            if ((std::uint64_t(m) >> shift) != (std::uint64_t(1) << bits) - 1)
                throw Error(std::string("the bit field mask for ") + ChannelNames[c] + " is not contiguous");
            for (int o = 0; o < c; ++o)
                if ((masks[o] & m) != 0)
                    throw Error(std::string("the bit field masks for ") + ChannelNames[o] + " and "
                        + ChannelNames[c] + " overlap");
            channels_[c] = {m, shift, bits};
        }
        info_.format = channels_[3].mask != 0 ? PixelFormat::Rgba8 : PixelFormat::Rgb8;
    } else if (bpp == 24) {
        info_.format = PixelFormat::Rgb8;
    } else {
        info_.format = PixelFormat::Indexed;
        info_.indexBits = int(bpp);
    }

    // The palette.
    std::uint64_t paletteEnd = headerEnd;
    if (info_.format == PixelFormat::Indexed) {
        const std::uint64_t entrySize = os2v1 ? 3 : 4;
        const std::uint64_t maxColours = std::uint64_t(1) << bpp;
        std::uint64_t colours = clrUsed != 0 ? clrUsed : maxColours;
        if (headerEnd + colours * entrySize > fileSize)
            throw Error("the palette of " + num(colours) + " colours does not fit in the file");
        colours = std::min(colours, maxColours);
        // Some writers store fewer colours than the header implies; the pixel
        // data offset tells.
        if (offBits >= headerEnd && offBits < headerEnd + colours * entrySize)
            colours = (offBits - headerEnd) / entrySize;
        if (colours == 0)
            throw Error("the palette is empty");
        std::vector<std::uint8_t> raw(std::size_t(colours * entrySize));
        source_.read(headerEnd, raw.data(), raw.size());
        info_.palette.resize(std::size_t(colours));
        for (std::size_t i = 0; i < info_.palette.size(); ++i) {
            const std::uint8_t* e = raw.data() + i * entrySize;
            info_.palette[i] = Rgb{e[2], e[1], e[0]};
        }
        paletteEnd = headerEnd + colours * entrySize;
    }

    // An embedded colour profile; its offset counts from the info header.
    if (windows && headerSize >= 124 && le32(h + 56) == ProfileEmbedded) {
        const std::uint64_t offset = 14 + std::uint64_t(le32(h + 112));
        const std::uint32_t size = le32(h + 116);
        if (size > MaxProfileBytes || offset > fileSize || size > fileSize - offset)
            throw Error("the embedded colour profile (" + num(size) + " bytes at " + num(offset)
                + ") lies outside the file");
        info_.iccProfile.resize(size);
        source_.read(offset, info_.iccProfile.data(), size);
    }

    // The pixel data.
    dataOffset_ = offBits != 0 ? offBits : paletteEnd;
    if (dataOffset_ < headerEnd)
        throw Error("the pixel data offset " + num(dataOffset_) + " lies inside the header");
    if (dataOffset_ >= fileSize)
        throw Error("file is truncated before its pixel data");
    if (sizeImage != 0 && dataOffset_ + sizeImage > fileSize)
        throw Error("the header gives " + num(sizeImage) + " bytes of pixel data, the file holds "
            + num(fileSize - dataOffset_));
    stride_ = (std::uint64_t(width) * bpp + 31) / 32 * 4;
    if (compression_ == 0) {
        const std::uint64_t need = stride_ * std::uint64_t(height);
        if (need > fileSize - dataOffset_)
            throw Error("file is truncated: the pixels need " + num(need) + " bytes, the file holds "
                + num(fileSize - dataOffset_));
        dataEnd_ = dataOffset_ + need;
    } else {
        dataEnd_ = sizeImage != 0 ? dataOffset_ + sizeImage : fileSize;
        const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
        if (pixels / MaxRlePixelsPerByte > dataEnd_ - dataOffset_)
            throw Error("image size of " + num(std::uint64_t(width)) + " x " + num(std::uint64_t(height))
                + " pixels is far beyond what its " + num(dataEnd_ - dataOffset_)
                + " bytes of RLE data can hold");
    }
}

// ---------------------------------------------------------------------------
// RLE

namespace {
std::uint32_t rleBandRows(std::uint32_t width)
{
    return std::clamp<std::uint32_t>((1u << 20) / width, 1, 64);
}
} // namespace

void Reader::scanRle()
{
    const std::uint32_t band = rleBandRows(info_.width);
    const std::size_t bands = (info_.height + band - 1) / band;
    rleCheckpoints_.reserve(bands);
    RleState end = runRle(RleState{dataOffset_, 0, 0, false}, 0, std::numeric_limits<std::uint32_t>::max(),
        nullptr, &rleCheckpoints_);
    end.ended = true;
    while (rleCheckpoints_.size() < bands)
        rleCheckpoints_.push_back(end);
}

Reader::RleState Reader::runRle(RleState s, std::uint32_t yBegin, std::uint32_t yEnd, std::uint8_t* block,
    std::vector<RleState>* checkpoints) const
{
    const bool rle8 = compression_ == 1;
    const std::uint32_t width = info_.width;
    const std::uint32_t height = info_.height;
    const std::uint32_t band = rleBandRows(width);
    const std::size_t bands = (height + band - 1) / band;
    const std::size_t paletteSize = info_.palette.size();
    ByteStream in(source_, s.offset, dataEnd_);
    std::uint8_t absolute[256];

    auto rowError = [&](const char* what) {
        return Error(std::string("invalid RLE data at byte ") + num(in.offset()) + ": " + what + " (row "
            + num(height - 1 - std::min(s.y, height - 1)) + " from the top)");
    };
    auto put = [&](std::uint32_t x, std::uint8_t index) {
        if (checkpoints != nullptr && index >= paletteSize)
            throw Error(
                "pixel index " + num(index) + " outside the palette of " + num(paletteSize) + " colours");
        if (block != nullptr && s.y >= yBegin)
            block[std::size_t(s.y - yBegin) * width + x] = index;
    };

    while (!s.ended && s.y < yEnd) {
        if (checkpoints != nullptr) {
            while (checkpoints->size() < bands && std::uint64_t(checkpoints->size()) * band <= s.y)
                checkpoints->push_back(RleState{in.offset(), s.x, s.y, false});
        }
        std::uint8_t op[2];
        if (!in.read(op, 2)) {
            if (s.y >= height)
                break; // every row ended; the end-of-bitmap marker is missing, which is harmless
            throw rowError("the data ends before the end of the picture");
        }
        if (op[0] != 0) {
            // An encoded run of op[0] pixels.
            const std::uint32_t n = op[0];
            if (s.y >= height)
                throw rowError("pixels after the last row");
            if (n > width - s.x)
                throw rowError("a run goes past the end of the row");
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint8_t v = rle8 ? op[1] : ((i & 1) == 0 ? op[1] >> 4 : op[1] & 15);
                put(s.x + i, v);
            }
            s.x += n;
            continue;
        }
        switch (op[1]) {
        case 0: // end of line
            s.x = 0;
            ++s.y;
            break;
        case 1: // end of bitmap
            s.ended = true;
            break;
        case 2: { // delta
            std::uint8_t d[2];
            if (!in.read(d, 2))
                throw rowError("the data ends inside a delta");
            if (d[0] > width - std::min(s.x, width))
                throw rowError("a delta moves past the end of the row");
            if (d[1] > height - std::min(s.y, height))
                throw rowError("a delta moves past the last row");
            s.x += d[0];
            s.y += d[1];
            break;
        }
        default: { // absolute run of op[1] pixels
            const std::uint32_t n = op[1];
            const std::uint32_t bytes = rle8 ? n : (n + 1) / 2;
            if (s.y >= height)
                throw rowError("pixels after the last row");
            if (n > width - s.x)
                throw rowError("an absolute run goes past the end of the row");
            if (!in.read(absolute, bytes))
                throw rowError("the data ends inside an absolute run");
            if ((bytes & 1) != 0)
                in.skip(1); // runs are padded to 16 bits
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint8_t v
                    = rle8 ? absolute[i] : ((i & 1) == 0 ? absolute[i / 2] >> 4 : absolute[i / 2] & 15);
                put(s.x + i, v);
            }
            s.x += n;
            break;
        }
        }
    }
    s.offset = in.offset();
    return s;
}

void Reader::readRleRows(
    std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const
{
    const std::uint32_t width = info_.width;
    const std::uint32_t band = rleBandRows(width);
    const std::size_t rowBytes = info_.rowBytes();
    for (std::uint32_t r = 0; r < count; ++r) {
        const std::uint32_t y = info_.height - 1 - (firstRow + r); // from the bottom
        const std::int64_t index = y / band;
        if (scratch.rleBlockIndex != index) {
            scratch.rleBlockIndex = -1;
            scratch.rleBlock.assign(std::size_t(band) * width, 0); // undefined pixels: index 0
            const std::uint32_t y0 = std::uint32_t(index) * band;
            const std::uint32_t y1 = std::min(y0 + band, info_.height);
            runRle(rleCheckpoints_[std::size_t(index)], y0, y1, scratch.rleBlock.data(), nullptr);
            scratch.rleBlockIndex = index;
        }
        const std::uint8_t* src = scratch.rleBlock.data() + std::size_t(y - index * band) * width;
        std::uint8_t* dst = out + std::size_t(r) * rowBytes;
        if (compression_ == 1) {
            std::memcpy(dst, src, width);
        } else {
            std::memset(dst, 0, rowBytes);
            for (std::uint32_t x = 0; x < width; ++x)
                dst[x / 2] |= std::uint8_t(src[x] << ((x & 1) ? 0 : 4));
        }
    }
}

// ---------------------------------------------------------------------------
// Uncompressed

void Reader::checkIndices(const std::uint8_t* row) const
{
    const std::size_t paletteSize = info_.palette.size();
    const int bits = info_.indexBits;
    if (paletteSize >= (std::size_t(1) << bits))
        return;
    const int perByte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    for (std::uint32_t x = 0; x < info_.width; ++x) {
        const int shift = 8 - bits * (int(x % unsigned(perByte)) + 1);
        const unsigned v = (row[x / unsigned(perByte)] >> shift) & mask;
        if (v >= paletteSize)
            throw Error("pixel index " + num(v) + " outside the palette of " + num(paletteSize) + " colours");
    }
}

void Reader::convertRow(const std::uint8_t* raw, std::uint8_t* out) const
{
    const std::uint32_t width = info_.width;
    switch (bitsPerPixel_) {
    case 1:
    case 2:
    case 4:
    case 8: {
        const std::size_t rowBytes = info_.rowBytes();
        std::memcpy(out, raw, rowBytes);
        const unsigned usedBits = unsigned(std::uint64_t(width) * unsigned(bitsPerPixel_) % 8);
        if (usedBits != 0)
            out[rowBytes - 1] &= std::uint8_t(0xff00u >> usedBits);
        checkIndices(out);
        return;
    }
    case 24:
        for (std::uint32_t x = 0; x < width; ++x, raw += 3, out += 3) {
            out[0] = raw[2];
            out[1] = raw[1];
            out[2] = raw[0];
        }
        return;
    default:
        break;
    }

    const bool alpha = info_.format == PixelFormat::Rgba8;
    const int channels = alpha ? 4 : 3;
    const bool bytesOnly = channels_[0].bits == 8 && channels_[1].bits == 8 && channels_[2].bits == 8
        && (!alpha || channels_[3].bits == 8);
    if (bitsPerPixel_ == 32 && bytesOnly) {
        for (std::uint32_t x = 0; x < width; ++x, raw += 4, out += channels) {
            const std::uint32_t v = le32(raw);
            for (int c = 0; c < channels; ++c)
                out[c] = std::uint8_t(v >> channels_[c].shift);
        }
        return;
    }
    for (std::uint32_t x = 0; x < width; ++x, out += channels) {
        std::uint32_t v;
        if (bitsPerPixel_ == 16) {
            v = le16(raw);
            raw += 2;
        } else {
            v = le32(raw);
            raw += 4;
        }
        for (int c = 0; c < channels; ++c) {
            const Channel& ch = channels_[c];
            const std::uint64_t value = (v & ch.mask) >> ch.shift;
            const std::uint64_t max = (std::uint64_t(1) << ch.bits) - 1;
            out[c] = std::uint8_t((value * 255 + max / 2) / max);
        }
    }
}

void Reader::readUncompressedRows(
    std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const
{
    if (count == 0)
        return;
    const std::size_t rowBytes = info_.rowBytes();
    const std::uint32_t batch = std::uint32_t(std::clamp<std::uint64_t>(ReadBatchBytes / stride_, 1, count));
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t n = std::min(batch, count - done);
        const std::uint32_t top = firstRow + done;
        // File rows [fileRow, fileRow + n) hold the wanted rows, in reverse order
        // for a bottom-up picture.
        const std::uint64_t fileRow = topDown_ ? top : std::uint64_t(info_.height) - top - n;
        const std::size_t bytes = std::size_t(stride_ * n);
        if (scratch.raw.size() < bytes)
            scratch.raw.resize(bytes);
        source_.read(dataOffset_ + fileRow * stride_, scratch.raw.data(), bytes);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t src = topDown_ ? i : n - 1 - i;
            convertRow(scratch.raw.data() + std::size_t(src) * std::size_t(stride_),
                out + std::size_t(done + i) * rowBytes);
        }
        done += n;
    }
}

void Reader::readRows(
    std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const
{
    if (firstRow > info_.height || count > info_.height - firstRow)
        throw Error("rows " + num(firstRow) + " to " + num(std::uint64_t(firstRow) + count)
            + " lie outside the picture");
    if (compression_ == 0)
        readUncompressedRows(firstRow, count, out, scratch);
    else
        readRleRows(firstRow, count, out, scratch);
}

} // namespace nconvert::bmp
