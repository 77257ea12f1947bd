#include "Transform.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <system_error>
#include <thread>
#include <vector>

namespace eztw32 {
namespace {

constexpr int Shift = 32;
constexpr double One = 4294967296.0; // 1 << Shift

std::int64_t fixed(double v)
{
    return std::int64_t(std::llround(v * One));
}

} // namespace

PageTransform::PageTransform(const PictureView& source, double angle, Turn turn,
    std::array<std::uint8_t, 3> background, std::optional<std::pair<int, int>> straight)
    : src_(source)
    , angle_(angle)
    , turn_(turn)
    , background_(background)
{
    const bool swap = swapsAxes();
    const auto [w, h] = straight.value_or(std::pair(source.width, source.height));
    width_ = swap ? h : w;
    height_ = swap ? w : h;
    // From the result's centred coordinates (u, v) back to the straight
    // picture's (p, q): the turn undone.
    double pu = 1, pv = 0, qu = 0, qv = 1;
    switch (turn) {
    case Turn::None:
        break;
    case Turn::Right: // clockwise: p = v, q = -u
        pu = 0, pv = 1, qu = -1, qv = 0;
        break;
    case Turn::HalfTurn:
        pu = -1, qv = -1;
        break;
    case Turn::Left: // p = -v, q = u
        pu = 0, pv = -1, qu = 1, qv = 0;
        break;
    }
    // Then the straight picture into the crooked source: turned by angle.
    // Sines and cosines of exact quarter turns are kept exact.
    const double a = angle * std::numbers::pi / 180;
    const double c = angle == 0 ? 1 : std::cos(a), s = angle == 0 ? 0 : std::sin(a);
    const double xu = c * pu - s * qu, xv = c * pv - s * qv;
    const double yu = s * pu + c * qu, yv = s * pv + c * qv;
    // Pixel centres: u = x + 0.5 - width / 2, source x = sx + width / 2 - 0.5.
    const double u0 = 0.5 - width_ / 2.0, v0 = 0.5 - height_ / 2.0;
    x0_ = fixed(xu * u0 + xv * v0 + source.width / 2.0 - 0.5);
    y0_ = fixed(yu * u0 + yv * v0 + source.height / 2.0 - 0.5);
    dxx_ = fixed(xu);
    dxy_ = fixed(xv);
    dyx_ = fixed(yu);
    dyy_ = fixed(yv);
}

void PageTransform::rows(int first, int count, std::uint8_t* dst, std::size_t stride, int threads) const
{
    threads = std::clamp(threads, 1, count > 0 ? count : 1);
    if (threads == 1) {
        fill(first, count, dst, stride);
        return;
    }
    std::vector<std::thread> helpers;
    const int per = (count + threads - 1) / threads;
    for (int t = 1; t < threads; ++t) {
        const int f = t * per, n = std::min(per, count - f);
        if (n <= 0)
            continue;
        try {
            helpers.emplace_back([=, this] { fill(first + f, n, dst + std::size_t(f) * stride, stride); });
        } catch (const std::system_error&) {
            // No thread to be had: this one does that share too.
            fill(first + f, n, dst + std::size_t(f) * stride, stride);
        }
    }
    fill(first, std::min(per, count), dst, stride);
    for (std::thread& t : helpers)
        t.join();
}

void PageTransform::fill(int first, int count, std::uint8_t* dst, std::size_t stride) const
{
    const int ch = src_.channels;
    const std::int64_t w = src_.width, h = src_.height;
    // Within half a pixel of the picture, its edge pixel stands.
    const std::int64_t half = std::int64_t(1) << (Shift - 1);
    const std::int64_t lowX = -half, highX = ((w - 1) << Shift) + half;
    const std::int64_t lowY = -half, highY = ((h - 1) << Shift) + half;
    for (int y = first; y < first + count; ++y) {
        std::uint8_t* out = dst + std::size_t(y - first) * stride;
        std::int64_t sx = x0_ + std::int64_t(y) * dxy_, sy = y0_ + std::int64_t(y) * dyy_;
        for (int x = 0; x < width_; ++x, sx += dxx_, sy += dyx_, out += ch) {
            if (sx < lowX || sx > highX || sy < lowY || sy > highY) {
                for (int c = 0; c < ch; ++c)
                    out[c] = background_[std::size_t(c)];
                continue;
            }
            const std::int64_t cx = std::clamp<std::int64_t>(sx, 0, (w - 1) << Shift);
            const std::int64_t cy = std::clamp<std::int64_t>(sy, 0, (h - 1) << Shift);
            const std::int64_t ix = cx >> Shift, iy = cy >> Shift;
            const std::uint32_t fx = std::uint32_t((cx >> (Shift - 8)) & 0xFF);
            const std::uint32_t fy = std::uint32_t((cy >> (Shift - 8)) & 0xFF);
            const std::uint8_t* p00 = src_.row(int(iy)) + std::size_t(ix) * std::size_t(ch);
            if (fx == 0 && fy == 0) {
                for (int c = 0; c < ch; ++c)
                    out[c] = p00[c];
                continue;
            }
            const std::size_t right = ix + 1 < w ? std::size_t(ch) : 0;
            const std::uint8_t* p10 = iy + 1 < h ? p00 + src_.stride : p00;
            for (int c = 0; c < ch; ++c) {
                const std::uint32_t top = p00[c] * (256 - fx) + p00[std::size_t(c) + right] * fx;
                const std::uint32_t bottom = p10[c] * (256 - fx) + p10[std::size_t(c) + right] * fx;
                out[c] = std::uint8_t((top * (256 - fy) + bottom * fy + 32768) >> 16);
            }
        }
    }
}

} // namespace eztw32
