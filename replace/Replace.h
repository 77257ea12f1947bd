#pragma once
// Replacing a file beside it: what every product of this project that
// writes a user's or its own file goes through, so that the file at the
// path is either the old one or the complete new one, never a part.
//
//   - symbolic links are followed to the file they name (a dangling link
//     names the file to create), except another user's link in a sticky
//     folder that anyone may write to, as the kernel refuses it;
//   - a folder, a FIFO, a socket or a device at the path is refused and
//     never opened;
//   - an existing file this user may not change is refused;
//   - the new file is written beside the target under a short hidden name,
//     with its final mode and owner from the moment it exists, synced and
//     renamed over the target; abandoned, it is removed and the target
//     stays as it was.
//
// No exceptions and no other library: every call returns a status, 0 when
// it succeeded, an errno value when the system refused (statusText() then
// gives strerror's text for it), or one of the negative codes below.
#include <cstddef>
#include <cstdint>
#include <string>

struct stat;

namespace replace {

enum Status : int {
    Ok = 0,
    NoPath = -1, // an empty path
    NotRegular = -2, // a named pipe, socket or device: never opened
    NotOpen = -3, // a write or commit without a file open
};

// The text for a status, in the system's words for an errno value.
const char* statusText(int status);

// Writes all `size` bytes to `fd`, resuming after interruptions and short
// writes. Returns 0, or the errno of the write that failed (ENOSPC for a
// write that puts nothing down).
int writeAll(int fd, const void* data, std::size_t size);
// The same with pwrite at `offset`, and with pread, for which a read of
// nothing ends as EIO (a file shorter than expected).
int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset);
int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset);

// flock(fd, operation), resumed after interruptions. Returns 0 or the errno
// (EWOULDBLOCK for LOCK_NB on a lock held elsewhere; ENOLCK, EINVAL or
// EOPNOTSUPP on a file system without locks).
int lockFile(int fd, int operation);

// True when `st` is a directory owned by this user that neither its group
// nor others may write.
bool isUsersOwnFolder(const struct stat& st);

// What a path leads to. resolve() fills in as much as it learnt, also when
// it refuses: `path` once the folder was found, `kind` once something was
// found there.
struct Target {
    std::string path; // the file written: absolute, its links followed
    bool linked = false; // the path given is a symbolic link to it
    bool exists = false; // a regular file is there and will be replaced
    unsigned kind = 0; // the file type bits (S_IFMT) of what is there
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    unsigned mode = 0; // permission bits of the existing file
    unsigned owner = 0;
    unsigned group = 0;
};

// Applies the rules above to `path` without writing anything.
int resolve(const char* path, Target& target);

// The hidden file beside a target, fed in chunks: open, write as often as
// needed, then commit or abandon. The destructor abandons.
class Beside {
public:
    Beside() = default;
    ~Beside();
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;

    // Creates the file beside `target`: "." and at most the first 200
    // bytes of its name, then `tag` and six random characters, short enough
    // for any name of up to 255 bytes. It replaces a file: that file's mode
    // and owner (where the user may give it; else the user's own with the
    // file's group where allowed). It makes a new one: `newMode` less the
    // umask, as the system applies it.
    int open(const Target& target, const char* tag, unsigned newMode = 0666);
    // resolve() and open() in one.
    int open(const char* path, const char* tag, unsigned newMode = 0666);
    // resolve() and open() for a file that is the user's alone: mode 0600
    // from its first byte until it is renamed or removed, whatever the
    // umask and whatever mode and owner a file it replaces had.
    int openPrivate(const char* path, const char* tag);

    // Appends all bytes, resuming after interruptions and short writes. The
    // first failure is remembered and every later write gives it again.
    int write(const void* data, std::size_t size);
    int error() const { return error_; }

    // For writers that put the bytes down themselves (seeking, say); open
    // for reading too, for writers that read back what they wrote.
    int fd() const { return fd_; }
    const std::string& hiddenPath() const { return hidden_; }
    const std::string& targetPath() const { return target_; }

    // Closes the file and renames it over the target. With `sync`, the file
    // is on the disk before it takes the target's place, so that a crash
    // cannot leave an empty file there, and the rename is synced after; a
    // file system that cannot sync is no failure. On failure the hidden
    // file is removed.
    int commit(bool sync = true);
    // Closes and removes the hidden file; the target stays as it was.
    void abandon();

private:
    int create(const Target& target, const char* tag, unsigned newMode, bool isPrivate);
    void unlock();

    std::string target_;
    std::string hidden_;
    int fd_ = -1;
    int lock_ = -1; // holds the hidden file's lock from open to rename
    int error_ = 0;
};

// Removes what a writer that was killed left beside `targetPath`: the
// hidden files of `tag` (as Beside::open names them) that belong to this
// user, are regular files, and whose writer no longer holds them. Links,
// other users' files and files still being written stay. Returns how many
// went.
int removeAbandoned(const std::string& targetPath, const char* tag);
// The same for every target in `folder`: the hidden files of `tag` beside
// any name there.
int removeAbandonedIn(const std::string& folder, const char* tag);

} // namespace replace
