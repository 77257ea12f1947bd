#include "PageFinder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace eztw32 {
namespace {

using Colour = std::array<int, 3>;

struct Patch {
    Colour colour{};
    int noise = 0; // the samples' median distance from the colour
};

int sample(const PictureView& p, int x, int y, int c)
{
    return p.row(y)[std::size_t(x) * std::size_t(p.channels) + std::size_t(p.channels == 3 ? c : 0)];
}

// The median colour of a square in the picture, and how much it varies.
Patch patchAt(const PictureView& p, int x0, int y0, int size)
{
    Patch out;
    std::vector<int> v;
    for (int c = 0; c < 3; ++c) {
        v.clear();
        for (int y = y0; y < y0 + size; ++y)
            for (int x = x0; x < x0 + size; ++x)
                v.push_back(sample(p, x, y, c));
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
        out.colour[std::size_t(c)] = v[v.size() / 2];
        for (int& s : v)
            s = std::abs(s - out.colour[std::size_t(c)]);
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
        out.noise = std::max(out.noise, v[v.size() / 2]);
    }
    return out;
}

int distance(const Colour& a, const Colour& b)
{
    int d = 0;
    for (std::size_t c = 0; c < 3; ++c)
        d = std::max(d, std::abs(a[c] - b[c]));
    return d;
}

// The stretch of a profile that holds the document: the indices whose
// count reaches `least`, joined across gaps up to `gap`, the stretch with
// the most in it; false when there is none.
bool mainRun(const std::vector<int>& counts, int least, int gap, int& first, int& last)
{
    long best = 0, mass = 0;
    int runFirst = -1, runLast = -1;
    auto close = [&] {
        if (runFirst >= 0 && mass > best) {
            best = mass;
            first = runFirst;
            last = runLast;
        }
        runFirst = -1;
    };
    for (int i = 0; i < int(counts.size()); ++i) {
        const int c = counts[std::size_t(i)];
        if (c < least)
            continue;
        if (runFirst >= 0 && i - runLast <= gap + 1) {
            runLast = i;
            mass += c;
        } else {
            close();
            runFirst = runLast = i;
            mass = c;
        }
    }
    close();
    return best > 0;
}

} // namespace

std::optional<AreaMm> findDocument(const PictureView& p, double widthMm, double heightMm)
{
    if (!p.data || p.width < 8 || p.height < 8 || widthMm <= 0 || heightMm <= 0)
        return std::nullopt;
    const double pxPerMmX = p.width / widthMm, pxPerMmY = p.height / heightMm;
    const double pxPerMm = std::min(pxPerMmX, pxPerMmY);

    // The bed's colour, from a patch of about 3 mm in each corner.
    const int size = std::clamp(int(std::lround(3 * pxPerMm)), 2, std::min(p.width, p.height) / 4);
    const std::array<Patch, 4> corners = {patchAt(p, 0, 0, size), patchAt(p, p.width - size, 0, size),
        patchAt(p, 0, p.height - size, size), patchAt(p, p.width - size, p.height - size, size)};
    constexpr int Alike = 24;
    int bestCorner = 0, bestAgree = 0, bestLight = 0;
    for (int i = 0; i < 4; ++i) {
        int agree = 0;
        for (const Patch& o : corners)
            agree += distance(corners[std::size_t(i)].colour, o.colour) <= Alike;
        const Colour& c = corners[std::size_t(i)].colour;
        const int light = c[0] + c[1] + c[2];
        if (agree > bestAgree || (agree == bestAgree && light < bestLight)) {
            bestCorner = i;
            bestAgree = agree;
            bestLight = light;
        }
    }
    Colour bed{};
    int noise = 0;
    for (const Patch& o : corners) {
        if (distance(corners[std::size_t(bestCorner)].colour, o.colour) > Alike)
            continue;
        for (std::size_t c = 0; c < 3; ++c)
            bed[c] += o.colour[c];
        noise = std::max(noise, o.noise);
    }
    for (int& c : bed)
        c /= bestAgree;
    const int threshold = std::max(16, 4 * noise + 8);

    // What differs from the bed, counted per column and per row.
    const int w = p.width, h = p.height;
    std::vector<std::uint8_t> mask(std::size_t(w) * std::size_t(h));
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* r = p.row(y);
        std::uint8_t* m = mask.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* px = r + std::size_t(x) * std::size_t(p.channels);
            int d = 0;
            for (int c = 0; c < 3; ++c)
                d = std::max(d, std::abs(px[p.channels == 3 ? c : 0] - bed[std::size_t(c)]));
            m[x] = d > threshold;
        }
    }
    // The columns of the document, then its rows within them, then its
    // columns again within those rows: specks and a ruler beside the page
    // stay out.
    const int gap = std::max(1, int(std::lround(3 * pxPerMm)));
    const int least = std::max(2, int(std::lround(pxPerMm)));
    int x0 = 0, x1 = w - 1, y0 = 0, y1 = h - 1;
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<int> cols(std::size_t(w), 0);
        for (int y = y0; y <= y1; ++y) {
            const std::uint8_t* m = mask.data() + std::size_t(y) * std::size_t(w);
            for (int x = 0; x < w; ++x)
                cols[std::size_t(x)] += m[x];
        }
        if (!mainRun(cols, least, gap, x0, x1))
            return std::nullopt;
        std::vector<int> rows(std::size_t(h), 0);
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* m = mask.data() + std::size_t(y) * std::size_t(w);
            for (int x = x0; x <= x1; ++x)
                rows[std::size_t(y)] += m[x];
        }
        if (!mainRun(rows, least, gap, y0, y1))
            return std::nullopt;
    }
    // A page or photo fills most of its rectangle (a tilted one at least
    // half); print alone on a page as light as the lid does not.
    long inside = 0;
    for (int y = y0; y <= y1; ++y) {
        const std::uint8_t* m = mask.data() + std::size_t(y) * std::size_t(w);
        for (int x = x0; x <= x1; ++x)
            inside += m[x];
    }
    if (2 * inside < long(x1 - x0 + 1) * long(y1 - y0 + 1))
        return std::nullopt;
    return AreaMm{x0 / pxPerMmX, y0 / pxPerMmY, (x1 + 1) / pxPerMmX, (y1 + 1) / pxPerMmY};
}

} // namespace eztw32
