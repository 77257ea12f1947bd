#include "shell/SaveFile.h"

#include "shell/AppError.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvane {

namespace {

constexpr int MaxLinks = 40; // as the kernel follows at most
constexpr qsizetype TemporaryStemBytes = 200;

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray joined(const QByteArray& folder, const QByteArray& name)
{
    return (folder == "/" ? QByteArray() : folder) + '/' + name;
}

// The text of a symbolic link; raises with the cause.
QByteArray linkText(const QByteArray& link, qint64 sizeHint, const QString& context)
{
    std::vector<char> buffer(std::size_t(qMax<qint64>(sizeHint, 255) + 1));
    for (;;) {
        const ssize_t n = ::readlink(link.constData(), buffer.data(), buffer.size());
        if (n < 0)
            raiseErrno(context, errno);
        if (std::size_t(n) < buffer.size())
            return QByteArray(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe (FIFO)");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    return QStringLiteral("not a regular file");
}

// The process's umask, read without changing it (other threads may be
// creating files).
mode_t currentUmask()
{
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return mode_t(mask);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// A name whose bytes are not UTF-8 reaches the program with U+FFFD in
// their place (the dialog and every path are text), so it would name
// another file than the one the user chose. Raises when the folder holds a
// file whose name reads as `name` but is spelt with other bytes.
void refuseMangledName(const QByteArray& folder, const QByteArray& name, const QString& context)
{
    const QString shown = QFile::decodeName(name);
    if (!shown.contains(QChar::ReplacementCharacter))
        return;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    bool mangled = false;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray other(entry->d_name);
        if (other != name && QFile::decodeName(other) == shown) {
            mangled = true;
            break;
        }
    }
    ::closedir(dir);
    if (mangled)
        raiseError(ErrPathAccess,
            context
                + QStringLiteral(": the file's name holds bytes that are not UTF-8, which this program "
                                 "cannot write exactly; nothing was written. Choose another name."));
}

} // namespace

QByteArray besideTemplate(const QByteArray& target, const char* tag)
{
    return joined(folderOf(target), '.' + nameOf(target).left(TemporaryStemBytes) + tag + "XXXXXX");
}

SaveTarget checkSaveTarget(const QString& path)
{
    if (path.isEmpty())
        raiseError(ErrInvalidCall, QStringLiteral("No file name was given."));
    QString context = path;
    QByteArray current = QFile::encodeName(path);
    if (current.endsWith('/'))
        raiseErrno(context, EISDIR);

    struct stat st { };
    bool exists = false;
    for (int hops = 0;; ++hops) {
        if (::lstat(current.constData(), &st) != 0) {
            if (errno != ENOENT)
                raiseErrno(context, errno);
            break; // a new file, or the file a dangling link names
        }
        if (!S_ISLNK(st.st_mode)) {
            exists = true;
            break;
        }
        if (hops == MaxLinks)
            raiseErrno(context, ELOOP);
        // As the kernel's protected_symlinks: in a sticky folder that anyone
        // may write to, a link of another user (not the folder's owner) is
        // not followed, so nobody can plant a link that sends a save into
        // the user's files.
        struct stat folder { };
        if (::stat(folderOf(current).constData(), &folder) == 0 && (folder.st_mode & S_ISVTX)
            && (folder.st_mode & S_IWOTH) && st.st_uid != ::geteuid() && st.st_uid != folder.st_uid)
            raiseErrno(context, EACCES);
        const QByteArray link = linkText(current, st.st_size, context);
        if (link.isEmpty())
            raiseErrno(context, ENOENT);
        current = link.startsWith('/') ? link : joined(folderOf(current), link);
        if (current.endsWith('/'))
            raiseErrno(context, EISDIR);
    }

    // The folder must exist; its canonical form makes the target absolute.
    char* real = ::realpath(folderOf(current).constData(), nullptr);
    if (!real)
        raiseErrno(context, errno);
    const QByteArray folder(real);
    std::free(real);
    const QByteArray native = joined(folder, nameOf(current));

    SaveTarget target;
    target.path = QFile::decodeName(native);
    target.linked = current != QFile::encodeName(path);
    if (target.linked)
        context = path + QStringLiteral(" -> ") + target.path;
    // The writers and the converter get the target as text: it must spell
    // the very file it names.
    if (QFile::encodeName(target.path) != native)
        raiseError(ErrPathAccess,
            context
                + QStringLiteral(": the path holds bytes that are not UTF-8, which this program "
                                 "cannot write exactly; nothing was written."));
    refuseMangledName(folder, nameOf(current), context);
    if (exists) {
        if (S_ISDIR(st.st_mode))
            raiseErrno(context, EISDIR);
        if (!S_ISREG(st.st_mode))
            raiseError(ErrPathAccess,
                context + QStringLiteral(": this is ") + kindOf(st.st_mode)
                    + QStringLiteral(", not a file; nothing was written to it."));
        // A file the user may not change is not replaced either.
        if (::faccessat(AT_FDCWD, native.constData(), W_OK, AT_EACCESS) != 0)
            raiseErrno(context, errno);
        target.exists = true;
        target.device = st.st_dev;
        target.inode = st.st_ino;
        target.mode = st.st_mode & 07777;
        target.owner = st.st_uid;
        target.group = st.st_gid;
    }
    if (::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        raiseErrno(context, errno);
    return target;
}

SaveFile::SaveFile(const QString& path)
    : chosen_(path)
    , target_(checkSaveTarget(path))
{
    QByteArray name = besideTemplate(QFile::encodeName(target_.path), ".orvane-");
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        raiseFailure(errno);
    fd_.reset(fd);
    temporary_ = name;
}

SaveFile::~SaveFile()
{
    fd_.reset();
    if (!committed_ && !temporary_.isEmpty())
        ::unlink(temporary_.constData());
}

int SaveFile::write(const void* data, std::size_t size)
{
    if (error_ == 0)
        error_ = writeAll(fd_.get(), data, size);
    return error_;
}

void SaveFile::raiseFailure(int err) const
{
    const QString context = target_.linked ? chosen_ + QStringLiteral(" -> ") + target_.path : chosen_;
    raiseErrno(context, err);
}

void SaveFile::commit()
{
    if (error_ != 0)
        raiseFailure(error_);
    const int fd = fd_.get();
    mode_t mode = 0666 & ~currentUmask();
    if (target_.exists) {
        mode = mode_t(target_.mode);
        // The owner where the user may give it (root, or the user's own
        // file with another of the user's groups); otherwise the new file
        // is the user's, as any file the user writes.
        if ((target_.owner != ::geteuid() || target_.group != ::getegid())
            && ::fchown(fd, target_.owner, target_.group) != 0 && errno == EPERM)
            (void)::fchown(fd, uid_t(-1), target_.group);
    }
    // After the owner: a change of owner clears the set-id bits.
    if (::fchmod(fd, mode) != 0)
        raiseFailure(errno);
    // On the disk before it takes the place of the user's file, so that a
    // crash cannot leave an empty file there. File systems that cannot
    // sync (EINVAL) still get the file.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        raiseFailure(errno);
    if (const int err = fd_.close())
        raiseFailure(err);
    const QByteArray target = QFile::encodeName(target_.path);
    if (::rename(temporary_.constData(), target.constData()) != 0)
        raiseFailure(errno);
    committed_ = true;
    // The rename itself on the disk too; a folder that cannot sync is no
    // failure of the save.
    const UniqueFd folder(::open(folderOf(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder)
        (void)::fsync(folder.get());
}

} // namespace orvane
