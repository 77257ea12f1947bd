#include "convert/Deploy.h"

#include "app/AppError.h"
#include "app/Main.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

QString temporaryFolder()
{
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    return QStringLiteral("/tmp");
}

QString converterPath()
{
    return temporaryFolder() + QStringLiteral("/nconvert.exe");
}

QString temporaryBmpPath()
{
    return temporaryFolder() + QStringLiteral("/tempscan.bmp");
}

QByteArray LoadConverterImage()
{
    QFile resource(QStringLiteral(":/converter/nconvert.exe"));
    if (!resource.open(QIODevice::ReadOnly))
        raiseError(ErrFileNotFound, QStringLiteral("The converter carried by the program cannot be read: ")
                                        + resource.errorString());
    return resource.readAll();
}

bool isCarriedConverter(const QString& path, const QByteArray& image)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    QFile file;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
        && st.st_size == image.size() && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)
        && file.readAll() == image;
    if (!file.isOpen())
        ::close(fd);
    return same;
}

void DeployConverter(const QByteArray& image, const QString& path)
{
    if (isCarriedConverter(path, image))
        return;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
        ForceDeleteFile(path); // something else is there: never run it
    WriteBytesToFile(image, path);
}

} // namespace orvane
