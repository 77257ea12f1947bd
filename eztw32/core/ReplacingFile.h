// The scan file written beside its target and put in place only when
// complete.
#pragma once

#include "FileDescriptor.h"

#include <string>

namespace eztw32 {

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
