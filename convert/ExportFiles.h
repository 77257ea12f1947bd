#pragma once
// Where the TIFF and PNG exports keep their own files: the converter they
// run, the temporary BMP it reads, and the lock that lets one export of
// this user run at a time.
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

} // namespace orvane
