/* Small stand-ins for the scanner library. STUB_AVAILABLE is what
 * TWAIN_IsAvailable answers; without STUB_HAS_IS_AVAILABLE that export is
 * missing. STUB_ACQUIRE_RESULT is what TWAIN_AcquireToFilename answers; when
 * STUB_ACQUIRE_WRITES is set it writes that many bytes of junk to the path
 * first, so the program finds a file it cannot read. With STUB_ACQUIRE_COPIES
 * it copies the picture file named by ORVANE_STUB_PICTURE to the path: a
 * scanner that delivers exactly the picture a test chose (and then waits on
 * the pipe ORVANE_STUB_HOLD names, when set). With
 * STUB_RESULT_FROM_ENV the answer is the number in ORVANE_STUB_RESULT. */
#include <EZTW32.h>

#include <stdio.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

static int32_t selectCalls = 0;

#ifdef STUB_HAS_IS_AVAILABLE
EXPORT int32_t TWAIN_IsAvailable(void)
{
    return STUB_AVAILABLE;
}
#endif

EXPORT int32_t TWAIN_SelectImageSource(int32_t window)
{
    (void)window;
    return ++selectCalls;
}

EXPORT int32_t stub_select_calls(void)
{
    return selectCalls;
}

EXPORT int32_t TWAIN_AcquireToFilename(int32_t window, const char* path)
{
    (void)window;
#if defined(STUB_ACQUIRE_COPIES)
    const char* source = getenv("ORVANE_STUB_PICTURE");
    FILE* in = source ? fopen(source, "rb") : NULL;
    FILE* out = in ? fopen(path, "wb") : NULL;
    if (!out) {
        if (in)
            fclose(in);
        return EZTW32_FILE_ACCESS;
    }
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
        fwrite(buffer, 1, got, out);
    fclose(in);
    fclose(out);
    /* A scanner that is slow to return once the file is written: it waits
     * until the pipe ORVANE_STUB_HOLD names is closed by its writer. */
    const char* hold = getenv("ORVANE_STUB_HOLD");
    FILE* wait = hold && *hold ? fopen(hold, "rb") : NULL;
    if (wait) {
        while (fread(buffer, 1, sizeof buffer, wait) > 0) { }
        fclose(wait);
    }
#elif defined(STUB_ACQUIRE_WRITES) && STUB_ACQUIRE_WRITES == 2
    /* A 100 x 100 24-bit BMP that ends after ten rows. */
    FILE* f = fopen(path, "wb");
    if (f) {
        static const unsigned char header[54]
            = {'B', 'M', 0x36, 0x75, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 100, 0, 0, 0, 100, 0, 0, 0,
                1, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        static unsigned char rows[10 * 300];
        fwrite(header, 1, sizeof header, f);
        fwrite(rows, 1, sizeof rows, f);
        fclose(f);
    }
#elif defined(STUB_ACQUIRE_WRITES)
    FILE* f = fopen(path, "wb");
    if (f) {
        fputs("not a picture", f);
        fclose(f);
    }
#else
    (void)path;
#endif
#ifdef STUB_RESULT_FROM_ENV
    const char* result = getenv("ORVANE_STUB_RESULT");
    return result ? (int32_t)atoi(result) : EZTW32_FILE_ACCESS;
#else
    return STUB_ACQUIRE_RESULT;
#endif
}
