#include "Deskew.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace eztw32 {
namespace {

// The picture reduced by whole factors to about 100 dpi: gray and colour.
struct Reduced {
    int width = 0, height = 0;
    std::vector<std::uint8_t> gray;
    std::vector<std::uint8_t> colour; // three per pixel
};

Reduced reduce(const PictureView& p, double dpi)
{
    const int f = std::max(1, int(std::lround(dpi / 100)));
    Reduced r;
    r.width = std::max(1, p.width / f);
    r.height = std::max(1, p.height / f);
    r.gray.resize(std::size_t(r.width) * std::size_t(r.height));
    r.colour.resize(r.gray.size() * 3);
    std::vector<std::uint32_t> sums(std::size_t(r.width) * 3);
    const int ch = p.channels;
    for (int ry = 0; ry < r.height; ++ry) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int y = ry * f; y < std::min(p.height, (ry + 1) * f); ++y) {
            const std::uint8_t* row = p.row(y);
            for (int rx = 0; rx < r.width; ++rx) {
                std::uint32_t* s = &sums[std::size_t(rx) * 3];
                const std::uint8_t* px = row + std::size_t(rx) * std::size_t(f) * std::size_t(ch);
                for (int k = 0; k < f; ++k, px += ch)
                    for (int c = 0; c < 3; ++c)
                        s[c] += px[ch == 3 ? c : 0];
            }
        }
        const std::uint32_t n = std::uint32_t(f) * std::uint32_t(std::min(f, p.height - ry * f));
        for (int rx = 0; rx < r.width; ++rx) {
            const std::size_t i = std::size_t(ry) * std::size_t(r.width) + std::size_t(rx);
            const std::uint32_t* s = &sums[std::size_t(rx) * 3];
            for (int c = 0; c < 3; ++c)
                r.colour[3 * i + std::size_t(c)] = std::uint8_t((s[c] + n / 2) / n);
            r.gray[i] = std::uint8_t((s[0] + 2 * s[1] + s[2] + 2 * n) / (4 * n));
        }
    }
    return r;
}

// The threshold between dark and light that best splits the histogram
// (Otsu's).
int splitLevel(const std::vector<std::uint8_t>& gray)
{
    std::array<double, 256> hist{};
    for (std::uint8_t v : gray)
        hist[v] += 1;
    const double total = double(gray.size());
    double sumAll = 0;
    for (int i = 0; i < 256; ++i)
        sumAll += i * hist[std::size_t(i)];
    double weightDark = 0, sumDark = 0, best = -1;
    int level = 128;
    for (int t = 0; t < 256; ++t) {
        weightDark += hist[std::size_t(t)];
        sumDark += t * hist[std::size_t(t)];
        const double weightLight = total - weightDark;
        if (weightDark == 0 || weightLight == 0)
            continue;
        const double d = sumDark / weightDark - (sumAll - sumDark) / weightLight;
        const double between = weightDark * weightLight * d * d;
        if (between > best) {
            best = between;
            level = t;
        }
    }
    return level;
}

// The places, from the picture's centre, where dark (at most `level`)
// meets light going down: the tops and bottoms of text lines and the
// page's edges.
struct Points {
    std::vector<float> x, y;
    int reach = 0; // the largest distance from the centre
};

Points edgePoints(const Reduced& r, int level)
{
    Points pts;
    const float cx = r.width / 2.0f, cy = r.height / 2.0f;
    for (int y = 0; y + 1 < r.height; ++y) {
        const std::uint8_t* a = r.gray.data() + std::size_t(y) * std::size_t(r.width);
        const std::uint8_t* b = a + r.width;
        for (int x = 0; x < r.width; ++x) {
            if ((a[x] <= level) != (b[x] <= level)) {
                pts.x.push_back(float(x) + 0.5f - cx);
                pts.y.push_back(float(y) + 1.0f - cy);
            }
        }
    }
    pts.reach = int(std::ceil(std::hypot(r.width, r.height) / 2)) + 2;
    return pts;
}

// The sum of the squared counts of the points per row of `rows` pixels,
// rows laid at angle. Coarse rows make the peak wider, for a coarse search.
double sharpness(const Points& pts, double angle, std::vector<std::uint32_t>& bins, int rows = 1)
{
    const double a = angle * std::numbers::pi / 180;
    const float s = float(std::sin(a) / rows), c = float(std::cos(a) / rows);
    bins.assign(std::size_t(2 * pts.reach / rows + 2), 0);
    const float offset = float(pts.reach / rows) + 0.5f;
    const std::size_t n = pts.x.size();
    for (std::size_t i = 0; i < n; ++i)
        ++bins[std::size_t(pts.y[i] * c - pts.x[i] * s + offset)];
    double sum = 0;
    for (std::uint32_t b : bins)
        sum += double(b) * b;
    return sum;
}

// Where the scores are highest: the middle of the first run of the
// highest score (a small page leaves a span of angles alike).
double bestPlace(const std::vector<double>& scores)
{
    const auto top = std::max_element(scores.begin(), scores.end());
    auto end = top;
    while (end + 1 != scores.end() && *(end + 1) == *top)
        ++end;
    return double((top - scores.begin()) + (end - scores.begin())) / 2.0;
}

// The page's colour: the most common light colour (above `level`) of its
// middle.
std::array<std::uint8_t, 3> background(const Reduced& r, int level)
{
    std::array<int, 256> hist{};
    const int x0 = r.width / 10, x1 = r.width - r.width / 10, y0 = r.height / 10,
              y1 = r.height - r.height / 10;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            ++hist[r.gray[std::size_t(y) * std::size_t(r.width) + std::size_t(x)]];
    int mode = 255;
    for (int v = 255; v > level; --v)
        if (hist[std::size_t(v)] > hist[std::size_t(mode)])
            mode = v;
    std::array<double, 3> sum{};
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const std::size_t i = std::size_t(y) * std::size_t(r.width) + std::size_t(x);
            if (std::abs(r.gray[i] - mode) > 4)
                continue;
            for (std::size_t c = 0; c < 3; ++c)
                sum[c] += r.colour[3 * i + c];
            n += 1;
        }
    if (n == 0)
        return {255, 255, 255};
    return {std::uint8_t(std::lround(sum[0] / n)), std::uint8_t(std::lround(sum[1] / n)),
        std::uint8_t(std::lround(sum[2] / n))};
}

} // namespace

std::optional<std::pair<int, int>> pageWithin(int width, int height, double angle)
{
    const double a = std::abs(angle) * std::numbers::pi / 180;
    const double c = std::cos(a), s = std::sin(a), d = c * c - s * s;
    const long w = std::lround((width * c - height * s) / d), h = std::lround((height * c - width * s) / d);
    if (d <= 0 || w < 1 || h < 1 || w > width || h > height)
        return std::nullopt;
    return std::pair(int(w), int(h));
}

Skew measureSkew(const PictureView& picture, double dpi)
{
    Skew out;
    if (!picture.data || picture.width < 2 || picture.height < 2)
        return out;
    const Reduced r = reduce(picture, dpi > 0 ? dpi : 100);
    const int level = splitLevel(r.gray);
    out.background = background(r, level);
    const Points pts = edgePoints(r, level);
    if (pts.x.empty())
        return out;
    std::vector<std::uint32_t> bins;
    // Coarse to fine: every step's best is searched around at a tenth of
    // its step, the first on rows of 4 pixels, whose peak is as wide as
    // its step.
    std::vector<double> scores;
    auto search = [&](double from, double step, int count, int rows) {
        scores.clear();
        for (int k = 0; k < count; ++k)
            scores.push_back(sharpness(pts, from + k * step, bins, rows));
        return from + bestPlace(scores) * step;
    };
    double best = search(-MostSkew, 0.25, 121, 4);
    for (const double step : {0.025, 0.0025})
        best = std::clamp(search(best - 10 * step, step, 21, 1), -MostSkew, MostSkew);
    out.angle = best;
    return out;
}

} // namespace eztw32
