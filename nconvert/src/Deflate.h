// Deflate compression of image data, in independent chunks.
//
// Filtered scans and photographs are noise to deflate: their bytes hardly
// ever repeat, so string matching costs time and makes them larger, while a
// Huffman code fitted to each block's byte histogram gets all the
// compression there is. Clean pages, charts, line art and the virtual
// scanner's pattern are the opposite: string matching makes them many times
// smaller. A quick trial on a few samples of each chunk tells them apart:
// noise is written as Huffman-only blocks, by a very fast encoder of our own;
// what matching makes much smaller is compressed by libdeflate; in between,
// both are made and the smaller kept.
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
    // level: libdeflate's, for the chunks where string matching pays.
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
    enum class Matching { Not, Maybe, Clearly };
    Matching matchingPays(const std::uint8_t* data, std::size_t size);
    void withMatches(
        const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out);

    libdeflate_compressor* compressor_;
    libdeflate_compressor* probe_; // the fastest level, for the trial
    std::vector<std::uint8_t> scratch_;
};

// Appends data[0, size) as Huffman-only blocks (used by Deflater; exposed so
// that it can be tested on its own).
void deflateHuffmanOnly(
    const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out);

// Checksums of the PNG and zlib formats, as zlib computes them.
std::uint32_t adler32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start = 1);
std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start = 0);

} // namespace nconvert
