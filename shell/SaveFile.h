#pragma once
// Where a save may write, and the file that replaces the user's file only
// once it is complete. Every save of the program, in whatever format, goes
// through these rules:
//   - symbolic links are followed to the file they name (a dangling link
//     names the file to create), except another user's link in a sticky
//     folder that anyone may write to, as the kernel refuses it;
//   - a folder, a FIFO, a socket or a device at the path is refused and
//     never opened;
//   - an existing file that this user may not change (read-only, another
//     user's) is refused, with the system's reason;
//   - the new file is written beside the target under a short hidden name
//     that has the old file's mode (and owner, where the user may set it)
//     from the start, synced and renamed over the target; on failure it is
//     removed and the user's file stays as it was.
// The rules are replace/Replace.h's; here they speak the program's errors.
#include "replace/Replace.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace orvane {

struct SaveTarget {
    QString path; // the file written: absolute, its links followed
    bool linked = false; // the chosen path is a symbolic link to it
    bool exists = false; // a regular file is there and will be replaced
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    unsigned mode = 0; // permission bits of the existing file
    unsigned owner = 0;
    unsigned group = 0;
};

// Applies the rules above to `path` without writing anything. Raises
// AppError with the real cause, naming the chosen path (and the file its
// links lead to, when they lead elsewhere).
SaveTarget checkSaveTarget(const QString& path);

// Removes what saves and conversions that were killed left in `folder`:
// this user's hidden files of the program's own names, beside any file
// there, that no writer holds any more. Other users' files, links and the
// files of saves still running stay.
void removeAbandonedSavesIn(const QString& folder);
// The same in the folder of `target`, at every save or export there.
void removeAbandonedBeside(const QString& target);

// The mode of a file a save creates: any new file's, or this user's alone
// (the umask applies to both). A replaced file keeps its own.
enum class NewFileMode : unsigned { Shared = 0666, Private = 0600 };

class SaveFile {
public:
    // Checks the target and creates the hidden file beside it. Raises
    // AppError.
    explicit SaveFile(const QString& path, NewFileMode mode = NewFileMode::Shared);
    // The destructor removes the hidden file unless it was committed.
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;

    const SaveTarget& target() const { return target_; }
    // The path as chosen, for messages.
    const QString& chosenPath() const { return chosen_; }

    // Appends bytes. Returns 0 or the errno of the failed write; the first
    // failure is remembered and every later write fails with it.
    int write(const void* data, std::size_t size) { return file_.write(data, size); }
    int error() const { return file_.error(); }

    // Raises the AppError that `err` means for this save.
    [[noreturn]] void raiseFailure(int err) const;

    // Syncs the file, gives it the target's mode and owner and renames it
    // over the target. Raises AppError; the hidden file is then removed.
    void commit();

private:
    QString chosen_;
    SaveTarget target_;
    replace::Beside file_;
};

} // namespace orvane
