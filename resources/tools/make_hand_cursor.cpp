// Writes the hand pointer "HAND-M.CUR": a Windows cursor file with one
// 32 x 32 image (32-bit BGRA with its AND mask) and the hot spot at the tip
// of the pointing finger.
//
//   make_hand_cursor OUTPUT
//
// The file is written beside OUTPUT first and then renamed over it.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int Size = 32;

// The drawing: 'X' black outline, 'o' white, '.' transparent.
// The topmost outline pixel of the finger is the hot spot.
constexpr std::array<const char*, Size> Hand = {
    "................................",
    "......XX........................",
    ".....XooX.......................",
    ".....XooX.......................",
    ".....XooX.......................",
    ".....XooX.......................",
    ".....XooXXX.....................",
    ".....XooXooXXX..................",
    ".....XooXooXooXX................",
    ".....XooXooXooXoX...............",
    ".XX..XooXooXooXooX..............",
    "XooX.XooooooooXooX..............",
    "XoooXXoooooooooooX..............",
    ".XooXooooooooooooX..............",
    "..XoXooooooooooooX..............",
    "..XoooooooooooooX...............",
    "...XooooooooooooX...............",
    "...XoooooooooooX................",
    "....XooooooooooX................",
    "....XooooooooooX................",
    ".....XooooooooX.................",
    ".....XooooooooX.................",
    ".....XXXXXXXXXX.................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
};

void put16(std::vector<unsigned char>& out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void put32(std::vector<unsigned char>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

bool findHotSpot(int& hx, int& hy)
{
    for (int y = 0; y < Size; ++y)
        for (int x = 0; x < Size; ++x)
            if (Hand[static_cast<std::size_t>(y)][x] == 'X') {
                hx = x;
                hy = y;
                return true;
            }
    return false;
}

std::vector<unsigned char> cursorFile()
{
    int hotX = 0;
    int hotY = 0;
    findHotSpot(hotX, hotY);

    constexpr std::uint32_t pixelBytes = Size * Size * 4;
    constexpr std::uint32_t maskStride = ((Size + 31) / 32) * 4;
    constexpr std::uint32_t maskBytes = maskStride * Size;
    constexpr std::uint32_t imageBytes = 40 + pixelBytes + maskBytes;

    std::vector<unsigned char> out;
    // Header: reserved, type 2 (cursor), one image.
    put16(out, 0);
    put16(out, 2);
    put16(out, 1);
    // The image's entry: size, colours, reserved, hot spot, length, offset.
    out.push_back(Size);
    out.push_back(Size);
    out.push_back(0);
    out.push_back(0);
    put16(out, static_cast<unsigned>(hotX));
    put16(out, static_cast<unsigned>(hotY));
    put32(out, imageBytes);
    put32(out, 6 + 16);
    // BITMAPINFOHEADER: the height counts the colour image and the mask.
    put32(out, 40);
    put32(out, Size);
    put32(out, Size * 2);
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);
    put32(out, pixelBytes + maskBytes);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    // Colour rows bottom-up, BGRA.
    for (int y = Size - 1; y >= 0; --y)
        for (int x = 0; x < Size; ++x) {
            const char c = Hand[static_cast<std::size_t>(y)][x];
            unsigned char grey = 0;
            unsigned char alpha = 0xFF;
            switch (c) {
            case 'X':
                grey = 0x00;
                break;
            case 'o':
                grey = 0xFF;
                break;
            default:
                alpha = 0;
                break;
            }
            out.push_back(grey);
            out.push_back(grey);
            out.push_back(grey);
            out.push_back(alpha);
        }
    // AND mask rows bottom-up: a set bit is transparent.
    for (int y = Size - 1; y >= 0; --y) {
        std::vector<unsigned char> row(maskStride, 0);
        for (int x = 0; x < Size; ++x)
            if (Hand[static_cast<std::size_t>(y)][x] == '.')
                row[static_cast<std::size_t>(x / 8)] |= static_cast<unsigned char>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    for (const char* row : Hand)
        if (std::strlen(row) != Size) {
            std::fprintf(stderr, "%s: the drawing has a row that is not %d wide\n", argv[0], Size);
            return 1;
        }
    const std::vector<unsigned char> data = cursorFile();
    const std::string target = argv[1];
    const std::string temporary = target + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::fprintf(
                stderr, "%s: cannot write %s: %s\n", argv[0], temporary.c_str(), std::strerror(errno));
            std::remove(temporary.c_str());
            return 1;
        }
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot rename %s to %s: %s\n", argv[0], temporary.c_str(), target.c_str(),
            std::strerror(errno));
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
