#include "shell/PrivateFolder.h"

#include "shell/AppError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace orvane {

namespace {

void makeFolder(const QByteArray& native, const QString& folder, bool withParents)
{
    if (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST)
        return;
    if (errno == ENOENT && withParents) {
        const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
        if (slash > 0) {
            const QString parent = folder.left(slash);
            makeFolder(QFile::encodeName(parent), parent, true);
            if (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST)
                return;
        }
    }
    raiseErrno(folder, errno);
}

const QString folderName = QStringLiteral("/orvane-capture-desk");

// Why the directory `st` describes is not this user's alone, naming
// `folder`; empty when it is.
QString othersReach(const QString& folder, const struct stat& st)
{
    if (st.st_uid != ::geteuid())
        return folder + QStringLiteral(": belongs to another user (uid %1)").arg(st.st_uid);
    if (!replace::isUsersOwnFolder(st))
        return folder
            + QStringLiteral(": other users can write to it (mode %1)")
                  .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

// `folder` made private and checked, or empty when that fails (the cause
// in `why`, when asked).
QString usable(const QString& folder, bool withParents, QString* why)
{
    try {
        ensurePrivateFolder(folder, withParents);
        return folder;
    } catch (const AppError& e) {
        if (why)
            *why = e.description();
        return QString();
    }
}

} // namespace

QString ownFolderProblem(const QString& given)
{
    struct stat st { };
    if (given.isEmpty())
        return QStringLiteral("no folder was given");
    QString folder = given;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
        const int err = errno;
        return folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    }
    if (!S_ISDIR(st.st_mode))
        return folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(ENOTDIR));
    return othersReach(folder, st);
}

QString runtimePrivateFolder(QString* why)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        return QString();
    // The runtime folder itself must be the user's, that no one else can
    // write; it is never made.
    if (!runtime.startsWith(QLatin1Char('/'))) {
        if (why)
            *why = QStringLiteral("XDG_RUNTIME_DIR (%1): not an absolute path").arg(runtime);
        return QString();
    }
    if (const QString problem = ownFolderProblem(runtime); !problem.isEmpty()) {
        if (why)
            *why = QStringLiteral("XDG_RUNTIME_DIR ") + problem;
        return QString();
    }
    return usable(runtime + folderName, false, why);
}

QString cachePrivateFolder(QString* why)
{
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!cache.startsWith(QLatin1Char('/'))) {
        const QString home = qEnvironmentVariable("HOME", QDir::homePath());
        if (!home.startsWith(QLatin1Char('/'))) {
            if (why)
                *why = QStringLiteral("neither XDG_CACHE_HOME nor HOME is an absolute path");
            return QString();
        }
        cache = home + QStringLiteral("/.cache");
    }
    return usable(cache + folderName, true, why);
}

QString userPrivateFolder(QString* why)
{
    QString runtimeWhy, cacheWhy;
    QString folder = runtimePrivateFolder(&runtimeWhy);
    if (folder.isEmpty())
        folder = cachePrivateFolder(&cacheWhy);
    if (why) {
        QStringList lines;
        for (const QString& line : {runtimeWhy, cacheWhy})
            if (folder.isEmpty() && !line.isEmpty())
                lines << line;
        *why = lines.join(QLatin1Char('\n'));
    }
    return folder;
}

bool onlyUserCanWrite(const QString& folder)
{
    struct stat st { };
    return !folder.isEmpty() && ::stat(QFile::encodeName(folder).constData(), &st) == 0
        && replace::isUsersOwnFolder(st);
}

void ensurePrivateFolder(const QString& folder, bool withParents)
{
    const QByteArray native = QFile::encodeName(folder);
    makeFolder(native, folder, withParents);
    struct stat st { };
    if (::lstat(native.constData(), &st) != 0)
        raiseErrno(folder, errno);
    requirePrivateFolder(folder, st);
}

void requirePrivateFolder(const QString& folder, const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        raiseError(
            ErrPermissionDenied, folder + QStringLiteral(": is a symbolic link, not a folder of this user"));
    if (!S_ISDIR(st.st_mode))
        raiseErrno(folder, ENOTDIR);
    const QString problem = othersReach(folder, st);
    if (!problem.isEmpty())
        raiseError(ErrPermissionDenied, problem);
}

bool FolderLock::tryAcquire(const QString& path)
{
    release();
    const QByteArray native = QFile::encodeName(path);
    // A file removed by the holder between our open and our lock is met
    // at most a few times in a row.
    for (int attempt = 0; attempt < 16; ++attempt) {
        UniqueFd fd(::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd)
            raiseErrno(path, errno);
        struct stat opened { };
        if (::fstat(fd.get(), &opened) != 0)
            raiseErrno(path, errno);
        if (!S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid())
            raiseError(
                ErrPermissionDenied, path + QStringLiteral(": the lock file is not this user's own file"));
        if (const int err = replace::lockFile(fd.get(), LOCK_EX | LOCK_NB)) {
            if (err == EWOULDBLOCK)
                return false;
            raiseErrno(path, err);
        }
        struct stat named { };
        if (::lstat(native.constData(), &named) == 0 && named.st_dev == opened.st_dev
            && named.st_ino == opened.st_ino) {
            fd_ = std::move(fd);
            path_ = path;
            return true;
        }
        // The holder removed this file as it let go: lock the one at the
        // path now.
    }
    return false;
}

void FolderLock::acquire(const QString& path)
{
    while (!tryAcquire(path)) {
        QCoreApplication::processEvents();
        const timespec poll{0, 100 * 1000 * 1000};
        ::nanosleep(&poll, nullptr);
    }
}

void FolderLock::release()
{
    if (!fd_)
        return;
    // Removed while still locked: a copy waiting on it sees it gone.
    ::unlink(QFile::encodeName(path_).constData());
    fd_.reset();
    path_.clear();
}

} // namespace orvane
