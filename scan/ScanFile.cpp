#include "scan/ScanFile.h"

#include "app/AppError.h"

#include <QImageReader>
#include <sys/mman.h>

namespace orvane {

namespace {

constexpr size_t hugePage = 2u << 20;

void unmapPicture(void* info)
{
    auto* mapping = static_cast<std::pair<void*, size_t>*>(info);
    ::munmap(mapping->first, mapping->second);
    delete mapping;
}

// A picture whose pixels live in a fresh anonymous mapping. The kernel is
// asked for huge pages: the first touch of a 100 MB buffer then costs a few
// milliseconds instead of some hundreds.
QImage mappedPicture(QSize size, QImage::Format format)
{
    const qsizetype bytesPerLine = ((static_cast<qsizetype>(size.width()) * QImage::toPixelFormat(format).bitsPerPixel() + 31) / 32) * 4;
    const size_t bytes = static_cast<size_t>(bytesPerLine) * static_cast<size_t>(size.height());
    if (bytes < 4 * hugePage || bytesPerLine > std::numeric_limits<int>::max())
        return QImage();
    const size_t length = (bytes + hugePage - 1) / hugePage * hugePage;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return QImage();
    ::madvise(base, length, MADV_HUGEPAGE);
    auto* mapping = new std::pair<void*, size_t>(base, length);
    QImage image(static_cast<uchar*>(base), size.width(), size.height(), bytesPerLine, format,
                 unmapPicture, mapping);
    if (image.isNull())
        unmapPicture(mapping);
    return image;
}

} // namespace

QImage loadScanFile(const QString& path)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    // A 1200 dpi A4 colour scan takes some 560 MB as a picture, far above
    // Qt's default allocation limit.
    reader.setAllocationLimit(4096);
    QImage picture;
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (size.isValid() && format != QImage::Format_Invalid)
        picture = mappedPicture(size, format);
    if (!reader.read(&picture) || picture.isNull())
        raiseError(ErrFileNotFound, path + QStringLiteral(": ") + reader.errorString());
    return picture;
}

} // namespace orvane
