#pragma once
// The converter the program carries, and where it is written out to run.
#include <QByteArray>
#include <QString>

namespace orvane {

// "TEMP" when set and not empty, else TMPDIR, else /tmp.
QString temporaryFolder();
// The temporary folder followed by "/nconvert.exe" and "/tempscan.bmp".
QString converterPath();
QString temporaryBmpPath();

// The carried converter's bytes. Raises AppError when they cannot be had.
QByteArray LoadConverterImage();

// True when `path` is a regular file of this user, not a link, holding
// exactly `image`.
bool isCarriedConverter(const QString& path, const QByteArray& image);

// Writes the converter to `path` unless the carried one is already there;
// anything else at that path is replaced. Raises AppError.
void DeployConverter(const QByteArray& image, const QString& path);

} // namespace orvane
