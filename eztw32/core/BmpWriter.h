// Streams an uncompressed BMP (BITMAPINFOHEADER) to an open file, a few rows
// at a time: 24-bit colour, 8-bit gray with a gray palette, or 1-bit black
// and white (palette index 0 black, 1 white). Rows are given top first; the
// file is the usual bottom-up BMP. With a known height every row goes
// straight to its place; with an unknown height (hand scanners) the rows are
// appended and turned over in the file at the end.
#pragma once

#include <cstdint>
#include <vector>

namespace eztw32 {

class BmpWriter {
public:
    enum class Kind { Rgb24, Gray8, BlackWhite1 };

    // height < 0: not known before the last row.
    BmpWriter(int fd, int width, int height, Kind kind, double dpi);

    // Writes the headers; false on a write error (see error()).
    bool begin();
    // The row to fill next (strideFor() bytes, already zeroed padding); a
    // row past a known height may be filled too, and is dropped.
    std::uint8_t* nextRow();
    // Hands the row from nextRow() to the file; false on a write error.
    bool commitRow();
    // Writes what is left and completes the headers.
    bool finish();

    int rows() const { return rows_; }
    int error() const { return error_; }

    static int strideFor(int width, Kind kind);

private:
    bool flush();
    bool writeAt(const void* data, std::size_t size, std::int64_t offset);
    bool readAt(void* data, std::size_t size, std::int64_t offset);
    bool writeHeaders(int height);

    int fd_;
    int width_, height_;
    Kind kind_;
    double dpi_;
    int stride_;
    std::uint32_t dataOffset_;
    int rows_ = 0; // rows committed
    int chunkRows_; // rows per write
    int chunkFirst_ = 0; // first row held in the chunk
    int chunkCount_ = 0; // rows held in the chunk
    std::vector<std::uint8_t> chunk_;
    std::vector<std::uint8_t> spare_; // a row past the height
    int error_ = 0;
};

} // namespace eztw32
