#include "PngFilter.h"

#include <algorithm>
#include <cstring>

namespace nconvert {
namespace {

// |v| of a byte read as a signed value. The loops below are written so that
// the compiler turns them into vector code.
inline std::uint32_t magnitude(std::uint8_t v)
{
    return v < 128 ? v : 256u - v;
}

inline int paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c); // |p - a| with p = a + b - c
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

} // namespace

RowFilter::RowFilter(std::size_t rowBytes, std::size_t pixelBytes)
    : rowBytes_(rowBytes)
    , pixelBytes_(pixelBytes)
    , candidates_(4 * rowBytes)
{ }

PngFilter RowFilter::filter(const std::uint8_t* row, const std::uint8_t* above, std::uint8_t* out)
{
    const std::size_t n = rowBytes_;
    const std::size_t bpp = pixelBytes_;
    const std::size_t left = std::min(bpp, n); // bytes without a pixel on their left
    std::uint8_t* const sub = candidates_.data();
    std::uint8_t* const up = sub + n;
    std::uint8_t* const avg = up + n;
    std::uint8_t* const pth = avg + n;

    for (std::size_t i = 0; i < left; ++i) {
        sub[i] = row[i];
        avg[i] = std::uint8_t(row[i] - (above[i] >> 1));
        pth[i] = std::uint8_t(row[i] - above[i]); // Paeth predicts the byte above here
    }
    for (std::size_t i = 0; i < n; ++i)
        up[i] = std::uint8_t(row[i] - above[i]);
    for (std::size_t i = left; i < n; ++i)
        sub[i] = std::uint8_t(row[i] - row[i - bpp]);
    for (std::size_t i = left; i < n; ++i)
        avg[i] = std::uint8_t(row[i] - ((unsigned(row[i - bpp]) + above[i]) >> 1));
    for (std::size_t i = left; i < n; ++i)
        pth[i] = std::uint8_t(row[i] - paeth(row[i - bpp], above[i], above[i - bpp]));

    std::uint32_t sums[5] = {};
    for (std::size_t i = 0; i < n; ++i)
        sums[0] += magnitude(row[i]);
    for (int f = 1; f < 5; ++f) {
        const std::uint8_t* c = sub + std::size_t(f - 1) * n;
        std::uint32_t s = 0;
        for (std::size_t i = 0; i < n; ++i)
            s += magnitude(c[i]);
        sums[f] = s;
    }
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (sums[f] < sums[best])
            best = f;
    out[0] = std::uint8_t(best);
    std::memcpy(out + 1, best == 0 ? row : sub + std::size_t(best - 1) * n, n);
    return PngFilter(best);
}

} // namespace nconvert
