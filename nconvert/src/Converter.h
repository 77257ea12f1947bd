// Conversion of a BMP file into PNG or TIFF.
//
// The picture is read once to count its colours, then read again, filtered
// and compressed in bands of rows on several threads and written in order,
// so memory stays a few megabytes whatever the size of the picture. It is
// stored in the smallest form that holds its colours (1, 2, 4 or 8-bit
// palette or gray, RGB, RGBA; see ColourReduction.h); every pixel decodes to
// its colour and the resolution is kept.
//
// The output goes to a new temporary file in the target's folder, which
// replaces the target only once it is complete; on any failure the temporary
// file is removed and an existing target is left as it was.
#pragma once

#include "Error.h"

#include <string>

namespace nconvert {

enum class OutputFormat { Png, Tiff };

// Throws Error, whose line names the file and the problem, when the
// conversion fails.
void convertBmp(const std::string& inputPath, const std::string& outputPath, OutputFormat format);

} // namespace nconvert
