#include "Deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <array>
#include <new>
#include <stdexcept>

namespace nconvert {
namespace {

// The bit offset, in data[0, size), of the header of the last block of a
// raw deflate stream, and the number of zero bits that pad its end to a
// byte. zlib's inflate stops at every block boundary when asked to
// (Z_BLOCK) and says how many bits of the last byte it has not used yet.
struct LastBlock {
    std::size_t headerBit = 0;
    int paddingBits = 0;
};

LastBlock findLastBlock(const std::uint8_t* data, std::size_t size)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        throw std::bad_alloc();
    struct End {
        z_stream& z;
        ~End() { inflateEnd(&z); }
    } end{z};
    // The decoded bytes are not needed: they go to a scratch buffer that is
    // reused whenever it is full (inflate keeps its own window).
    std::array<std::uint8_t, 64 * 1024> scratch;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    LastBlock last;
    for (;;) {
        z.next_out = scratch.data();
        z.avail_out = uInt(scratch.size());
        const int rc = inflate(&z, Z_BLOCK);
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK)
            throw std::runtime_error("the compressed data does not decode");
        // At a block boundary: after the final block (inflate drops the
        // padding only on its next call), or before another block's header.
        if ((z.data_type & 128) != 0) {
            if ((z.data_type & 64) != 0)
                last.paddingBits = z.data_type & 7;
            else
                last.headerBit = std::size_t(z.total_in) * 8 - std::size_t(z.data_type & 7);
        }
    }
    if (z.total_in != size)
        throw std::runtime_error("the compressed data has bytes after its end");
    return last;
}

} // namespace

Deflater::Deflater(int level)
    : compressor_(libdeflate_alloc_compressor(level))
{
    if (compressor_ == nullptr)
        throw std::bad_alloc();
}

Deflater::~Deflater()
{
    libdeflate_free_compressor(compressor_);
}

void Deflater::chunk(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    const std::size_t start = out.size();
    // Five bytes more for the empty stored block of a flush.
    out.resize(start + libdeflate_deflate_compress_bound(compressor_, size) + 5);
    const std::size_t n
        = libdeflate_deflate_compress(compressor_, data, size, out.data() + start, out.size() - start);
    if (n == 0)
        throw std::runtime_error("compression failed"); // cannot happen with the bound's room
    out.resize(start + n);
    if (end == ChunkEnd::Final)
        return;
    const LastBlock last = findLastBlock(out.data() + start, n);
    out[start + last.headerBit / 8] &= std::uint8_t(~(1u << (last.headerBit % 8)));
    // An empty stored block: three zero header bits (in the padding when it
    // has room for them), zero bits to the next byte, then LEN 0 and NLEN.
    if (last.paddingBits < 3)
        out.push_back(0);
    for (std::uint8_t b : {0x00, 0x00, 0xff, 0xff})
        out.push_back(b);
}

void Deflater::zlibStream(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out)
{
    const std::size_t start = out.size();
    out.resize(start + libdeflate_zlib_compress_bound(compressor_, size));
    const std::size_t n
        = libdeflate_zlib_compress(compressor_, data, size, out.data() + start, out.size() - start);
    if (n == 0)
        throw std::runtime_error("compression failed");
    out.resize(start + n);
}

std::uint32_t adler32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start)
{
    return libdeflate_adler32(start, data, size);
}

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start)
{
    return libdeflate_crc32(start, data, size);
}

} // namespace nconvert
