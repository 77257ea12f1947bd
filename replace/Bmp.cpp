#include "replace/Bmp.h"

namespace replace::bmp {

namespace {

std::uint8_t* put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    return p + 2;
}

std::uint8_t* put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
    return p + 4;
}

std::uint32_t orZero(std::uint64_t size)
{
    return size > 0xFFFFFFFFu ? 0u : std::uint32_t(size);
}

// Where the rows begin: after the headers and the palette.
std::uint32_t dataOffset(const Header& header)
{
    return std::uint32_t(HeadersSize + 4 * std::uint64_t(header.colours));
}

} // namespace

std::uint64_t rowBytes(std::uint64_t width, unsigned bits)
{
    return (width * bits + 31) / 32 * 4;
}

void putHeaders(std::uint8_t* out, const Header& header)
{
    const std::uint64_t imageSize = std::uint64_t(header.rowBytes) * header.height;
    const std::uint32_t offset = dataOffset(header);
    std::uint8_t* at = out;
    *at++ = 'B';
    *at++ = 'M';
    at = put32(at, orZero(offset + imageSize));
    at = put32(at, 0); // reserved
    at = put32(at, offset);
    at = put32(at, std::uint32_t(InfoHeaderSize));
    at = put32(at, header.width);
    at = put32(at, header.height);
    at = put16(at, 1); // planes
    at = put16(at, header.bits);
    at = put32(at, 0); // BI_RGB: uncompressed
    at = put32(at, orZero(imageSize));
    at = put32(at, header.pixelsPerMetreX);
    at = put32(at, header.pixelsPerMetreY);
    at = put32(at, header.colours);
    put32(at, header.importantColours);
}

void putPaletteEntry(std::uint8_t* out, std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    out[0] = blue;
    out[1] = green;
    out[2] = red;
    out[3] = 0;
}

} // namespace replace::bmp
