#include "ReplacingFile.h"

#include <cerrno>

namespace eztw32 {
namespace {

constexpr const char* Tag = ".eztw32-";

// The helper's own codes as the errno values the library's callers know.
int asErrno(int status)
{
    switch (status) {
    case replace::NoPath:
        return ENOENT;
    case replace::NotRegular:
        return EINVAL;
    case replace::NotOpen:
        return EBADF;
    default:
        return status > 0 ? status : EIO;
    }
}

} // namespace

bool ReplacingFile::create(const std::string& target)
{
    if (!target.empty() && target.back() == '/') {
        errno = EISDIR;
        return false;
    }
    if (const int status = file_.openPrivate(target.c_str(), Tag)) {
        errno = asErrno(status);
        return false;
    }
    return true;
}

int ReplacingFile::commit(Sync sync)
{
    const int status = file_.commit(sync == Sync::Yes);
    return status == 0 ? 0 : asErrno(status);
}

void ReplacingFile::removeLeftovers(const std::string& target)
{
    replace::removeAbandoned(target, Tag);
}

} // namespace eztw32
