#include "ReplacingFile.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace eztw32 {

ReplacingFile::~ReplacingFile()
{
    fd_.reset();
    if (!tempPath_.empty() && !committed_)
        ::unlink(tempPath_.c_str());
}

bool ReplacingFile::create(const std::string& target)
{
    target_ = target;
    if (target.empty() || target.back() == '/') {
        errno = EISDIR;
        return false;
    }
    struct stat st { };
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string("./") : target.substr(0, slash + 1);
    // A short name of its own, so that a target name near the 255-byte limit
    // still leaves room for it.
    std::string pattern = folder + ".eztw32-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return false;
    fd_.reset(fd);
    tempPath_ = pattern;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return true;
}

int ReplacingFile::commit(Sync sync)
{
    if (!fd_)
        return EBADF;
    if (sync == Sync::Yes && ::fsync(fd_.get()) != 0) {
        const int e = errno;
        fd_.reset();
        return e;
    }
    if (const int e = fd_.close())
        return e;
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0)
        return errno;
    committed_ = true;
    return 0;
}

} // namespace eztw32
