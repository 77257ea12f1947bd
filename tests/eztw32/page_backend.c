/* A SANE backend for the tests: a flatbed whose bed is a picture file, a
 * binary colour PPM (P6, 8 bits) of the whole bed at one resolution. The
 * file and its resolution are the "file" and "dpi" lines of page.conf in
 * SANE_CONFIG_DIR. The scan area (tl-x, tl-y, br-x, br-y, in mm) is cut
 * out of the picture, at the picture's own resolution, the only one.
 *
 * Listed in dll.d as "page"; SANE's dll backend finds it through
 * LD_LIBRARY_PATH. */
#include <sane/sane.h>
#include <sane/saneopts.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "own_config.h"

enum { OptCount, OptResolution, OptTlX, OptTlY, OptBrX, OptBrY, OptionCount };

static const double MmPerInch = 25.4;

static char file[4096];
static SANE_Int dpi = 75;
static int width, height; /* of the picture, in pixels */
static unsigned char* pixels;
static SANE_Word area[4]; /* tl-x, tl-y, br-x, br-y, SANE_Fixed mm */
static SANE_Word resolutions[] = {1, 75};
static SANE_Range xRange, yRange;
static SANE_Option_Descriptor options[OptionCount];
static int handle;
static long readAt, readEnd; /* bytes of the scan given and in all */
static SANE_Parameters scanning;

static void readConfig(void)
{
    FILE* f = openOwnConfig("page.conf");
    if (!f)
        return;
    char line[4200];
    int n;
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, " file %4095s", file) == 1)
            continue;
        if (sscanf(line, " dpi %d", &n) == 1 && n > 0)
            dpi = n;
    }
    fclose(f);
}

static int loadPicture(void)
{
    FILE* f = fopen(file, "rb");
    if (!f)
        return 0;
    int maxval = 0;
    const int ok = fscanf(f, "P6 %d %d %d", &width, &height, &maxval) == 3 && maxval == 255 && width > 0
        && height > 0 && fgetc(f) != EOF;
    const size_t bytes = ok ? (size_t)width * (size_t)height * 3 : 0;
    pixels = ok ? malloc(bytes) : NULL;
    const int read = pixels && fread(pixels, 1, bytes, f) == bytes;
    fclose(f);
    return read;
}

static SANE_Option_Descriptor option(const char* name, const char* title, SANE_Value_Type type,
    SANE_Unit unit, SANE_Int caps, SANE_Constraint_Type constraint)
{
    SANE_Option_Descriptor o;
    memset(&o, 0, sizeof o);
    o.name = name;
    o.title = title;
    o.desc = title;
    o.type = type;
    o.unit = unit;
    o.size = sizeof(SANE_Word);
    o.cap = caps;
    o.constraint_type = constraint;
    return o;
}

static SANE_Fixed mm(int px)
{
    return SANE_FIX(px * MmPerInch / dpi);
}

SANE_Status sane_page_init(SANE_Int* version, SANE_Auth_Callback authorize)
{
    (void)authorize;
    if (version)
        *version = SANE_VERSION_CODE(1, 0, 0);
    readConfig();
    if (!loadPicture())
        return SANE_STATUS_IO_ERROR;
    resolutions[1] = dpi;
    xRange.max = mm(width);
    yRange.max = mm(height);
    area[0] = area[1] = 0;
    area[2] = xRange.max;
    area[3] = yRange.max;
    const SANE_Int settable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    options[OptCount] = option(SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_TYPE_INT, SANE_UNIT_NONE,
        SANE_CAP_SOFT_DETECT, SANE_CONSTRAINT_NONE);
    options[OptResolution] = option(SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION, SANE_TYPE_INT,
        SANE_UNIT_DPI, settable, SANE_CONSTRAINT_WORD_LIST);
    options[OptResolution].constraint.word_list = resolutions;
    static const char* const names[]
        = {SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y};
    static const char* const titles[]
        = {SANE_TITLE_SCAN_TL_X, SANE_TITLE_SCAN_TL_Y, SANE_TITLE_SCAN_BR_X, SANE_TITLE_SCAN_BR_Y};
    for (int i = 0; i < 4; ++i) {
        options[OptTlX + i]
            = option(names[i], titles[i], SANE_TYPE_FIXED, SANE_UNIT_MM, settable, SANE_CONSTRAINT_RANGE);
        options[OptTlX + i].constraint.range = i % 2 == 0 ? &xRange : &yRange;
    }
    return SANE_STATUS_GOOD;
}

void sane_page_exit(void)
{
    free(pixels);
    pixels = NULL;
}

SANE_Status sane_page_get_devices(const SANE_Device*** list, SANE_Bool local)
{
    (void)local;
    static const SANE_Device device = {"bed", "Noname", "page bed", "flatbed scanner"};
    static const SANE_Device* devices[] = {&device, NULL};
    *list = devices;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_page_open(SANE_String_Const name, SANE_Handle* h)
{
    if (name[0] && strcmp(name, "bed") != 0)
        return SANE_STATUS_INVAL;
    *h = &handle;
    return SANE_STATUS_GOOD;
}

void sane_page_close(SANE_Handle h)
{
    (void)h;
}

const SANE_Option_Descriptor* sane_page_get_option_descriptor(SANE_Handle h, SANE_Int n)
{
    (void)h;
    return n >= 0 && n < OptionCount ? &options[n] : NULL;
}

SANE_Status sane_page_control_option(SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* info)
{
    (void)h;
    if (info)
        *info = 0;
    if (n < 0 || n >= OptionCount)
        return SANE_STATUS_INVAL;
    SANE_Word* word = v;
    if (a == SANE_ACTION_GET_VALUE) {
        *word = n == OptCount ? OptionCount : n == OptResolution ? dpi : area[n - OptTlX];
        return SANE_STATUS_GOOD;
    }
    if (a != SANE_ACTION_SET_VALUE || n == OptCount)
        return SANE_STATUS_INVAL;
    if (n == OptResolution)
        return *word == dpi ? SANE_STATUS_GOOD : SANE_STATUS_INVAL;
    const SANE_Range* r = options[n].constraint.range;
    SANE_Word value = *word < r->min ? r->min : *word > r->max ? r->max : *word;
    if (value != *word && info)
        *info |= SANE_INFO_INEXACT;
    area[n - OptTlX] = value;
    if (info)
        *info |= SANE_INFO_RELOAD_PARAMS;
    return SANE_STATUS_GOOD;
}

/* The area in whole pixels of the picture: x0, y0, columns, rows. */
static void pixelArea(int* x0, int* y0, int* w, int* h)
{
    const double px = dpi / MmPerInch;
    *x0 = (int)(SANE_UNFIX(area[0]) * px + 0.5);
    *y0 = (int)(SANE_UNFIX(area[1]) * px + 0.5);
    *w = (int)((SANE_UNFIX(area[2]) - SANE_UNFIX(area[0])) * px + 1e-9);
    *h = (int)((SANE_UNFIX(area[3]) - SANE_UNFIX(area[1])) * px + 1e-9);
    if (*x0 + *w > width)
        *w = width - *x0;
    if (*y0 + *h > height)
        *h = height - *y0;
    if (*w < 1)
        *w = 1;
    if (*h < 1)
        *h = 1;
}

SANE_Status sane_page_get_parameters(SANE_Handle h, SANE_Parameters* p)
{
    (void)h;
    int x0, y0, w, rows;
    pixelArea(&x0, &y0, &w, &rows);
    p->format = SANE_FRAME_RGB;
    p->last_frame = SANE_TRUE;
    p->bytes_per_line = w * 3;
    p->pixels_per_line = w;
    p->lines = rows;
    p->depth = 8;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_page_start(SANE_Handle h)
{
    sane_page_get_parameters(h, &scanning);
    readAt = 0;
    readEnd = (long)scanning.bytes_per_line * scanning.lines;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_page_read(SANE_Handle h, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    (void)h;
    *length = 0;
    if (readAt >= readEnd)
        return SANE_STATUS_EOF;
    int x0, y0, w, rows;
    pixelArea(&x0, &y0, &w, &rows);
    while (*length < max && readAt < readEnd) {
        const long line = readAt / scanning.bytes_per_line, at = readAt % scanning.bytes_per_line;
        const unsigned char* row = pixels + ((size_t)(y0 + line) * (size_t)width + (size_t)x0) * 3;
        long n = scanning.bytes_per_line - at;
        if (n > max - *length)
            n = max - *length;
        memcpy(data + *length, row + at, (size_t)n);
        *length += (SANE_Int)n;
        readAt += n;
    }
    return SANE_STATUS_GOOD;
}

void sane_page_cancel(SANE_Handle h)
{
    (void)h;
    readAt = readEnd;
}

SANE_Status sane_page_set_io_mode(SANE_Handle h, SANE_Bool nonblocking)
{
    (void)h;
    return nonblocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

SANE_Status sane_page_get_select_fd(SANE_Handle h, SANE_Int* fd)
{
    (void)h;
    (void)fd;
    return SANE_STATUS_UNSUPPORTED;
}
