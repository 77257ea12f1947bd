// How a running preview or scan gets on, shared between the SANE thread,
// which reads the device, and the GUI thread, which shows it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace eztw32 {

struct ScanProgress {
    std::atomic<std::int64_t> bytesRead{0};
    std::atomic<std::int64_t> bytesTotal{-1}; // -1: the height is not known
    std::atomic<bool> dataArrived{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<std::int64_t> cancelRequestedMs{0}; // steady clock, when it was asked
    std::atomic<bool> stalled{false}; // ended because no data came
    std::atomic<std::int64_t> lastDataMs{0}; // steady clock, when data last came
};

// How long a scan may go without data before it ends as Fault::Stalled:
// 30 s, or EZTW32_STALL_SECONDS.
int stallLimitMs();
std::int64_t steadyMs();

// The preview picture as it arrives, 8-bit RGB rows; shared between the SANE
// thread (writes) and the dialog (copies out what has arrived).
struct PreviewBuffer {
    std::mutex mutex;
    int width = 0, height = 0; // height grows for hand scanners
    int rows = 0; // complete rows so far
    std::vector<std::uint8_t> pixels;
};

} // namespace eztw32
