#include "app/Main.h"

#include "app/AppError.h"
#include "app/Globals.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

Globals& globals()
{
    static Globals g;
    return g;
}

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Asks for the file's modification time; any failure means "no".
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

void ForceDeleteFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        raiseErrno(path, errno);
    if (S_ISDIR(st.st_mode))
        raiseErrno(path, EISDIR);
    // A read-only file is made writable first, as a forced delete does.
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
        ::chmod(native.constData(), (st.st_mode & 07777) | S_IWUSR);
    if (::unlink(native.constData()) != 0)
        raiseErrno(path, errno);
}

void DeleteFileQuietly(const QString& path)
{
    QCoreApplication::processEvents();
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || ::unlink(native.constData()) == 0)
        return;
    try {
        ForceDeleteFile(path);
    } catch (...) {
        // The caller goes on as though the file were gone.
    }
}

namespace {

int createExclusive(const QByteArray& native, const QString& path)
{
    int fd;
    do {
        fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        raiseErrno(path, errno);
    return fd;
}

} // namespace

void WriteBytesToFile(const QByteArray& bytes, const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = createExclusive(native, path);
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    int error = 0;
    while (left > 0) {
        const ssize_t put = ::write(fd, data, static_cast<size_t>(left));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        data += put;
        left -= put;
    }
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error != 0) {
        // No partial program may stay behind to be run later.
        ::unlink(native.constData());
        raiseErrno(path, error);
    }
}

void CreatePrivateFile(const QString& path)
{
    const int fd = createExclusive(QFile::encodeName(path), path);
    ::fchmod(fd, 0600);
    ::close(fd);
}

QString applicationTitleFrom(QString name)
{
    do {
        const qsizetype space = name.lastIndexOf(QLatin1Char(' '));
        // With no space left the whole text is cut away, as the search
        // from the end finds nothing before position 0.
        name = space < 0 ? QString() : name.left(space);
    } while (name.size() > 40);
    return name;
}

void SetApplicationTitle()
{
    globals().ApplicationTitle = applicationTitleFrom(QStringLiteral("Orvane Capture Desk"));
}

QString applicationTitle()
{
    return globals().ApplicationTitle;
}

} // namespace orvane
