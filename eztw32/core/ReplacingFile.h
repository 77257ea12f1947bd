// The scan file written beside its target and put in place only when
// complete.
#pragma once

#include "replace/Replace.h"

#include <string>

namespace eztw32 {

// A file written beside its target under a short hidden name and put in
// place only when complete: synced (unless asked not to), then renamed over
// the target. Removed when it is not committed. The rules are those of
// every file this project writes (links followed, anything but a regular
// file refused), except that a scan is the user's alone: the file is 0600
// from its first byte, whatever the folder, the umask or a file it
// replaces.
class ReplacingFile {
public:
    // Creates the temporary file; false (errno set) when that cannot be done,
    // also when the target is a folder.
    bool create(const std::string& target);
    int fd() const { return file_.fd(); }
    enum class Sync { Yes, No };
    // Syncs, closes and renames; 0 or the errno of the step that failed.
    int commit(Sync sync = Sync::Yes);

    // Removes what scans that were killed or hung left beside `target`:
    // this user's own regular files of this kind that no scan still holds.
    static void removeLeftovers(const std::string& target);

private:
    replace::Beside file_;
};

} // namespace eztw32
