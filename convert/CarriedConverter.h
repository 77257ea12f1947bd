#pragma once
// The converter the program carries: its bytes, written out to run and
// checked before it runs.
#include "shell/FileIO.h"

#include <QByteArray>
#include <QString>

namespace orvane {

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
