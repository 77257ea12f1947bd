#pragma once
// An owned file descriptor, shared by every product that writes files.

namespace replace {

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
    // Takes fd, closing the one held unless it is fd itself.
    void reset(int fd = -1);
    // Closes now and gives close()'s errno, 0 when it succeeded (or when
    // none was held).
    int close();

private:
    int fd_ = -1;
};

} // namespace replace
