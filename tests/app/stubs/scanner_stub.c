/* Small stand-ins for the scanner library. STUB_AVAILABLE is what
 * TWAIN_IsAvailable answers; without STUB_HAS_IS_AVAILABLE that export is
 * missing. STUB_ACQUIRE_RESULT is what TWAIN_AcquireToFilename answers; when
 * STUB_ACQUIRE_WRITES is set it writes that many bytes of junk to the path
 * first, so the program finds a file it cannot read. */
#include <stdint.h>
#include <stdio.h>

#define EXPORT __attribute__((visibility("default")))

static int32_t selectCalls = 0;

#ifdef STUB_HAS_IS_AVAILABLE
EXPORT int32_t TWAIN_IsAvailable(void) { return STUB_AVAILABLE; }
#endif

EXPORT int32_t TWAIN_SelectImageSource(int32_t window)
{
    (void)window;
    return ++selectCalls;
}

EXPORT int32_t stub_select_calls(void) { return selectCalls; }

EXPORT int32_t TWAIN_AcquireToFilename(int32_t window, const char* path)
{
    (void)window;
#ifdef STUB_ACQUIRE_WRITES
    FILE* f = fopen(path, "wb");
    if (f) {
        fputs("not a picture", f);
        fclose(f);
    }
#else
    (void)path;
#endif
    return STUB_ACQUIRE_RESULT;
}
