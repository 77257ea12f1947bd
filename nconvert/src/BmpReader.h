// Reader of Windows and OS/2 BMP files.
//
// Reads the header, the palette and the bit fields at once and checks every
// size against the file before anything is allocated; the pixels are then
// read on demand, a band of rows at a time, so that memory stays small
// whatever the size of the picture. Rows come out top row first, whatever
// the order the file stores them in.
//
// Supported: 1, 2, 4 and 8 bits per pixel with a palette (uncompressed, RLE8,
// RLE4), 16 and 32 bits with default or explicit bit fields (also with an
// alpha mask), 24 bits; Windows headers of 40, 52, 56, 108 and 124 bytes and
// OS/2 headers of 12 and 16 to 64 bytes; top-down images. Refused with a
// message: JPEG or PNG inside a BMP, OS/2 Huffman and RLE24 compression, 64
// bits per pixel, and every malformed file.
#pragma once

#include "Error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nconvert::bmp {

// Random-access bytes of the file. read() is called from several threads at
// once and must either fill the whole buffer or throw Error.
class Source {
public:
    virtual ~Source() = default;
    virtual std::uint64_t size() const = 0;
    virtual void read(std::uint64_t offset, void* buffer, std::size_t count) const = 0;
};

// A file descriptor read with pread(); the descriptor stays owned by the caller.
class FileSource final : public Source {
public:
    explicit FileSource(int fd); // throws Error when fstat fails
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::size_t count) const override;

private:
    int fd_;
    std::uint64_t size_;
};

class MemorySource final : public Source {
public:
    MemorySource(const std::uint8_t* data, std::size_t size)
        : data_(data)
        , size_(size)
    { }
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::size_t count) const override;

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

enum class PixelFormat {
    Indexed, // palette indices packed at indexBits per pixel, first pixel in the high bits
    Rgb8, // R, G, B bytes
    Rgba8, // R, G, B, A bytes (alpha not premultiplied)
};

struct ImageInfo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PixelFormat format = PixelFormat::Rgb8;
    int indexBits = 8; // 1, 2, 4 or 8 for Indexed
    std::vector<Rgb> palette; // Indexed only: 1 to 2^indexBits colours
    // Resolution in pixels per metre; 0 when the file does not say.
    std::uint32_t pixelsPerMetreX = 0;
    std::uint32_t pixelsPerMetreY = 0;
    // An ICC colour profile embedded in the file (version 5 headers), else empty.
    std::vector<std::uint8_t> iccProfile;

    // Bytes of one row as read_rows() delivers it (no padding).
    std::size_t rowBytes() const;
    // Whether the palette is exactly the gray ramp 0 .. 255 of its depth.
    bool paletteIsGrayRamp() const;
};

// Per-thread working memory for Reader::readRows().
class RowScratch {
public:
    RowScratch();
    ~RowScratch();
    RowScratch(const RowScratch&) = delete;
    RowScratch& operator=(const RowScratch&) = delete;

private:
    friend class Reader;
    std::vector<std::uint8_t> raw;
    std::vector<std::uint8_t> rleBlock;
    std::int64_t rleBlockIndex = -1;
};

class Reader {
public:
    // Reads and checks the header; for RLE pictures also walks the whole
    // compressed stream once (checking it and remembering where each band of
    // rows starts). Throws Error. The source must outlive the reader.
    explicit Reader(const Source& source);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const ImageInfo& info() const { return info_; }

    // Decodes rows [firstRow, firstRow + count), counted from the top, into
    // out (count * info().rowBytes() bytes). Thread-safe with one scratch per
    // thread. Throws Error (a read failure, or a palette index outside the
    // palette).
    void readRows(std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const;

private:
    struct RleState {
        std::uint64_t offset; // of the next opcode
        std::uint32_t x;
        std::uint32_t y; // counted from the bottom row
        bool ended;
    };
    void parseHeader();
    void scanRle();
    void readUncompressedRows(
        std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const;
    void readRleRows(
        std::uint32_t firstRow, std::uint32_t count, std::uint8_t* out, RowScratch& scratch) const;
    // Runs the RLE decoder from state until row yEnd (exclusive, from the
    // bottom) is reached; pixels of rows [yBegin, yEnd) go to block (one byte
    // per pixel) when block is not null. Returns the state reached.
    RleState runRle(RleState state, std::uint32_t yBegin, std::uint32_t yEnd, std::uint8_t* block,
        std::vector<RleState>* checkpoints) const;
    void convertRow(const std::uint8_t* raw, std::uint8_t* out) const;
    void checkIndices(const std::uint8_t* row) const;

    const Source& source_;
    ImageInfo info_;
    bool topDown_ = false;
    int bitsPerPixel_ = 0;
    int compression_ = 0; // 0 none, 1 RLE8, 2 RLE4
    std::uint64_t dataOffset_ = 0;
    std::uint64_t dataEnd_ = 0;
    std::uint64_t stride_ = 0;
    bool bitfields_ = false;
    struct Channel {
        std::uint32_t mask = 0;
        int shift = 0;
        int bits = 0;
    };
    Channel channels_[4]; // R, G, B, A
    std::vector<RleState> rleCheckpoints_; // one per band of RleBand rows, from the bottom
};

} // namespace nconvert::bmp
