// The one thread that talks to SANE. SANE is not thread-safe, so every SANE
// call except an emergency sane_cancel runs here, one job after the other:
// a device closed by one job is closed before the next job opens it.
#pragma once

#include <functional>

namespace eztw32 {

// Queues a job for the SANE thread (started at first use, kept for the run).
void postToSaneThread(std::function<void()> job);

// True when called on the SANE thread.
bool onSaneThread();

} // namespace eztw32
