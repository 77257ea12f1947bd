#include "Corrections.h"

#include "Deskew.h"
#include "Log.h"
#include "Transform.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace eztw32 {

Corrections correctionsFor(const ScanSettings& s)
{
    Corrections c;
    c.straighten = s.straighten;
    c.cropToPage = s.cropToPage;
    c.turn = s.turn;
    c.hold = s.straighten || s.turn != Turn::None;
    if (s.light && !s.light->isNeutral())
        c.light = lightTable(*s.light);
    return c;
}

namespace {

// One byte a pixel to the file's 1-bit row (1 white), at the middle.
void packBits(const std::uint8_t* src, std::uint8_t* dst, int width)
{
    for (int x = 0; x < width; x += 8) {
        std::uint8_t b = 0;
        for (int k = 0; k < 8 && x + k < width; ++k)
            b |= std::uint8_t((src[x + k] >= 128) << (7 - k));
        dst[x / 8] = b;
    }
}

} // namespace

bool writeCorrected(
    const PictureView& picture, BmpWriter::Kind kind, double dpi, const Corrections& fix, int fd)
{
    double angle = 0;
    std::array<std::uint8_t, 3> background{255, 255, 255};
    std::optional<std::pair<int, int>> page;
    if (fix.straighten) {
        const Skew skew = measureSkew(picture, dpi);
        if (std::abs(skew.angle) >= StraightEnough) {
            angle = skew.angle;
            background = skew.background;
            if (fix.cropToPage)
                page = pageWithin(picture.width, picture.height, angle);
            qCDebug(lcEztw32, "straightening by %.2f degrees", angle);
        }
    }
    const PageTransform transform(picture, angle, fix.turn, background, page);
    // One resolution is known of a scan, across and down alike: a turn
    // leaves it as it is.
    BmpWriter writer(fd, transform.width(), transform.height(), kind, dpi);
    if (!writer.begin())
        return false;
    constexpr int Block = 32;
    const std::size_t rowBytes = std::size_t(transform.width()) * std::size_t(picture.channels);
    std::vector<std::uint8_t> block;
    if (!transform.isIdentity())
        block.resize(rowBytes * Block);
    const int threads = int(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
    for (int y = 0; y < transform.height(); y += Block) {
        const int n = std::min(Block, transform.height() - y);
        const std::uint8_t* rows = picture.row(std::min(y, picture.height - 1));
        std::size_t stride = picture.stride;
        if (!transform.isIdentity()) {
            transform.rows(y, n, block.data(), rowBytes, threads);
            rows = block.data();
            stride = rowBytes;
        }
        for (int k = 0; k < n; ++k) {
            const std::uint8_t* src = rows + std::size_t(k) * stride;
            std::uint8_t* dst = writer.nextRow();
            if (kind == BmpWriter::Kind::BlackWhite1)
                packBits(src, dst, transform.width());
            else
                std::memcpy(dst, src, rowBytes);
            if (!writer.commitRow())
                return false;
        }
    }
    return writer.finish();
}

} // namespace eztw32
