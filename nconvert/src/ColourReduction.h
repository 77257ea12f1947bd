// The smallest lossless way to store a picture's pixels.
//
// Before anything is written, the converter reads the whole picture once and
// counts the colours it uses, up to 256. A picture with at most 256 colours
// is stored with a palette of the colours it uses, or as gray when every one
// of them is gray, at the smallest bit depth (1, 2, 4 or 8) that holds every
// value: a page of black text scanned in colour becomes 8-bit gray, a chart
// with a dozen flat colours a 4-bit palette, a two-colour page 1 bit per
// pixel. A picture whose alpha is opaque everywhere loses its alpha channel.
// Every pixel decodes to the colour it had.
//
// The count stops as soon as nothing can change its outcome (more than 256
// colours and, where there is alpha, a pixel that is not opaque), so that a
// photograph costs only the first rows of the pass.
#pragma once

#include "BmpReader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nconvert {

// The colours of some rows of a picture, as the reader delivers them.
class ColourCensus {
public:
    explicit ColourCensus(const bmp::ImageInfo& info);

    void count(const std::uint8_t* rows, std::uint32_t rowCount);
    void merge(const ColourCensus& other);

    // Whether more rows cannot change the stored form.
    bool settled() const { return many_ && !droppableAlpha_; }

private:
    friend class StoredForm;
    bool add(std::uint32_t rgb); // false once there are more than 256 colours

    const bmp::ImageInfo* info_;
    std::array<std::uint8_t, 256> usedIndex_{}; // Indexed pictures
    std::array<std::uint32_t, 512> table_; // Rgb8 and Rgba8: 0xRRGGBB, or Empty
    int colours_ = 0;
    bool many_ = false; // more than 256 colours
    bool droppableAlpha_; // the picture has alpha, and every alpha seen is 255
};

enum class StoredKind {
    AsRead, // the pixels as the reader delivers them
    Gray, // gray values at the form's depth
    Palette, // indices into the form's palette at its depth
    Rgb, // R, G, B bytes: an opaque RGBA picture without its alpha
};

// How a picture is stored, and the conversion of its rows to that form.
class StoredForm {
public:
    StoredForm(const bmp::ImageInfo& info, const ColourCensus& census);

    StoredKind kind() const { return kind_; }
    int bits() const { return bits_; } // per sample; 8 for AsRead and Rgb
    const std::vector<bmp::Rgb>& palette() const { return palette_; }
    std::size_t rowBytes() const { return rowBytes_; }
    // Whether stored rows are the rows as read, byte for byte.
    bool identity() const { return identity_; }

    // Converts one row as the reader delivers it into rowBytes() bytes.
    // Throws Error when the row holds a colour the count did not see
    // (the file changed after it was counted).
    void convert(const std::uint8_t* in, std::uint8_t* out) const;

private:
    std::uint8_t lookUp(std::uint32_t rgb) const;

    const bmp::ImageInfo& info_;
    StoredKind kind_ = StoredKind::AsRead;
    int bits_ = 8;
    std::vector<bmp::Rgb> palette_;
    std::size_t rowBytes_ = 0;
    bool identity_ = true;
    std::array<std::uint8_t, 256> valueOf_{}; // an index's (Indexed) or a gray level's (Rgb8) stored value
    std::array<std::uint8_t, 256> unseen_{}; // 1 for an index or gray level the count did not see
    std::array<std::uint8_t, 256> byteMap_{}; // Indexed at the same depth: stored byte of a byte read
    std::array<std::uint8_t, 256> unseenByte_{}; // 1 for a byte read holding an unseen index
    std::array<std::uint32_t, 512> keys_{}; // Rgb8 and Rgba8 palettes: 0xRRGGBB, or Empty
    std::array<std::uint8_t, 512> indexOf_{};
};

} // namespace nconvert
