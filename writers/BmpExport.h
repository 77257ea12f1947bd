#pragma once
// The BMP writer of "Save As BMP", also used for the converter's input.
#include "shell/SaveFile.h"

#include <QImage>
#include <QString>

namespace orvane {

// Writes `picture` as an uncompressed BMP file at `path`, keeping its depth
// (1-bit, 8-bit palette, 24-bit colour) and resolution. The file appears
// complete or not at all, under the rules of SaveFile (shell/SaveFile.h);
// a new file gets `mode`. Raises AppError with the real cause on failure.
void SavePicture(const QImage& picture, const QString& path, NewFileMode mode = NewFileMode::Shared);

} // namespace orvane
