// The device search: started in the background when the library is loaded,
// so that the source dialog can show its result at once; run again by the
// dialog's Refresh. Each backend is searched in a helper process of its own
// (eztw32-devices, beside the library), all read by a thread of the search's,
// so that the SANE thread stays free to open a remembered device meanwhile,
// a backend that hangs or crashes in a search cannot take the program with
// it, and one whose host does not answer holds up no other's devices.
// Without the helper, the search runs on the SANE thread as a last resort.
#pragma once

#include "DeviceInfo.h"
#include "Status.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace eztw32 {

struct SearchResult {
    bool done = false; // a search has ended
    bool running = false; // one is under way
    Status status = Status::Good;
    // What has been found: while a search runs, the devices of the
    // backends that have answered so far.
    std::vector<DeviceInfo> devices;
    // While a search runs: the backends still being asked, a network
    // backend with its hosts ("net (scanhost.local)").
    std::vector<std::string> asking;
};

// Queues sane_init (this process opens the devices) and starts a search,
// unless one is under way already.
void startSearch();
SearchResult searchResult();
// Calls fn on the GUI thread when the search under way has news (a backend
// answered) or ends (at once, that is on the next turn of the event loop,
// when none is under way), while *alive is true.
void whenSearchChanges(std::shared_ptr<bool> alive, std::function<void()> fn);

// Runs on the SANE thread: the devices of the search under way, or of a new
// one, as soon as it has found any, else when it ends; Status::Cancelled at
// once when *abandoned turns true.
Status searchNow(std::vector<DeviceInfo>& devices, const std::atomic<bool>* abandoned = nullptr);

// Stops the search under way and waits for its thread (the library is
// being unloaded); no search starts after it.
void stopSearches();

// sane_init's answer, waiting for the SANE thread to give it (it is the
// first job, and quick).
Status initialisation();

} // namespace eztw32
