#include "ScanProgress.h"

#include <chrono>
#include <cstdlib>

namespace eztw32 {

int stallLimitMs()
{
    static const int limit = [] {
        const char* v = std::getenv("EZTW32_STALL_SECONDS");
        const int seconds = v ? std::atoi(v) : 0;
        return (seconds > 0 ? seconds : 30) * 1000;
    }();
    return limit;
}

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace eztw32
