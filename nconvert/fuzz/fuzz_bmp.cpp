// libFuzzer target: the BMP reader on arbitrary bytes. Every picture it
// accepts is decoded completely, band by band as the converter reads it, and
// its rows are deflated and inflated again to check the encoder too.

#include "BmpReader.h"
#include "Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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
        for (std::uint32_t y = 0; y < info.height; y += band) {
            const std::uint32_t n = std::min(band, info.height - y);
            reader.readRows(y, n, rows.data(), scratch);
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
    } catch (const bmp::Error&) {
        // A refused file: what the reader must do with bad input.
    }
    return 0;
}
