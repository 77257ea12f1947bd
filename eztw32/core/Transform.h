// Straightens and turns a picture held in memory, giving the result a few
// rows at a time (so that it streams into the file and never exists whole
// beside the picture). Turning alone moves pixels as they are; a turn by
// any other angle interpolates bilinearly, and what lies beyond the
// picture is filled with the page's background.
#pragma once

#include "Picture.h"
#include "ScanSettings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace eztw32 {

class PageTransform {
public:
    // angle: how far the content is turned clockwise, undone here (see
    // measureSkew); then the picture is turned as `turn` says. The
    // straightened picture is the source's size, or `straight` (its middle
    // part, or more of it), before it is turned.
    PageTransform(const PictureView& source, double angle, Turn turn, std::array<std::uint8_t, 3> background,
        std::optional<std::pair<int, int>> straight = std::nullopt);

    int width() const { return width_; }
    int height() const { return height_; }
    // Whether the axes of the result are those of the source swapped.
    bool swapsAxes() const { return turn_ == Turn::Right || turn_ == Turn::Left; }
    // Whether the result is the source itself.
    bool isIdentity() const
    {
        return angle_ == 0 && turn_ == Turn::None && width_ == src_.width && height_ == src_.height;
    }

    // Fills `count` rows of the result from row `first` into dst (each row
    // width() * channels bytes, rows `stride` apart), on up to `threads`
    // threads.
    void rows(int first, int count, std::uint8_t* dst, std::size_t stride, int threads = 2) const;

private:
    void fill(int first, int count, std::uint8_t* dst, std::size_t stride) const;

    PictureView src_;
    double angle_;
    Turn turn_;
    std::array<std::uint8_t, 3> background_;
    int width_, height_;
    // From the result's pixel (x, y) to the source's, in 32.32 fixed point:
    // sx = x0 + x * dxx + y * dxy, sy = y0 + x * dyx + y * dyy.
    std::int64_t x0_, y0_, dxx_, dxy_, dyx_, dyy_;
};

} // namespace eztw32
