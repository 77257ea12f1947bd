// Deflate encoding of one chunk of image data.
//
// Scanned pages are noisy: after PNG filtering or TIFF prediction their bytes
// hardly ever repeat, so LZ77 string matching costs time and gains nothing,
// while a Huffman code fitted to each block's byte histogram gets nearly all
// of the compression there is. The encoder below writes such "Huffman only"
// blocks very fast. Chunks whose histogram shows long runs of the same value
// (clean synthetic pictures, line art, palette images) are handed to zlib
// instead, which finds the repeats; the smaller result is kept.
//
// A chunk is encoded independently of the others, so chunks can be
// compressed on several threads and their outputs concatenated: every chunk
// but the last ends on a byte boundary with a non-final (sync flush) block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nconvert {

enum class ChunkEnd {
    Flush, // more chunks follow: end with an empty stored block, byte aligned
    Final, // this chunk ends the deflate stream
};

// Appends the raw deflate encoding of data[0, size) to out.
// Throws std::runtime_error only when zlib fails (out of memory).
void deflateChunk(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out);

// The same, always with Huffman-only blocks (used by deflateChunk; exposed
// so that it can be tested on its own).
void deflateHuffmanOnly(
    const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out);

} // namespace nconvert
