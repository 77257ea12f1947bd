#pragma once
// The JPEG writer of "Save As JPG".
#include <QImage>
#include <QString>

namespace orvane {

// Writes `picture` as a JPEG file at `path` with the given quality (0 to
// 100). The file appears complete or not at all. On failure raises AppError
// number 5 with "Cannot save the image. GDI+ Error:" followed by the status.
void WriteJpegFile(const QImage& picture, const QString& path, quint8 quality);

} // namespace orvane
