#include "ColourReduction.h"

#include <algorithm>
#include <cstring>

namespace nconvert {
namespace {

constexpr std::uint32_t Empty = 0xffffffffu; // no colour: 0xRRGGBB is below 2^24
constexpr int MaxColours = 256;

// The slot of a table of 0xRRGGBB colours (512 slots, at most half of them
// used) that holds rgb, or else the empty slot where it belongs.
std::size_t slotFor(const std::array<std::uint32_t, 512>& table, std::uint32_t rgb)
{
    std::size_t s = (rgb * 0x9e3779b1u) >> 23; // 9 bits
    while (table[s] != rgb && table[s] != Empty)
        s = (s + 1) % table.size();
    return s;
}

std::uint32_t packed(const bmp::Rgb& c)
{
    return std::uint32_t(c.r) << 16 | std::uint32_t(c.g) << 8 | c.b;
}

// The R, G, B bytes at p as 0xRRGGBB.
std::uint32_t packedAt(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}

// Value k (from the high bits) of the 8 / bits values packed in a byte.
unsigned valueIn(unsigned byte, int k, int bits)
{
    return (byte >> (8 - bits * (k + 1))) & ((1u << bits) - 1);
}

// The colour space an embedded ICC profile describes (bytes 16 to 19 of its header).
bool profileIsGray(const std::vector<std::uint8_t>& profile)
{
    return profile.size() >= 20 && std::memcmp(profile.data() + 16, "GRAY", 4) == 0;
}

// Writes width values of `bits` bits each, first value in the high bits, the
// unused low bits of the last byte zero.
template <class ValueAt> void pack(std::uint32_t width, int bits, std::uint8_t* out, ValueAt valueAt)
{
    if (bits == 8) {
        for (std::uint32_t x = 0; x < width; ++x)
            out[x] = valueAt(x);
        return;
    }
    const int perByte = 8 / bits;
    for (std::uint32_t x = 0; x < width;) {
        unsigned byte = 0;
        int k = 0;
        for (; k < perByte && x < width; ++k, ++x)
            byte = (byte << bits) | valueAt(x);
        *out++ = std::uint8_t(byte << (bits * (perByte - k)));
    }
}

// A pixel the count did not see: the file changed between the two readings.
[[noreturn]] void changed()
{
    throw Error("the picture changed while it was being read");
}

// The smallest of 1, 2, 4 and 8 bits per value that holds n different values.
int bitsFor(std::size_t n)
{
    return n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
}

} // namespace

ColourCensus::ColourCensus(const bmp::ImageInfo& info)
    : info_(&info)
    , droppableAlpha_(info.format == bmp::PixelFormat::Rgba8)
{
    table_.fill(Empty);
}

bool ColourCensus::add(std::uint32_t rgb)
{
    const std::size_t s = slotFor(table_, rgb);
    if (table_[s] == Empty) {
        if (colours_ == MaxColours)
            return false;
        table_[s] = rgb;
        ++colours_;
    }
    return true;
}

void ColourCensus::count(const std::uint8_t* rows, std::uint32_t rowCount)
{
    const bmp::ImageInfo& info = *info_;
    const std::size_t rowBytes = info.rowBytes();
    if (info.format == bmp::PixelFormat::Indexed) {
        // Every byte value seen, then the indices in them; the last byte of a
        // row pixel by pixel, since its padding bits are no pixels.
        const int bits = info.indexBits;
        const std::size_t whole = std::size_t(info.width) * unsigned(bits) / 8;
        const unsigned rest = unsigned(std::size_t(info.width) * unsigned(bits) % 8) / unsigned(bits);
        std::array<std::uint8_t, 256> seen{};
        for (std::uint32_t r = 0; r < rowCount; ++r) {
            const std::uint8_t* row = rows + std::size_t(r) * rowBytes;
            for (std::size_t i = 0; i < whole; ++i)
                seen[row[i]] = 1;
            for (unsigned k = 0; k < rest; ++k)
                usedIndex_[valueIn(row[whole], int(k), bits)] = 1;
        }
        for (unsigned b = 0; b < 256; ++b)
            if (seen[b])
                for (int k = 0; k < 8 / bits; ++k)
                    usedIndex_[valueIn(b, k, bits)] = 1;
        return;
    }
    const bool alpha = info.format == bmp::PixelFormat::Rgba8;
    const std::size_t channels = alpha ? 4 : 3;
    std::uint32_t last = Empty;
    for (std::uint32_t r = 0; r < rowCount && !settled(); ++r) {
        const std::uint8_t* p = rows + std::size_t(r) * rowBytes;
        for (std::uint32_t x = 0; x < info.width; ++x, p += channels) {
            if (alpha && p[3] != 255)
                droppableAlpha_ = false;
            if (many_)
                continue; // only the alpha is still of interest
            const std::uint32_t rgb = packedAt(p);
            if (rgb == last)
                continue;
            last = rgb;
            if (!add(rgb)) {
                many_ = true;
                if (settled())
                    return;
            }
        }
    }
}

void ColourCensus::merge(const ColourCensus& other)
{
    droppableAlpha_ = droppableAlpha_ && other.droppableAlpha_;
    many_ = many_ || other.many_;
    for (std::size_t i = 0; i < usedIndex_.size(); ++i)
        usedIndex_[i] |= other.usedIndex_[i];
    for (const std::uint32_t rgb : other.table_)
        if (!many_ && rgb != Empty && !add(rgb))
            many_ = true;
}

StoredForm::StoredForm(const bmp::ImageInfo& info, const ColourCensus& census)
    : info_(info)
    , rowBytes_(info.rowBytes())
{
    keys_.fill(Empty);
    if (census.many_) {
        if (census.droppableAlpha_) {
            kind_ = StoredKind::Rgb;
            rowBytes_ = std::size_t(info.width) * 3;
            identity_ = false;
        }
        return;
    }
    if (info.format == bmp::PixelFormat::Rgba8 && !census.droppableAlpha_)
        return; // the alpha stays

    // The colours used: an indexed picture's in the order of its palette
    // (each once), the others' by brightness.
    std::vector<bmp::Rgb> colours;
    std::array<std::uint8_t, 256> slot{}; // Indexed: an index's position in colours
    if (info.format == bmp::PixelFormat::Indexed) {
        for (std::size_t i = 0; i < info.palette.size(); ++i) {
            if (!census.usedIndex_[i])
                continue;
            const auto at = std::find(colours.begin(), colours.end(), info.palette[i]);
            slot[i] = std::uint8_t(at - colours.begin());
            if (at == colours.end())
                colours.push_back(info.palette[i]);
        }
        if (colours.empty())
            colours.push_back(info.palette.front()); // an empty picture
    } else {
        std::vector<std::uint32_t> keys;
        for (const std::uint32_t rgb : census.table_)
            if (rgb != Empty)
                keys.push_back(rgb);
        auto luma
            = [](std::uint32_t c) { return 299 * (c >> 16) + 587 * ((c >> 8) & 255) + 114 * (c & 255); };
        std::sort(keys.begin(), keys.end(),
            [&](std::uint32_t a, std::uint32_t b) { return luma(a) != luma(b) ? luma(a) < luma(b) : a < b; });
        for (const std::uint32_t c : keys)
            colours.push_back({std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)});
        if (colours.empty())
            colours.push_back({}); // an empty picture
    }

    // Gray at the depth that holds every level (levels 0, 255 in 1 bit;
    // multiples of 85 in 2, of 17 in 4), when that is no deeper than the
    // palette would be. A colour profile decides between the two: a gray
    // form takes only a gray profile, a palette only a colour one.
    const bool gray = std::all_of(
        colours.begin(), colours.end(), [](const bmp::Rgb& c) { return c.r == c.g && c.g == c.b; });
    int grayBits = 1;
    for (const bmp::Rgb& c : colours)
        while (c.r % (255 / ((1 << grayBits) - 1)) != 0)
            grayBits *= 2;
    const int paletteBits = bitsFor(colours.size());
    const bool profile = !info.iccProfile.empty();
    const bool grayProfile = profileIsGray(info.iccProfile);
    if (gray && (grayProfile || !profile) && (grayBits <= paletteBits || grayProfile)) {
        kind_ = StoredKind::Gray;
        bits_ = grayBits;
    } else if (!grayProfile) {
        kind_ = StoredKind::Palette;
        bits_ = paletteBits;
        palette_ = colours;
    } else {
        return; // as read: a colour picture with a gray profile
    }
    rowBytes_ = (std::size_t(info.width) * unsigned(bits_) + 7) / 8;
    const unsigned step = kind_ == StoredKind::Gray ? 255u / ((1u << bits_) - 1) : 1;
    auto storedValue = [&](std::size_t position) {
        return std::uint8_t(kind_ == StoredKind::Gray ? colours[position].r / step : position);
    };

    unseen_.fill(1);
    if (info.format == bmp::PixelFormat::Indexed) {
        for (std::size_t i = 0; i < info.palette.size(); ++i) {
            if (!census.usedIndex_[i])
                continue;
            valueOf_[i] = storedValue(slot[i]);
            unseen_[i] = 0;
            identity_ = identity_ && valueOf_[i] == i;
        }
        // Rows stored as read need the whole palette, or for gray a palette
        // that is the gray ramp throughout, so that they need no checking.
        identity_ = identity_ && bits_ == info.indexBits
            && (kind_ == StoredKind::Palette || info.paletteIsGrayRamp());
        if (identity_ && kind_ == StoredKind::Palette)
            palette_ = info.palette;
        if (bits_ == info.indexBits) {
            const int perByte = 8 / bits_;
            for (unsigned b = 0; b < 256; ++b) {
                unsigned mapped = 0;
                std::uint8_t unseen = 0;
                for (int k = 0; k < perByte; ++k) {
                    const unsigned index = valueIn(b, k, bits_);
                    mapped = (mapped << bits_) | valueOf_[index];
                    unseen |= unseen_[index];
                }
                byteMap_[b] = std::uint8_t(mapped);
                unseenByte_[b] = unseen;
            }
        }
        return;
    }
    identity_ = false;
    if (kind_ == StoredKind::Gray) {
        for (const bmp::Rgb& c : colours) {
            valueOf_[c.r] = std::uint8_t(c.r / step);
            unseen_[c.r] = 0;
        }
        return;
    }
    // The count's own table of the colours (with the black of an empty
    // picture), each slot given its colour's index.
    keys_ = census.table_;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const std::size_t s = slotFor(keys_, packed(colours[i]));
        keys_[s] = packed(colours[i]);
        indexOf_[s] = std::uint8_t(i);
    }
}

std::uint8_t StoredForm::lookUp(std::uint32_t rgb) const
{
    const std::size_t s = slotFor(keys_, rgb);
    if (keys_[s] == Empty)
        changed();
    return indexOf_[s];
}

void StoredForm::convert(const std::uint8_t* in, std::uint8_t* out) const
{
    const std::uint32_t width = info_.width;
    if (identity_) {
        std::memcpy(out, in, rowBytes_);
        return;
    }
    if (kind_ == StoredKind::Rgb) {
        unsigned alpha = 255;
        for (std::uint32_t x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            alpha &= in[3];
        }
        if (alpha != 255)
            changed();
        return;
    }
    if (info_.format == bmp::PixelFormat::Indexed) {
        const int inBits = info_.indexBits;
        const int perByte = 8 / inBits;
        auto index = [&](std::uint32_t x) {
            return valueIn(in[x / unsigned(perByte)], int(x % unsigned(perByte)), inBits);
        };
        unsigned unseen = 0;
        if (bits_ == inBits) {
            // Byte by byte; the last byte's padding bits are no pixels.
            const std::size_t whole = std::size_t(width) / unsigned(perByte);
            for (std::size_t i = 0; i < whole; ++i) {
                out[i] = byteMap_[in[i]];
                unseen |= unseenByte_[in[i]];
            }
            if (whole < rowBytes_)
                out[whole] = byteMap_[in[whole]];
            for (std::uint32_t x = std::uint32_t(whole * unsigned(perByte)); x < width; ++x)
                unseen |= unseen_[index(x)];
            const unsigned used = unsigned(std::size_t(width) * unsigned(bits_) % 8);
            if (used != 0)
                out[rowBytes_ - 1] &= std::uint8_t(0xff00u >> used);
        } else {
            pack(width, bits_, out, [&](std::uint32_t x) {
                const unsigned i = index(x);
                unseen |= unseen_[i];
                return valueOf_[i];
            });
        }
        if (unseen != 0)
            changed();
        return;
    }
    const std::size_t channels = info_.format == bmp::PixelFormat::Rgba8 ? 4 : 3;
    if (kind_ == StoredKind::Gray) {
        unsigned unseen = 0;
        pack(width, bits_, out, [&](std::uint32_t x) {
            const std::uint8_t* p = in + x * channels;
            unseen |= unseen_[p[0]] | (p[0] ^ p[1]) | (p[0] ^ p[2]);
            return valueOf_[p[0]];
        });
        if (unseen != 0)
            changed();
        return;
    }
    std::uint32_t last = Empty;
    std::uint8_t lastIndex = 0;
    pack(width, bits_, out, [&](std::uint32_t x) {
        const std::uint8_t* p = in + x * channels;
        const std::uint32_t rgb = packedAt(p);
        if (rgb != last) {
            last = rgb;
            lastIndex = lookUp(rgb);
        }
        return lastIndex;
    });
}

} // namespace nconvert
