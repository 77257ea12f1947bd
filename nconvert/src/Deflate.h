// Deflate compression of image data with libdeflate, in independent chunks.
//
// The PNG writer compresses its bands of rows on several threads and joins
// them into one zlib stream: every chunk but the last must then end with a
// non-final block on a byte boundary (what zlib calls a sync flush). libdeflate
// always ends its output with a final block, so for such a chunk the final
// bit of its last block is cleared and an empty stored block appended. The
// TIFF writer's strips are each a zlib stream of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

namespace nconvert {

enum class ChunkEnd {
    Flush, // more chunks follow: end with an empty stored block, byte aligned
    Final, // this chunk ends the deflate stream
};

// The level the converter compresses at (libdeflate's scale, 1 to 12).
constexpr int DefaultLevel = 6;

// One compressor, for one thread at a time.
class Deflater {
public:
    explicit Deflater(int level = DefaultLevel);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Appends the raw deflate encoding of data[0, size) to out.
    void chunk(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out);

    // Appends a complete zlib stream (header, deflate data, Adler-32) of
    // data[0, size) to out.
    void zlibStream(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);

private:
    libdeflate_compressor* compressor_;
};

// Checksums of the PNG and zlib formats, as zlib computes them.
std::uint32_t adler32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start = 1);
std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start = 0);

} // namespace nconvert
