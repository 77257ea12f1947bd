// The five PNG row filters and the choice among them.
//
// Each row is filtered with the filter whose output, read as signed bytes,
// has the smallest sum of magnitudes: the rule of libpng's adaptive
// filtering, which picks the filter that compresses best or close to it on
// photographs, scans, clean pages and charts alike. All five are computed
// sixteen bytes at a time with SSE2 (every x86-64 processor has it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nconvert {

enum class PngFilter : std::uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

class RowFilter {
public:
    // Rows of rowBytes bytes whose pixels are pixelBytes bytes apart.
    RowFilter(std::size_t rowBytes, std::size_t pixelBytes);

    // Writes the filter type byte and the filtered row to out (rowBytes + 1
    // bytes). above is the row before, all zeros for the first row.
    PngFilter filter(const std::uint8_t* row, const std::uint8_t* above, std::uint8_t* out);

private:
    std::size_t rowBytes_;
    std::size_t pixelBytes_;
    std::vector<std::uint8_t> candidates_; // the row through Sub, Up, Average and Paeth
};

} // namespace nconvert
