// The one thread that talks to SANE. SANE is not thread-safe, so every SANE
// call except an emergency sane_cancel runs here, one job after the other:
// a device closed by one job is closed before the next job opens it.
#pragma once

#include <functional>
#include <memory>

namespace eztw32 {

// Queues a job for the SANE thread (started at first use, kept for the run).
void postToSaneThread(std::function<void()> job);

// Sets up postToGui(); called on the GUI thread by every entry point.
void prepareGuiCalls();

// Runs fn on the GUI thread later, while *alive (read on the GUI thread
// only) is still true. Safe to call from any thread; dropped before
// prepareGuiCalls() (no dialog can be waiting then).
void postToGui(std::shared_ptr<bool> alive, std::function<void()> fn);

} // namespace eztw32
