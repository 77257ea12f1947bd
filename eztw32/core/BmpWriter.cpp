#include "BmpWriter.h"

#include "Log.h"

#include "replace/Bmp.h"
#include "replace/Replace.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace eztw32 {
namespace {

constexpr std::size_t ChunkBytes = 256 * 1024;

int bitsPerPixel(BmpWriter::Kind kind)
{
    switch (kind) {
    case BmpWriter::Kind::Rgb24:
        return 24;
    case BmpWriter::Kind::Gray8:
        return 8;
    case BmpWriter::Kind::BlackWhite1:
        return 1;
    }
    return 24;
}

int paletteEntries(BmpWriter::Kind kind)
{
    switch (kind) {
    case BmpWriter::Kind::Rgb24:
        return 0;
    case BmpWriter::Kind::Gray8:
        return 256;
    case BmpWriter::Kind::BlackWhite1:
        return 2;
    }
    return 0;
}

} // namespace

int BmpWriter::strideFor(int width, Kind kind)
{
    return int(replace::bmp::rowBytes(std::uint64_t(std::max(width, 0)), unsigned(bitsPerPixel(kind))));
}

BmpWriter::BmpWriter(int fd, int width, int height, Kind kind, double dpi)
    : fd_(fd)
    , width_(width)
    , height_(height)
    , kind_(kind)
    , dpi_(dpi)
    , stride_(strideFor(width, kind))
    , dataOffset_(std::uint32_t(replace::bmp::HeadersSize + 4 * std::size_t(paletteEntries(kind))))
    , chunkRows_(int(std::max<std::size_t>(1, ChunkBytes / std::size_t(stride_))))
{
    if (height_ >= 0)
        chunkRows_ = std::max(1, std::min(chunkRows_, height_));
    chunk_.assign(std::size_t(chunkRows_) * std::size_t(stride_), 0);
}

bool BmpWriter::writeAt(const void* data, std::size_t size, std::int64_t offset)
{
    const int e = replace::writeAllAt(fd_, data, size, offset);
    if (e != 0) {
        error_ = e;
        qCDebug(lcEztw32, "writing the scan file failed: %s", std::strerror(e));
    }
    return e == 0;
}

bool BmpWriter::readAt(void* data, std::size_t size, std::int64_t offset)
{
    const int e = replace::readAllAt(fd_, data, size, offset);
    if (e != 0) {
        error_ = e;
        qCDebug(lcEztw32, "reading back the scan file failed: %s", std::strerror(e));
    }
    return e == 0;
}

bool BmpWriter::writeHeaders(int height)
{
    const int entries = paletteEntries(kind_);
    std::vector<std::uint8_t> h(dataOffset_, 0);
    replace::bmp::Header header;
    header.width = std::uint32_t(width_);
    header.height = std::uint32_t(std::max(height, 0));
    header.bits = std::uint16_t(bitsPerPixel(kind_));
    header.rowBytes = std::uint32_t(stride_);
    const auto ppm = std::uint32_t(dpi_ > 0 ? std::lround(dpi_ / replace::MetresPerInch) : 0);
    header.pixelsPerMetreX = ppm;
    header.pixelsPerMetreY = ppm;
    header.colours = std::uint32_t(entries);
    replace::bmp::putHeaders(h.data(), header);
    // Palette: gray ramp, or black then white.
    std::uint8_t* pal = h.data() + replace::bmp::HeadersSize;
    for (int k = 0; k < entries; ++k) {
        const std::uint8_t v = entries == 2 ? std::uint8_t(k ? 255 : 0) : std::uint8_t(k);
        replace::bmp::putPaletteEntry(pal + 4 * k, v, v, v);
    }
    return writeAt(h.data(), h.size(), 0);
}

bool BmpWriter::begin()
{
    return writeHeaders(height_);
}

std::uint8_t* BmpWriter::nextRow()
{
    if (height_ >= 0 && rows_ >= height_) {
        // A row past the announced height goes nowhere: it is filled here
        // and dropped by commitRow().
        spare_.assign(std::size_t(stride_), 0);
        return spare_.data();
    }
    if (height_ >= 0) {
        // The chunk holds rows in file order: the lowest row of the picture
        // (highest number) first.
        const int rowsLeft = height_ - chunkFirst_;
        const int capacity = std::min(chunkRows_, rowsLeft);
        const int slot = capacity - 1 - chunkCount_;
        return chunk_.data() + std::size_t(slot) * std::size_t(stride_);
    }
    return chunk_.data() + std::size_t(chunkCount_) * std::size_t(stride_);
}

bool BmpWriter::commitRow()
{
    if (height_ >= 0 && rows_ >= height_)
        return true; // rows beyond the announced height are dropped
    ++rows_;
    ++chunkCount_;
    const int capacity = height_ >= 0 ? std::min(chunkRows_, height_ - chunkFirst_) : chunkRows_;
    if (chunkCount_ == capacity)
        return flush();
    return true;
}

bool BmpWriter::flush()
{
    if (chunkCount_ == 0)
        return true;
    bool ok;
    if (height_ >= 0) {
        const int capacity = std::min(chunkRows_, height_ - chunkFirst_);
        const int lastRow = chunkFirst_ + chunkCount_ - 1;
        const std::int64_t offset = dataOffset_ + std::int64_t(height_ - 1 - lastRow) * stride_;
        const std::size_t skip = std::size_t(capacity - chunkCount_) * std::size_t(stride_);
        ok = writeAt(chunk_.data() + skip, std::size_t(chunkCount_) * std::size_t(stride_), offset);
    } else {
        const std::int64_t offset = dataOffset_ + std::int64_t(chunkFirst_) * stride_;
        ok = writeAt(chunk_.data(), std::size_t(chunkCount_) * std::size_t(stride_), offset);
    }
    chunkFirst_ += chunkCount_;
    chunkCount_ = 0;
    std::fill(chunk_.begin(), chunk_.end(), 0);
    return ok;
}

bool BmpWriter::finish()
{
    if (height_ >= 0) {
        // A short image leaves rows unwritten; the caller treats that as a
        // fault, so no padding is needed here.
        return flush();
    }
    if (!flush())
        return false;
    // Turn the rows over: the file was written top row first.
    std::vector<std::uint8_t> a(static_cast<std::size_t>(stride_)), b(static_cast<std::size_t>(stride_));
    for (int top = 0, bottom = rows_ - 1; top < bottom; ++top, --bottom) {
        const std::int64_t ot = dataOffset_ + std::int64_t(top) * stride_;
        const std::int64_t ob = dataOffset_ + std::int64_t(bottom) * stride_;
        if (!readAt(a.data(), a.size(), ot) || !readAt(b.data(), b.size(), ob)
            || !writeAt(b.data(), b.size(), ot) || !writeAt(a.data(), a.size(), ob))
            return false;
    }
    return writeHeaders(rows_);
}

} // namespace eztw32
