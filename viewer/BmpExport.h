#pragma once
// The BMP writer of "Save As BMP", also used for the converter's input.
#include <QImage>
#include <QString>

namespace orvane {

// Writes `picture` as an uncompressed BMP file at `path`, keeping its depth
// (1-bit, 8-bit palette, 24-bit colour) and resolution. The file appears
// complete or not at all, under the rules of SaveFile (app/SaveFile.h).
// Raises AppError with the real cause on failure.
void SavePicture(const QImage& picture, const QString& path);

// The palette of a 1-bit or 8-bit picture as Qt turns it into colours
// (QImage::convertToFormat): the picture's own entries (black and white, or
// a gray ramp, when it has none); a missing second entry of a 1-bit picture
// is white, missing entries of an 8-bit one up to `entries` are black.
// Every writer uses it, so that all formats carry the same picture.
QList<QRgb> shownColorTable(const QImage& picture, int entries = 0);

} // namespace orvane
