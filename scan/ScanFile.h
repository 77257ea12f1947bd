#pragma once
// Loading the scanner's BMP file into a picture.
#include <QImage>
#include <QString>

namespace orvane {

// Reads the file with Qt's image reader into memory of its own (backed by
// huge pages where the system offers them), large scans included. Raises
// AppError with the reader's own error text when it cannot be read.
QImage loadScanFile(const QString& path);

} // namespace orvane
