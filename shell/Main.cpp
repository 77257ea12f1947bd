#include "shell/Main.h"

#include "shell/AppError.h"
#include "shell/FileIO.h"
#include "shell/Globals.h"

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

namespace {
QString& programFolderOverride()
{
    static QString folder;
    return folder;
}
} // namespace

QString programFolder()
{
    QString folder = programFolderOverride();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

void setProgramFolder(const QString& folder)
{
    programFolderOverride() = folder;
}

QString inProgramFolder(const QString& name)
{
    const QString folder = programFolder();
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Asks for the file's modification time; any failure means "no".
    struct stat st { };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

void ForceDeleteFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st { };
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

UniqueFd createExclusive(const QByteArray& native, const QString& path)
{
    int fd;
    do {
        fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        raiseErrno(path, errno);
    return UniqueFd(fd);
}

} // namespace

void WriteBytesToFile(const QByteArray& bytes, const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    UniqueFd fd = createExclusive(native, path);
    int error = writeAll(fd.get(), bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const int closeError = fd.close();
    if (error == 0)
        error = closeError;
    if (error != 0) {
        // No partial program may stay behind to be run later.
        ::unlink(native.constData());
        raiseErrno(path, error);
    }
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
