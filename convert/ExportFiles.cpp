#include "convert/ExportFiles.h"

#include "shell/AppError.h"
#include "shell/PrivateFolder.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvane {

namespace {

QByteArray uniquePrefix()
{
    return "orvane-capture-desk-" + QByteArray::number(::geteuid());
}

// What lockFile() gave: locked, or on a file system that has no locks (a
// folder there is used unlocked, and no clean-up can take it, as none can
// lock it either).
bool lockedOrWithoutLocks(int err)
{
    return err == 0 || err == ENOLCK || err == EINVAL || err == EOPNOTSUPP;
}

// Empties the folder `name` of `parent` of this user's files and removes
// it, unless another export still holds it (`held`: this export holds it
// itself). Nothing in it is followed.
bool removeUniqueFolder(int parent, const char* name, bool held = false)
{
    struct stat named { };
    if (::fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode)
        || named.st_uid != ::geteuid())
        return false;
    const UniqueFd folder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened { };
    if (!folder || ::fstat(folder.get(), &opened) != 0 || opened.st_ino != named.st_ino
        || opened.st_dev != named.st_dev || opened.st_uid != ::geteuid())
        return false;
    if (!held && replace::lockFile(folder.get(), LOCK_EX | LOCK_NB) != 0)
        return false; // in use, or on a file system without locks
    std::vector<QByteArray> entries;
    if (DIR* listing = ::fdopendir(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0))) {
        while (const dirent* entry = ::readdir(listing)) {
            const QByteArray n(entry->d_name);
            if (n != "." && n != "..")
                entries.push_back(n);
        }
        ::closedir(listing);
    }
    for (const QByteArray& n : entries) {
        struct stat st { };
        if (::fstatat(folder.get(), n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)
            && st.st_uid == ::geteuid())
            ::unlinkat(folder.get(), n.constData(), 0);
    }
    struct stat again { };
    return ::fstatat(parent, name, &again, AT_SYMLINK_NOFOLLOW) == 0 && again.st_ino == opened.st_ino
        && again.st_dev == opened.st_dev && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

} // namespace

QString temporaryFolder()
{
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    return QStringLiteral("/tmp");
}

ExportFolder::~ExportFolder()
{
    close();
}

void ExportFolder::close()
{
    if (held_) {
        // What the export left in its own folder goes with it.
        const QByteArray native = QFile::encodeName(path_);
        const qsizetype slash = native.lastIndexOf('/');
        const UniqueFd parent(
            ::open(slash > 0 ? native.left(slash).constData() : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const QByteArray name = native.mid(slash + 1);
        if (parent)
            removeUniqueFolder(parent.get(), name.constData(), true);
        held_.reset();
    }
    path_.clear();
    lockFolder_.clear();
    device_ = 0;
    inode_ = 0;
}

void ExportFolder::open()
{
    close();
    const QString temporary = temporaryFolder();
    const QByteArray native = QFile::encodeName(temporary);
    struct stat st { };
    if (::stat(native.constData(), &st) != 0)
        raiseErrno(temporary, errno);
    if (!S_ISDIR(st.st_mode))
        raiseErrno(temporary, ENOTDIR);
    if (replace::isUsersOwnFolder(st)) {
        path_ = lockFolder_ = temporary;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        return;
    }
    // Others can write the temporary folder: every name in it may be taken.
    const auto useShared = [this](const QString& folder) {
        struct stat own { };
        if (folder.isEmpty() || ::lstat(QFile::encodeName(folder).constData(), &own) != 0
            || !replace::isUsersOwnFolder(own))
            return false;
        path_ = lockFolder_ = folder;
        device_ = own.st_dev;
        inode_ = own.st_ino;
        return true;
    };
    if (useShared(runtimePrivateFolder()))
        return;
    removeExportLeftovers();
    const QByteArray pattern = native + '/' + uniquePrefix() + "-XXXXXX";
    int err = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        QByteArray name = pattern;
        if (!::mkdtemp(name.data())) {
            err = errno;
            break;
        }
        UniqueFd folder(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat made { };
        // Locked at once, so that no clean-up removes it while it is in
        // use; one removed before the lock was had is made anew.
        if (folder && lockedOrWithoutLocks(replace::lockFile(folder.get(), LOCK_EX))
            && ::fstat(folder.get(), &made) == 0) {
            struct stat named { };
            if (::lstat(name.constData(), &named) == 0 && named.st_ino == made.st_ino
                && named.st_dev == made.st_dev && replace::isUsersOwnFolder(named)) {
                path_ = QFile::decodeName(name);
                device_ = made.st_dev;
                inode_ = made.st_ino;
                held_ = std::move(folder);
                lockFolder_ = cachePrivateFolder();
                if (lockFolder_.isEmpty())
                    lockFolder_ = path_;
                return;
            }
        }
        err = folder ? EAGAIN : errno;
        if (folder && ::fstat(folder.get(), &made) == 0 && made.st_nlink > 0)
            removeUniqueFolder(AT_FDCWD, name.constData(), true);
    }
    if (useShared(cachePrivateFolder()))
        return;
    raiseErrno(QFile::decodeName(pattern), err ? err : EAGAIN);
}

void ExportFolder::check() const
{
    if (path_.isEmpty())
        raiseError(ErrPathAccess, QStringLiteral("The export has no folder of its own"));
    struct stat st { };
    // The temporary folder may be a link; a folder of the program's own
    // never is.
    const QByteArray native = QFile::encodeName(path_);
    const int got
        = path_ == temporaryFolder() ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st);
    if (got != 0)
        raiseErrno(path_, errno);
    requirePrivateFolder(path_, st);
    if (st.st_dev != device_ || st.st_ino != inode_)
        raiseError(ErrPermissionDenied, path_ + QStringLiteral(": was replaced by another folder"));
}

QString ExportFolder::converterPath() const
{
    return path_ + QStringLiteral("/nconvert.exe");
}

QString ExportFolder::temporaryBmpPath() const
{
    return path_ + QStringLiteral("/tempscan.bmp");
}

QString ExportFolder::lockPath() const
{
    return lockFolder_ + QStringLiteral("/nconvert.lock");
}

int removeExportLeftovers()
{
    const UniqueFd temporary(
        ::open(QFile::encodeName(temporaryFolder()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!temporary)
        return 0;
    const QByteArray prefix = uniquePrefix();
    std::vector<QByteArray> candidates;
    if (DIR* listing = ::fdopendir(::fcntl(temporary.get(), F_DUPFD_CLOEXEC, 0))) {
        while (const dirent* entry = ::readdir(listing)) {
            const QByteArray n(entry->d_name);
            // The unique folders, and the fixed one earlier versions used.
            if (n == prefix || (n.size() == prefix.size() + 7 && n.startsWith(prefix + '-')))
                candidates.push_back(n);
        }
        ::closedir(listing);
    }
    int removed = 0;
    for (const QByteArray& n : candidates)
        removed += removeUniqueFolder(temporary.get(), n.constData()) ? 1 : 0;
    return removed;
}

} // namespace orvane
