// An owned file descriptor, and whole transfers at an offset through one.
#pragma once

#include "replace/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace eztw32 {

// Owns one file descriptor; closes it when it goes.
using replace::UniqueFd;

// pwrite or pread of the whole range, retried after interruptions and short
// transfers. A transfer of nothing ends as ENOSPC (writing: a full disk) or
// EIO (reading: a file shorter than expected). Returns 0 or the errno.
int writeAllAt(int fd, const void* data, std::size_t size, std::int64_t offset);
int readAllAt(int fd, void* data, std::size_t size, std::int64_t offset);

} // namespace eztw32
