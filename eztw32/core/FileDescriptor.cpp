#include "FileDescriptor.h"

#include <cerrno>
#include <unistd.h>

namespace eztw32 {

namespace {

template <class Transfer, class Byte>
int transferAll(Transfer transfer, int fd, Byte* p, std::size_t size, std::int64_t offset, int atEnd)
{
    while (size > 0) {
        const ssize_t n = transfer(fd, p, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return atEnd;
        p += n;
        size -= std::size_t(n);
        offset += n;
    }
    return 0;
}

} // namespace

int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    return transferAll(::pwrite, fd, static_cast<const unsigned char*>(data), size, offset, ENOSPC);
}

int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset)
{
    return transferAll(::pread, fd, static_cast<unsigned char*>(data), size, offset, EIO);
}

} // namespace eztw32
