#pragma once
// Low-level file pieces the program's routines share: an owned file
// descriptor and a write that puts every byte down or says why not.
#include "replace/Replace.h"

#include <QString>

#include <cstddef>

namespace orvane {

// Owns one file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    { }
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
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes now and gives close()'s errno, 0 when it succeeded.
    int close();

private:
    int fd_ = -1;
};

// Writes all `size` bytes, resuming after interruptions and short writes.
// Returns 0, or the errno of the write that failed.
using replace::writeAll;

} // namespace orvane
