// A picture in memory as the scan's corrections see it: 8-bit samples, one
// (gray) or three (colour, in any order) per pixel, rows top first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace eztw32 {

struct PictureView {
    const std::uint8_t* data = nullptr;
    int width = 0, height = 0;
    int channels = 3; // 1 or 3
    std::size_t stride = 0; // bytes from one row to the next

    const std::uint8_t* row(int y) const { return data + std::size_t(y) * stride; }
};

} // namespace eztw32
