#pragma once
// Where the scanner's BMP file goes, and loading it into a picture.
#include <QImage>
#include <QString>

namespace orvane {

// Reads the file with Qt's image reader into memory of its own (backed by
// huge pages where the system offers them), large scans included. Raises
// AppError with the reader's own error text when it cannot be read.
QImage loadScanFile(const QString& path);

// "VBScanInterface.bmp" in the application folder `appFolder` when this
// user can write there and no one else can; else in the folder of this
// user's own (userPrivateFolder(): $XDG_RUNTIME_DIR/orvane-capture-desk
// when XDG_RUNTIME_DIR is set and usable, else
// $XDG_CACHE_HOME/orvane-capture-desk, ~/.cache by default; made with mode
// 0700 when missing and checked at every call).
// Empty when neither can be written; then `why`, when given, has a line
// for each folder tried, naming it and what is wrong with it.
QString scanFilePath(const QString& appFolder, QString* why = nullptr);

// The lock a copy of the program holds from the acquire to the removal of
// its scan file, so that no other copy of this user loads or deletes it:
// "VBScanInterface.bmp.lock" beside the scan file, so that two copies that
// use the same scan file take the same claim.
QString scanLockPath(const QString& scanFile);

} // namespace orvane
