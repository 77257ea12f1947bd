// One device search in the helper process: started with posix_spawn (not
// fork: the program has threads, and a forked child of a threaded process
// may only exec), its list read from a pipe, the helper stopped when it
// takes too long, its end told as it was (a crash is a failure with its
// signal, not a crash of the program).
#pragma once

#include "DeviceInfo.h"
#include "Status.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace eztw32 {

struct HelperSearch {
    bool complete = false; // the helper gave its whole list
    Status status = Status::Good; // the search's own status, when complete
    std::vector<DeviceInfo> devices;
    std::string failure; // why there is no list, when not complete
};

// The helper beside the library ($EZTW32_DEVICES_HELPER when set); empty
// when there is none.
std::string searchHelperPath();

// How long a search may take: 30 s, or $EZTW32_SEARCH_TIMEOUT_MS.
int searchTimeoutMs();

// Runs `program` and reads its list. `running` is told the helper's process
// id once it runs and -1 once it is no longer to be signalled; when it
// answers false, the helper is stopped at once.
HelperSearch runSearchHelper(
    const std::string& program, int timeoutMs, const std::function<bool(pid_t)>& running = {});

// Runs `program` once for each backend (an empty name: every backend
// through SANE's dll backend), a few at a time, each stopped when it takes
// longer than timeoutMs, and tells each list as it ends: onEnd(index,
// result). `running(pid, true)` is told each helper as it starts (false
// stops it and every helper after it), `running(pid, false)` when it is no
// longer to be signalled.
void runSearchHelpers(const std::string& program, const std::vector<std::string>& backends, int timeoutMs,
    const std::function<bool(pid_t, bool)>& running,
    const std::function<void(std::size_t, HelperSearch)>& onEnd);

// The backends SANE's dll backend uses with this configuration, as it
// reads them: the lines of the files in the first dll.d folder, then of the
// first dll.conf, along SANE_CONFIG_DIR (which, ending in ':', goes on with
// the system's folders); each once.
std::vector<std::string> configuredBackends();

// The hosts SANE's net backend asks: its net.conf's, then SANE_NET_HOSTS'.
std::vector<std::string> netHosts();

} // namespace eztw32
