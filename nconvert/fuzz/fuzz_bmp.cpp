// libFuzzer target: the BMP reader on arbitrary bytes. Every picture it
// accepts is decoded completely, band by band as the converter reads it, and
// its rows are deflated and inflated again to check the encoder too; its
// colours are counted, and every row converted to the stored form must hold
// the colours read, pixel for pixel.

#include "BmpReader.h"
#include "ColourReduction.h"
#include "Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using nconvert::bmp::Rgb;

unsigned field(const std::uint8_t* row, std::uint32_t x, int bits)
{
    const unsigned perByte = 8 / unsigned(bits);
    return (row[x / perByte] >> (8 - bits * int(x % perByte + 1))) & ((1u << bits) - 1);
}

// Pixel x of a row as the reader delivers it (alpha left out).
Rgb readColour(const nconvert::bmp::ImageInfo& info, const std::uint8_t* row, std::uint32_t x)
{
    if (info.format == nconvert::bmp::PixelFormat::Indexed)
        return info.palette[field(row, x, info.indexBits)];
    const std::uint8_t* p = row + x * (info.format == nconvert::bmp::PixelFormat::Rgba8 ? 4 : 3);
    return {p[0], p[1], p[2]};
}

// Pixel x of a stored row.
Rgb storedColour(const nconvert::StoredForm& form, const std::uint8_t* row, std::uint32_t x)
{
    switch (form.kind()) {
    case nconvert::StoredKind::Gray: {
        const auto v = std::uint8_t(field(row, x, form.bits()) * (255u / ((1u << form.bits()) - 1)));
        return {v, v, v};
    }
    case nconvert::StoredKind::Palette: {
        const unsigned i = field(row, x, form.bits());
        if (i >= form.palette().size())
            std::abort();
        return form.palette()[i];
    }
    case nconvert::StoredKind::Rgb:
        return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case nconvert::StoredKind::AsRead:
        break;
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace nconvert;
    try {
        bmp::MemorySource source(data, size);
        bmp::Reader reader(source);
        const bmp::ImageInfo& info = reader.info();
        const std::size_t rowBytes = info.rowBytes();
        const std::uint32_t band = 7; // odd, so that bands and RLE blocks do not line up
        std::vector<std::uint8_t> rows(rowBytes * band);
        bmp::RowScratch scratch;
        std::vector<std::uint8_t> packed;
        Deflater deflater;
        ColourCensus census(info);
        for (std::uint32_t y = 0; y < info.height; y += band) {
            const std::uint32_t n = std::min(band, info.height - y);
            reader.readRows(y, n, rows.data(), scratch);
            ColourCensus part(info);
            part.count(rows.data(), n);
            census.merge(part);
            const std::size_t bytes = rowBytes * n;
            packed.clear();
            deflater.chunk(rows.data(), bytes, ChunkEnd::Final, packed);
            std::vector<std::uint8_t> back(bytes + 1);
            uLongf backSize = uLongf(back.size());
            z_stream z{};
            inflateInit2(&z, -15);
            z.next_in = packed.data();
            z.avail_in = uInt(packed.size());
            z.next_out = back.data();
            z.avail_out = uInt(back.size());
            const int rc = inflate(&z, Z_FINISH);
            backSize = z.total_out;
            inflateEnd(&z);
            if (rc != Z_STREAM_END || backSize != bytes || std::memcmp(back.data(), rows.data(), bytes) != 0)
                std::abort();
        }
        // Read a second time, the picture is the same: nothing may throw.
        const StoredForm form(info, census);
        if (form.kind() == StoredKind::AsRead)
            return 0;
        std::vector<std::uint8_t> stored(form.rowBytes());
        try {
            for (std::uint32_t y = 0; y < info.height; ++y) {
                reader.readRows(y, 1, rows.data(), scratch);
                form.convert(rows.data(), stored.data());
                for (std::uint32_t x = 0; x < info.width; ++x)
                    if (!(storedColour(form, stored.data(), x) == readColour(info, rows.data(), x)))
                        std::abort();
            }
        } catch (const nconvert::Error&) {
            std::abort();
        }
    } catch (const nconvert::Error&) {
        // A refused file: what the reader must do with bad input.
    }
    return 0;
}
