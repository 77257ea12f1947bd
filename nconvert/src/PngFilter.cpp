#include "PngFilter.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nconvert {
namespace {

// |v| of a byte read as a signed value.
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
    std::uint32_t sums[5] = {};

    std::size_t i = 0;
    for (; i < left; ++i) {
        sub[i] = row[i];
        up[i] = std::uint8_t(row[i] - above[i]);
        avg[i] = std::uint8_t(row[i] - (above[i] >> 1));
        pth[i] = std::uint8_t(row[i] - above[i]); // Paeth predicts the byte above here
    }
#if defined(__SSE2__)
    // Sixteen bytes at a time; Paeth's distances in 16-bit lanes.
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    __m128i total[5] = {zero, zero, zero, zero, zero};
    auto addMagnitudes = [&](int f, __m128i v) {
        // |v| of signed bytes, as unsigned bytes: the smaller of v and -v.
        total[f] = _mm_add_epi64(total[f], _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero));
    };
    auto select = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    auto paeth8 = [&](__m128i a, __m128i b, __m128i c) {
        const __m128i pa = abs16(_mm_sub_epi16(b, c));
        const __m128i pb = abs16(_mm_sub_epi16(a, c));
        const __m128i pc = abs16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
        const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        return select(notA, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
    };
    auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto store = [](std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
    for (; i + 16 <= n; i += 16) {
        const __m128i x = load(row + i), a = load(row + i - bpp), b = load(above + i),
                      c = load(above + i - bpp);
        const __m128i s = _mm_sub_epi8(x, a);
        const __m128i u = _mm_sub_epi8(x, b);
        // _mm_avg_epu8 rounds up; the filter rounds down.
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        const __m128i v = _mm_sub_epi8(x, mean);
        const __m128i predicted = _mm_packus_epi16(
            paeth8(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero)),
            paeth8(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero)));
        const __m128i p = _mm_sub_epi8(x, predicted);
        store(sub + i, s);
        store(up + i, u);
        store(avg + i, v);
        store(pth + i, p);
        addMagnitudes(0, x);
        addMagnitudes(1, s);
        addMagnitudes(2, u);
        addMagnitudes(3, v);
        addMagnitudes(4, p);
    }
    for (int f = 0; f < 5; ++f)
        sums[f] = std::uint32_t(
            _mm_cvtsi128_si32(total[f]) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(total[f], total[f])));
    for (std::size_t k = 0; k < left; ++k) {
        sums[0] += magnitude(row[k]);
        sums[1] += magnitude(sub[k]);
        sums[2] += magnitude(up[k]);
        sums[3] += magnitude(avg[k]);
        sums[4] += magnitude(pth[k]);
    }
#else
    std::fill(sums, sums + 5, 0u);
    i = 0;
    for (; i < left; ++i) {
        sums[0] += magnitude(row[i]);
        sums[1] += magnitude(sub[i]);
        sums[2] += magnitude(up[i]);
        sums[3] += magnitude(avg[i]);
        sums[4] += magnitude(pth[i]);
    }
#endif
    for (; i < n; ++i) {
        sub[i] = std::uint8_t(row[i] - row[i - bpp]);
        up[i] = std::uint8_t(row[i] - above[i]);
        avg[i] = std::uint8_t(row[i] - ((unsigned(row[i - bpp]) + above[i]) >> 1));
        pth[i] = std::uint8_t(row[i] - paeth(row[i - bpp], above[i], above[i - bpp]));
        sums[0] += magnitude(row[i]);
        sums[1] += magnitude(sub[i]);
        sums[2] += magnitude(up[i]);
        sums[3] += magnitude(avg[i]);
        sums[4] += magnitude(pth[i]);
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
