// Measures how crooked a page lies: the angle of its text lines and edges,
// found by the projection profile that is sharpest over candidate angles,
// coarse to fine, on the picture reduced to about 100 dpi.
#pragma once

#include "Picture.h"

#include <array>
#include <cstdint>

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

// How well the rows of the picture line up when its content is taken as
// turned by angle (the sum of the squared counts of dark pixel edges per
// row, over the picture reduced to about 100 dpi): the figure measureSkew
// makes largest.
double profileSharpness(const PictureView& picture, double dpi, double angle);

} // namespace eztw32
