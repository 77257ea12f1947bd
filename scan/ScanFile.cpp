#include "scan/ScanFile.h"

#include "shell/AppError.h"
#include "shell/PrivateFolder.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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
    const qsizetype bytesPerLine
        = ((static_cast<qsizetype>(size.width()) * QImage::toPixelFormat(format).bitsPerPixel() + 31) / 32)
        * 4;
    const size_t bytes = static_cast<size_t>(bytesPerLine) * static_cast<size_t>(size.height());
    if (bytes < 4 * hugePage || bytesPerLine > std::numeric_limits<int>::max())
        return QImage();
    const size_t length = (bytes + hugePage - 1) / hugePage * hugePage;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return QImage();
    ::madvise(base, length, MADV_HUGEPAGE);
    auto* mapping = new std::pair<void*, size_t>(base, length);
    QImage image(
        static_cast<uchar*>(base), size.width(), size.height(), bytesPerLine, format, unmapPicture, mapping);
    if (image.isNull())
        unmapPicture(mapping);
    return image;
}

quint32 le32(const uchar* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | quint32(p[3]) << 24;
}

// Qt's reader accepts a BMP file that ends early and fills the rest of the
// picture with whatever the memory held. An uncompressed file is checked
// against the size its header announces before it is read.
void checkComplete(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return; // the reader says why
    uchar h[30];
    if (file.read(reinterpret_cast<char*>(h), sizeof h) != qint64(sizeof h) || h[0] != 'B' || h[1] != 'M')
        return;
    const quint32 offBits = le32(h + 10), headerSize = le32(h + 14);
    if (headerSize < 40)
        return;
    uchar info[20];
    if (file.read(reinterpret_cast<char*>(info), sizeof info) != qint64(sizeof info))
        return;
    const qint64 width = qint32(le32(h + 18)), height = qint32(le32(h + 22));
    const int bits = h[28] | h[29] << 8;
    const quint32 compression = le32(info);
    if ((compression != 0 && compression != 3) || width <= 0 || height == 0 || bits == 0)
        return;
    const qint64 stride = (width * bits + 31) / 32 * 4;
    const qint64 needed = qint64(offBits) + stride * (height < 0 ? -height : height);
    if (file.size() < needed)
        raiseError(ErrDeviceIO,
            path
                + QStringLiteral(": the picture file is incomplete: it holds %1 of the %2 bytes "
                                 "its header announces")
                      .arg(file.size())
                      .arg(needed));
}

} // namespace

QString scanFilePath(const QString& appFolder, QString* why)
{
    const QString name = QStringLiteral("VBScanInterface.bmp");
    // A folder others may write is never used: they could take the name
    // first, or put a link or a pipe there.
    QString appWhy = ownFolderProblem(appFolder);
    if (appWhy.isEmpty()) {
        if (::faccessat(AT_FDCWD, QFile::encodeName(appFolder).constData(), W_OK | X_OK, AT_EACCESS) == 0)
            return appFolder.endsWith(QLatin1Char('/')) ? appFolder + name
                                                        : appFolder + QLatin1Char('/') + name;
        const int err = errno;
        appWhy
            = QDir::cleanPath(appFolder) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    }
    QString privateWhy;
    const QString folder = userPrivateFolder(why ? &privateWhy : nullptr);
    if (folder.isEmpty() && why)
        *why = appWhy + (privateWhy.isEmpty() ? QString() : QLatin1Char('\n') + privateWhy);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + name;
}

QString scanLockPath(const QString& scanFile)
{
    // Beside the scan file, in a folder only this user can write: every
    // copy that would use this file takes this claim, whatever its
    // environment says.
    return scanFile + QStringLiteral(".lock");
}

QImage loadScanFile(const QString& path)
{
    checkComplete(path);
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
