// The library's file helpers: one owned file descriptor, one "transfer
// everything" at an offset, and one "write beside the target, sync, rename".
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
    void reset(int fd = -1);
    // Closes now; returns the errno of a failing close, else 0.
    int close();

private:
    int fd_ = -1;
};

// pwrite or pread of the whole range, retried after interruptions and short
// transfers. A transfer of nothing ends as ENOSPC (writing: a full disk) or
// EIO (reading: a file shorter than expected). Returns 0 or the errno.
int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset);
int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset);

// A file written beside its target under a short hidden name and put in
// place only when complete: synced (unless asked not to), then renamed over
// the target. Removed when it is not committed.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file; false (errno set) when that cannot be done,
    // also when the target is a folder.
    bool create(const std::string& target);
    int fd() const { return fd_.get(); }
    enum class Sync { Yes, No };
    // Syncs, closes and renames; 0 or the errno of the step that failed.
    int commit(Sync sync = Sync::Yes);

private:
    UniqueFd fd_;
    std::string target_, tempPath_;
    bool committed_ = false;
};

} // namespace eztw32
