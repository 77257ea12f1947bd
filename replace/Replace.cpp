#include "replace/Replace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace replace {

namespace {

constexpr int MaxLinks = 40; // as the kernel follows at most
constexpr std::size_t HiddenStemBytes = 200;
constexpr int NameAttempts = 100;

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::string& folder, const std::string& name)
{
    return (folder == "/" ? std::string() : folder) + '/' + name;
}

bool endsWithSlash(const std::string& path)
{
    return !path.empty() && path.back() == '/';
}

// The text of a symbolic link, or the errno of the failed read.
int linkText(const std::string& link, off_t sizeHint, std::string& text)
{
    std::vector<char> buffer(std::size_t(sizeHint > 255 ? sizeHint : 255) + 1);
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return errno;
        if (std::size_t(n) < buffer.size()) {
            text.assign(buffer.data(), std::size_t(n));
            return Ok;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Six characters for a hidden name, from the kernel's random source.
std::string randomTail()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != ssize_t(sizeof bytes)) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned long long mix = (unsigned long long)now.tv_nsec * 6364136223846793005ULL
            ^ (unsigned long long)::getpid() << 32 ^ (unsigned long long)now.tv_sec;
        for (unsigned char& b : bytes) {
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
            b = (unsigned char)(mix >> 56);
        }
    }
    std::string tail;
    for (const unsigned char b : bytes)
        tail += alphabet[b % (sizeof alphabet - 1)];
    return tail;
}

// Every byte of a transfer, resumed after interruptions and short
// transfers; one of nothing ends as `atEnd`.
template <class Transfer, class Byte> int transferAll(Transfer transfer, Byte* p, std::size_t size, int atEnd)
{
    while (size > 0) {
        const ssize_t n = transfer(p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return atEnd;
        p += n;
        size -= std::size_t(n);
    }
    return Ok;
}

} // namespace

int writeAll(int fd, const void* data, std::size_t size)
{
    return transferAll([fd](const unsigned char* p, std::size_t n) { return ::write(fd, p, n); },
        static_cast<const unsigned char*>(data), size, ENOSPC);
}

int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    const auto* start = static_cast<const unsigned char*>(data);
    return transferAll([&](const unsigned char* p,
                           std::size_t n) { return ::pwrite(fd, p, n, off_t(offset + (p - start))); },
        start, size, ENOSPC);
}

int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset)
{
    auto* start = static_cast<unsigned char*>(data);
    return transferAll(
        [&](unsigned char* p, std::size_t n) { return ::pread(fd, p, n, off_t(offset + (p - start))); },
        start, size, EIO);
}

int lockFile(int fd, int operation)
{
    int locked;
    do {
        locked = ::flock(fd, operation);
    } while (locked != 0 && errno == EINTR);
    return locked == 0 ? Ok : errno;
}

bool isUsersOwnFolder(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

const char* statusText(int status)
{
    switch (status) {
    case Ok:
        return "done";
    case NoPath:
        return "no file name was given";
    case NotRegular:
        return "not a regular file";
    case NotOpen:
        return "no file is open";
    default:
        return status > 0 ? std::strerror(status) : "unknown status";
    }
}

int resolve(const char* path, Target& target)
{
    target = Target();
    if (!path || !*path)
        return NoPath;
    const std::string given(path);
    std::string current = given;
    if (endsWithSlash(current))
        return EISDIR;

    struct stat st { };
    bool found = false;
    for (int hops = 0;; ++hops) {
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            break; // a new file, or the file a dangling link names
        }
        if (!S_ISLNK(st.st_mode)) {
            found = true;
            break;
        }
        if (hops == MaxLinks)
            return ELOOP;
        // As the kernel's protected_symlinks: in a sticky folder that anyone
        // may write to, a link of another user (not the folder's owner) is
        // not followed, so nobody can plant a link that sends a write into
        // the user's files.
        struct stat folder { };
        if (::stat(folderOf(current).c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX)
            && (folder.st_mode & S_IWOTH) && st.st_uid != ::geteuid() && st.st_uid != folder.st_uid)
            return EACCES;
        std::string link;
        if (const int err = linkText(current, st.st_size, link))
            return err;
        if (link.empty())
            return ENOENT;
        current = link[0] == '/' ? link : joined(folderOf(current), link);
        if (endsWithSlash(current))
            return EISDIR;
    }

    // The folder must exist; its canonical form makes the target absolute.
    char* real = ::realpath(folderOf(current).c_str(), nullptr);
    if (!real)
        return errno;
    const std::string folder(real);
    std::free(real);
    target.path = joined(folder, nameOf(current));
    target.linked = current != given;
    if (found) {
        target.kind = unsigned(st.st_mode & S_IFMT);
        if (S_ISDIR(st.st_mode))
            return EISDIR;
        if (!S_ISREG(st.st_mode))
            return NotRegular;
        // A file the user may not change is not replaced either.
        if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
            return errno;
        target.exists = true;
        target.device = std::uint64_t(st.st_dev);
        target.inode = std::uint64_t(st.st_ino);
        target.mode = unsigned(st.st_mode & 07777);
        target.owner = unsigned(st.st_uid);
        target.group = unsigned(st.st_gid);
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    return Ok;
}

Beside::~Beside()
{
    abandon();
}

int Beside::open(const char* path, const char* tag, unsigned newMode)
{
    Target target;
    if (const int status = resolve(path, target))
        return status;
    return create(target, tag, newMode, false);
}

int Beside::openPrivate(const char* path, const char* tag)
{
    Target target;
    if (const int status = resolve(path, target))
        return status;
    return create(target, tag, 0600, true);
}

int Beside::open(const Target& target, const char* tag, unsigned newMode)
{
    return create(target, tag, newMode, false);
}

int Beside::create(const Target& target, const char* tag, unsigned newMode, bool isPrivate)
{
    abandon();
    error_ = 0;
    if (target.path.empty())
        return NoPath;
    const std::string stem = joined(
        folderOf(target.path), '.' + nameOf(target.path).substr(0, HiddenStemBytes) + (tag ? tag : ""));
    // A replacing file is made private first and opened up once its owner
    // is set; a new one gets the mode the system gives a new file.
    const mode_t createMode = target.exists || isPrivate ? 0600 : mode_t(newMode & 0777);
    int fd = -1;
    std::string name;
    int lock = -1;
    for (int attempt = 0; lock < 0 && attempt < NameAttempts; ++attempt) {
        name = stem + randomTail();
        fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, createMode);
        if (fd < 0 && errno != EEXIST)
            return errno;
        if (fd < 0)
            continue;
        // Locked for as long as it is in use, so that the clean-up of
        // abandoned files beside a target never takes it. One that the
        // clean-up took between the create and the lock is unlinked by
        // then: another name is tried.
        lock = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        const int locked = lock >= 0 ? lockFile(lock, LOCK_EX) : -1;
        struct stat st { };
        if (lock < 0 || (locked != 0 && locked != ENOLCK && locked != EINVAL) || ::fstat(fd, &st) != 0
            || st.st_nlink == 0) {
            const int err = lock < 0 ? errno : 0;
            if (lock >= 0)
                ::close(lock);
            lock = -1;
            ::close(fd);
            fd = -1;
            if (err != 0)
                return err;
        }
    }
    if (fd < 0)
        return EEXIST;
    fd_ = fd;
    lock_ = lock;
    hidden_ = name;
    target_ = target.path;
    if (isPrivate) {
        // Exactly 0600, also under a umask that takes the owner's bits.
        if (::fchmod(fd_, 0600) != 0) {
            const int err = errno;
            abandon();
            return err;
        }
    } else if (target.exists) {
        // The owner where the user may give it (root, or the user's own
        // file with another of the user's groups); otherwise the new file
        // is the user's, as any file the user writes.
        if ((target.owner != ::geteuid() || target.group != ::getegid())
            && ::fchown(fd_, uid_t(target.owner), gid_t(target.group)) != 0 && errno == EPERM)
            (void)::fchown(fd_, uid_t(-1), gid_t(target.group));
        // After the owner: a change of owner clears the set-id bits.
        if (::fchmod(fd_, mode_t(target.mode)) != 0) {
            const int err = errno;
            abandon();
            return err;
        }
    }
    return Ok;
}

int Beside::write(const void* data, std::size_t size)
{
    if (fd_ < 0)
        return error_ ? error_ : NotOpen;
    if (error_ == Ok)
        error_ = writeAll(fd_, data, size);
    return error_;
}

int Beside::commit(bool sync)
{
    if (fd_ < 0)
        return error_ ? error_ : NotOpen;
    int status = error_;
    if (status == Ok && sync && ::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS)
        status = errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && status == Ok && errno != EINTR)
        status = errno;
    if (status == Ok && ::rename(hidden_.c_str(), target_.c_str()) != 0)
        status = errno;
    if (status != Ok) {
        error_ = status;
        ::unlink(hidden_.c_str());
        hidden_.clear();
        unlock();
        return status;
    }
    hidden_.clear();
    unlock();
    if (sync) {
        const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            (void)::fsync(folder);
            ::close(folder);
        }
    }
    return Ok;
}

void Beside::abandon()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!hidden_.empty()) {
        ::unlink(hidden_.c_str());
        hidden_.clear();
    }
    unlock();
}

void Beside::unlock()
{
    if (lock_ >= 0) {
        ::close(lock_);
        lock_ = -1;
    }
}

namespace {

// The hidden names of killed writers in `folder` that `isAbandoned`
// accepts, removed as removeAbandoned() describes.
template <class Match> int removeAbandonedNames(const std::string& folderPath, Match isAbandoned)
{
    const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return 0;
    DIR* listing = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!listing) {
        ::close(folder);
        return 0;
    }
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name(entry->d_name);
        if (isAbandoned(name))
            candidates.push_back(name);
    }
    ::closedir(listing);
    int removed = 0;
    for (const std::string& name : candidates) {
        struct stat named { };
        if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)
            || named.st_uid != ::geteuid())
            continue;
        const int fd
            = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat opened { };
        // Still in use by its writer when its lock is held.
        if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino
            && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat again { };
            if (::fstatat(folder, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) == 0
                && again.st_dev == opened.st_dev && again.st_ino == opened.st_ino
                && ::unlinkat(folder, name.c_str(), 0) == 0)
                ++removed;
        }
        ::close(fd);
    }
    ::close(folder);
    return removed;
}

} // namespace

int removeAbandoned(const std::string& targetPath, const char* tag)
{
    const std::string stem = '.' + nameOf(targetPath).substr(0, HiddenStemBytes) + (tag ? tag : "");
    return removeAbandonedNames(folderOf(targetPath), [&](const std::string& name) {
        return name.size() == stem.size() + 6 && name.compare(0, stem.size(), stem) == 0;
    });
}

int removeAbandonedIn(const std::string& folder, const char* tag)
{
    const std::string suffix(tag ? tag : "");
    return removeAbandonedNames(folder, [&](const std::string& name) {
        // "." and at least one byte of a name, the tag, six characters.
        const std::size_t stemBytes = name.size() < suffix.size() + 8 ? 0 : name.size() - suffix.size() - 7;
        return stemBytes > 0 && stemBytes <= HiddenStemBytes && name[0] == '.'
            && name.compare(1 + stemBytes, suffix.size(), suffix) == 0;
    });
}

} // namespace replace
