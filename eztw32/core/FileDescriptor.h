// An owned file descriptor, and whole transfers at an offset through one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace eztw32 {

// Owns one file descriptor; closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    { }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(other.release())
    { }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Takes fd, closing the one held unless it is fd itself.
    void reset(int fd = -1);
    // Closes now and gives close()'s errno, 0 when it succeeded (or when
    // none was held).
    int close();

private:
    int fd_ = -1;
};

// pwrite or pread of the whole range, retried after interruptions and short
// transfers. A transfer of nothing ends as ENOSPC (writing: a full disk) or
// EIO (reading: a file shorter than expected). Returns 0 or the errno.
int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset);
int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset);

} // namespace eztw32
