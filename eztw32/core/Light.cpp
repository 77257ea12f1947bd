#include "Light.h"

#include <algorithm>
#include <cmath>

namespace eztw32 {

LightTable lightTable(const Light& light, bool lineArt)
{
    LightTable t{};
    const double gamma = std::clamp(light.gamma, 0.1, 10.0);
    const double contrast = std::pow(4.0, std::clamp(light.contrast, -100.0, 100.0) / 100.0);
    const double brightness = std::clamp(light.brightness, -100.0, 100.0) / 200.0;
    for (int i = 0; i < 256; ++i) {
        double v = std::pow(i / 255.0, 1.0 / gamma);
        v = (v - 0.5) * contrast + 0.5 + brightness;
        const long out = std::lround(std::clamp(v, 0.0, 1.0) * 255.0);
        t[std::size_t(i)] = lineArt ? std::uint8_t(out >= 128 ? 255 : 0) : std::uint8_t(out);
    }
    return t;
}

void applyLight(const LightTable& table, std::uint8_t* samples, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        samples[i] = table[samples[i]];
}

void applyLightToBits(const LightTable& table, std::uint8_t* bits, int width)
{
    const bool black = table[0] >= 128, white = table[255] >= 128;
    if (!black && white)
        return;
    // The table never darkens a lighter value below a darker one, so what
    // is left is all black or all white.
    const std::size_t bytes = (std::size_t(width) + 7) / 8;
    std::fill(bits, bits + bytes, std::uint8_t(black ? 0xFF : 0));
    if (black && width % 8)
        bits[bytes - 1] = std::uint8_t(0xFF << (8 - width % 8));
}

} // namespace eztw32
