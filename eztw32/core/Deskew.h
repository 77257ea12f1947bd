// Measures how crooked a page lies: the angle of its text lines and edges,
// found by the projection profile that is sharpest over candidate angles,
// coarse to fine, on the picture reduced to about 100 dpi.
#pragma once

#include "Picture.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace eztw32 {

// Pages within this of straight are left as they are.
constexpr double StraightEnough = 0.1; // degrees

// The largest angle looked for, either way.
constexpr double MostSkew = 15; // degrees

struct Skew {
    // How far the page's content is turned, in degrees, clockwise as seen;
    // straightening turns it back by as much.
    double angle = 0;
    // The page's background, in the picture's channel order (gray: all
    // three alike): what fills the corners that straightening uncovers.
    std::array<std::uint8_t, 3> background{255, 255, 255};
};

Skew measureSkew(const PictureView& picture, double dpi);

// The size of the page whose bounding rectangle, laid at angle, is width x
// height (the area found around a crooked page): what is left of that area
// once straightened with the bed's wedges trimmed off. Nothing when no
// such page fits.
std::optional<std::pair<int, int>> pageWithin(int width, int height, double angle);

} // namespace eztw32
