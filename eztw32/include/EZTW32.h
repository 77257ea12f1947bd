/* EZTW32.dll: the scanner library of Orvane Capture Desk.
 *
 * A shared object over SANE with three entry points. The program loads it
 * by full path and looks each entry point up by name; the function-pointer
 * types below are what it casts the looked-up symbols to. Window arguments
 * are 32-bit window ids of the calling program's top-level windows (0: the
 * active window). */
#ifndef EZTW32_H
#define EZTW32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What TWAIN_AcquireToFilename answers. */
enum {
    EZTW32_OK = 0, /* the picture lies complete at the path */
    EZTW32_FAILED = -1, /* the scan failed or the user cancelled */
    EZTW32_FILE_ACCESS = -2, /* the file cannot be created (access rights) */
    EZTW32_MEMORY = -3, /* the picture's memory cannot be had */
    EZTW32_WRITE_FAILED = -4, /* scanned, but writing the file failed */
    EZTW32_NOT_CALLED = -5 /* the caller's own preset: no call was made */
};

/* Nonzero when scanning can be offered at all. Answers at once. */
int32_t TWAIN_IsAvailable(void);
/* Shows the source dialog owned by `window`; later acquisitions use the
 * source chosen there. The result has no meaning. */
int32_t TWAIN_SelectImageSource(int32_t window);
/* Runs one acquisition from the chosen source into a BMP file at `path`
 * (a NUL-terminated file-system path), with the scan dialog owned by
 * `window`. Answers one of the codes above. */
int32_t TWAIN_AcquireToFilename(int32_t window, const char* path);

typedef int32_t (*TWAIN_IsAvailable_fn)(void);
typedef int32_t (*TWAIN_SelectImageSource_fn)(int32_t window);
typedef int32_t (*TWAIN_AcquireToFilename_fn)(int32_t window, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* EZTW32_H */
