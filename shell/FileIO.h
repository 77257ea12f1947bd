#pragma once
// Low-level file pieces the program's routines share: an owned file
// descriptor and a write that puts every byte down or says why not.
#include "replace/Replace.h"
#include "replace/UniqueFd.h"

#include <QString>

#include <cstddef>

namespace orvane {

// Owns one file descriptor and closes it once.
using replace::UniqueFd;

// Writes all `size` bytes, resuming after interruptions and short writes.
// Returns 0, or the errno of the write that failed.
using replace::writeAll;

} // namespace orvane
