// Brightness, contrast and gamma as one table over the 256 sample values,
// applied to the rows of a scan as they come or to the preview's.
#pragma once

#include "ScanSettings.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace eztw32 {

using LightTable = std::array<std::uint8_t, 256>;

// Gamma first, then contrast about the middle, then brightness; a neutral
// light gives the identity. For line art (lineArt) every value ends as 0
// or 255: the corrected value's threshold at the middle.
LightTable lightTable(const Light& light, bool lineArt = false);

// Corrects n samples in place.
void applyLight(const LightTable& table, std::uint8_t* samples, std::size_t n);
// Corrects a row of 1-bit pixels in place (a set bit is white): black and
// white each go to what the table's threshold makes of them.
void applyLightToBits(const LightTable& table, std::uint8_t* bits, int width);

} // namespace eztw32
