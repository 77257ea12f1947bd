#include "UniqueFd.h"

#include <cerrno>
#include <unistd.h>

namespace replace {

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close()
{
    if (fd_ < 0)
        return 0;
    const int fd = release();
    // Linux releases the descriptor even when close() is interrupted, so
    // it is never retried.
    if (::close(fd) != 0 && errno != EINTR)
        return errno;
    return 0;
}

} // namespace replace
