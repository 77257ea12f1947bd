// The one thread that talks to SANE. SANE is not thread-safe, so every SANE
// call except an emergency sane_cancel runs here, one job after the other:
// a device closed by one job is closed before the next job opens it.
#pragma once

#include <functional>
#include <memory>

namespace eztw32 {

// Queues a job for the SANE thread (started at first use, kept for the run).
void postToSaneThread(std::function<void()> job);

// While a RunWatch lives (made on the SANE thread around a preview or a
// scan), the watchdog thread calls `check` every 100 ms, until it answers
// true or the watch ends; once the watch has ended, it is not called again.
// The watchdog thread starts with the SANE thread and lives for the run.
class RunWatch {
public:
    explicit RunWatch(std::function<bool()> check);
    ~RunWatch();
    RunWatch(const RunWatch&) = delete;
    RunWatch& operator=(const RunWatch&) = delete;
};

// Sets up postToGui(); called on the GUI thread by every entry point.
void prepareGuiCalls();

// Runs fn on the GUI thread later, while *alive (read on the GUI thread
// only) is still true. Safe to call from any thread; dropped before
// prepareGuiCalls() (no dialog can be waiting then).
void postToGui(std::shared_ptr<bool> alive, std::function<void()> fn);

} // namespace eztw32
