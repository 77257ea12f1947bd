/* A scanner library for the load benchmark: "scans" by linking the file
 * named by ORVANE_BENCH_SCAN into place, so that what is timed is the
 * program's own work after the library returns. */
#include <EZTW32.h>

#include <stdlib.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int32_t TWAIN_IsAvailable(void)
{
    return 1;
}
EXPORT int32_t TWAIN_SelectImageSource(int32_t window)
{
    (void)window;
    return 1;
}
EXPORT int32_t TWAIN_AcquireToFilename(int32_t window, const char* path)
{
    (void)window;
    const char* source = getenv("ORVANE_BENCH_SCAN");
    return source && link(source, path) == 0 ? EZTW32_OK : EZTW32_FAILED;
}
