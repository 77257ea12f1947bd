#pragma once
// The headers of an uncompressed BMP file (BITMAPFILEHEADER and
// BITMAPINFOHEADER), shared by the program's BMP writer and the scanner
// library's, and the factor between metres and inches that every writer of
// a resolution needs.
#include <cstddef>
#include <cstdint>

namespace replace {

// Metres in an inch: BMP and PNG store pixels per metre, JPEG and TIFF
// dots per inch.
inline constexpr double MetresPerInch = 0.0254;

namespace bmp {

inline constexpr std::size_t FileHeaderSize = 14;
inline constexpr std::size_t InfoHeaderSize = 40;
inline constexpr std::size_t HeadersSize = FileHeaderSize + InfoHeaderSize;

struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0; // positive: rows bottom-up
    std::uint16_t bits = 24;
    std::uint32_t rowBytes = 0; // each row padded to 4 bytes
    std::uint32_t pixelsPerMetreX = 0;
    std::uint32_t pixelsPerMetreY = 0;
    std::uint32_t colours = 0; // palette entries after the headers
    std::uint32_t importantColours = 0;
};

// Bytes in a row of `width` pixels of `bits` each, padded to 4 bytes.
std::uint64_t rowBytes(std::uint64_t width, unsigned bits);

// Puts the two headers (HeadersSize bytes) at `out`. The sizes that do not
// fit in 32 bits are stored as 0, which readers of uncompressed files take
// as "not given".
void putHeaders(std::uint8_t* out, const Header& header);
// One palette entry (4 bytes: blue, green, red, 0).
void putPaletteEntry(std::uint8_t* out, std::uint8_t red, std::uint8_t green, std::uint8_t blue);

} // namespace bmp

} // namespace replace
