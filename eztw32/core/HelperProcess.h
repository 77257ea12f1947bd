// The library's helper programs (the device search, the driver host), which
// lie beside the library: found, started with posix_spawn (not fork: the
// program has threads, and a forked child of a threaded process may only
// exec), and their ends told in words.
#pragma once

#include "replace/UniqueFd.h"

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace eztw32 {

// The helper `name` beside the library, or the program that the environment
// variable `override` names when it is set; empty when there is none.
std::string helperPath(const char* name, const char* override);

// Starts `program` with the library's process id as its one argument, its
// standard input on /dev/null and, for each pair, the child's descriptor
// `first` on the parent's `second`; nothing else of the program's is open
// in it, and its signals start at their defaults, none blocked. The new
// process id, or -1 with the reason in `why`.
// `more` are arguments after that one.
pid_t spawnHelper(const std::string& program, const std::vector<std::pair<int, int>>& fds, std::string& why,
    const std::vector<std::string>& more = {});

// A pipe for a helper, both ends closed at exec in this process: false,
// with errno, when there is none.
bool makePipe(replace::UniqueFd& read, replace::UniqueFd& write, int flags = 0);

// "signal 11 SIGSEGV, Segmentation fault"
std::string signalText(int sig);

// How a helper that has been waited for ended, in words ("crashed with
// signal 11 ...", "ended with exit code 3").
std::string endText(int waitStatus);

} // namespace eztw32
