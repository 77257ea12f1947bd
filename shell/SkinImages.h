#pragma once
// The images a skin's style sheet names (url(...)), read by the program
// itself before the sheet is put in force, so that a skin can neither stop
// the start nor take the memory:
//   - only a regular file is read, opened without waiting (a FIFO, a
//     device, a socket or a folder is left out, as a missing file is);
//   - each image is decoded no larger than it can be drawn: within the
//     largest screen, its proportions kept;
//   - all images of a skin together hold at most SkinImageBudget bytes of
//     pixels; when they would hold more, each is reduced by the same factor.
// The sheet then names the decoded copies, kept in memory of the program's
// own for as long as it runs; an image that cannot be read names one
// clear pixel, so that nothing is drawn there, as for a missing file.
// Paths of Qt's resources (":/...") are the program's own and stay.
#include <QSize>
#include <QString>

namespace orvane {

constexpr qint64 SkinImageBudget = 24 * 1024 * 1024;

// `styleSheet` with its images read as above. `screen` is the largest size
// an image is drawn at, in device pixels.
QString withSkinImages(const QString& styleSheet, QSize screen);

// The largest screen's size in device pixels (1920 x 1080 without a screen).
QSize largestScreenSize();

// The size an image of `size` is decoded at, alone: `size`, or within
// `screen` with its proportions kept.
QSize drawnSize(QSize size, QSize screen);

} // namespace orvane
