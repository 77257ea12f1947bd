// The device search: started in the background when the library is loaded,
// so that the source dialog can show its result at once; run again by the
// dialog's Refresh. The search itself runs on the SANE thread.
#pragma once

#include "DeviceInfo.h"
#include "Status.h"

#include <functional>
#include <memory>
#include <vector>

namespace eztw32 {

struct SearchResult {
    bool done = false; // a search has ended
    bool running = false; // one is under way
    Status status = Status::Good;
    std::vector<DeviceInfo> devices;
};

// Queues sane_init and a search, unless one is under way already.
void startSearch();
SearchResult searchResult();
// Calls fn on the GUI thread when the search under way ends (at once, that
// is on the next turn of the event loop, when none is under way), while
// *alive is true.
void whenSearchEnds(std::shared_ptr<bool> alive, std::function<void()> fn);

// Runs on the SANE thread: a search now, its result also kept as the latest.
Status searchNow(std::vector<DeviceInfo>& devices);

// sane_init's answer, waiting for the SANE thread to give it (it is the
// first job, and quick).
Status initialisation();

} // namespace eztw32
