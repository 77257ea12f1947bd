// What the library does to a scan's rows on their way to the file, and the
// writing of a picture held in memory, straightened and turned as asked.
#pragma once

#include "BmpWriter.h"
#include "Light.h"
#include "Picture.h"
#include "ScanSettings.h"

#include <optional>

namespace eztw32 {

// What is done to the rows of a scan on their way to the file.
struct Corrections {
    bool hold = false; // straightened or turned: held in memory, written at the end
    std::optional<LightTable> light;
    bool straighten = false;
    bool cropToPage = false;
    Turn turn = Turn::None;
};

Corrections correctionsFor(const ScanSettings& settings);

// Writes the picture to the file as a BMP of the given kind (line art held
// as 0 and 255 a pixel), straightened (a page already straight as it is)
// and turned, the result streaming into the file a block of rows at a
// time; false on a write error.
bool writeCorrected(
    const PictureView& picture, BmpWriter::Kind kind, double dpi, const Corrections& fix, int fd);

} // namespace eztw32
