#pragma once
// The converter the program carries, and where it is written out to run.
#include "shell/FileIO.h"

#include <QByteArray>
#include <QString>

namespace orvane {

// "TEMP" when set and not empty, else TMPDIR, else /tmp.
QString temporaryFolder();
// The folder of the export's own files: the temporary folder when only
// this user can write it, else "orvane-capture-desk-<uid>" inside it, so
// that no other user's file is ever converted or run.
QString exportFolder();
// Makes the export folder when it is a folder of its own (mode 0700) and
// checks that it is a real directory of this user that nobody else can
// write. Raises AppError.
void checkExportFolder();
// The export folder followed by "/nconvert.exe" and "/tempscan.bmp".
QString converterPath();
QString temporaryBmpPath();
// The lock that one export at a time of this user holds.
QString exportLockPath();

// The carried converter's bytes. Raises AppError when they cannot be had.
QByteArray LoadConverterImage();

// Opens `path` once and keeps it open when it is a regular file of this
// user, not a link, writable by nobody else and holding exactly `image`;
// the converter is then started from that descriptor, so nothing can be
// swapped in after the check. Empty otherwise.
UniqueFd openCarriedConverter(const QString& path, const QByteArray& image);
bool isCarriedConverter(const QString& path, const QByteArray& image);

// Writes the converter to `path` unless the carried one is already there;
// anything else at that path is replaced. Raises AppError.
void DeployConverter(const QByteArray& image, const QString& path);

} // namespace orvane
