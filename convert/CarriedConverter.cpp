#include "convert/CarriedConverter.h"

#include "shell/AppError.h"
#include "shell/Main.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

QByteArray LoadConverterImage()
{
    QFile resource(QStringLiteral(":/converter/nconvert.exe"));
    if (!resource.open(QIODevice::ReadOnly))
        raiseError(ErrFileNotFound,
            QStringLiteral("The converter carried by the program cannot be read: ") + resource.errorString());
    return resource.readAll();
}

UniqueFd openCarriedConverter(const QString& path, const QByteArray& image)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return fd;
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()
        || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_size != image.size())
        return UniqueFd();
    QByteArray held(image.size(), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < held.size()) {
        const ssize_t n = ::pread(fd.get(), held.data() + got, static_cast<size_t>(held.size() - got), got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return UniqueFd();
        got += n;
    }
    if (held != image)
        return UniqueFd();
    return fd;
}

bool isCarriedConverter(const QString& path, const QByteArray& image)
{
    return bool(openCarriedConverter(path, image));
}

void DeployConverter(const QByteArray& image, const QString& path)
{
    if (isCarriedConverter(path, image))
        return;
    struct stat st { };
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
        ForceDeleteFile(path); // something else is there: never run it
    WriteBytesToFile(image, path);
}

} // namespace orvane
