/* A SANE backend for the tests: the test backend's own device, whose scan
 * ends at its first read with a status of its choosing, as a scanner's
 * does when its Cancel key is pressed, its paper jams or its cover is
 * opened. The status is the "status" line of devicefault.conf in
 * SANE_CONFIG_DIR (a SANE_Status name), else SANE_STATUS_CANCELLED.
 *
 * The test backend's own way (its read-status-code option) runs its reader
 * thread and cancels it asynchronously in the sane_cancel after the fault.
 * A thread cancelled inside an allocator keeps its lock and hangs in its
 * own exit, and sane_cancel with it, now and then; under the sanitizers'
 * allocator more often. So the scan here never starts the test backend's
 * reader: options and parameters are the test backend's, the scan is ours.
 *
 * Listed in dll.d as "devicefault"; SANE's dll backend finds it through
 * LD_LIBRARY_PATH. */
#define OVER(name) sane_devicefault_##name
#include "over_test_backend.h"

static SANE_Status fault = SANE_STATUS_CANCELLED;

/* The status devicefault.conf names, if any. */
static void readConfig(void)
{
    static const char* const names[] = {"SANE_STATUS_GOOD", "SANE_STATUS_UNSUPPORTED",
        "SANE_STATUS_CANCELLED", "SANE_STATUS_DEVICE_BUSY", "SANE_STATUS_INVAL", "SANE_STATUS_EOF",
        "SANE_STATUS_JAMMED", "SANE_STATUS_NO_DOCS", "SANE_STATUS_COVER_OPEN", "SANE_STATUS_IO_ERROR",
        "SANE_STATUS_NO_MEM", "SANE_STATUS_ACCESS_DENIED"};
    FILE* f = openOwnConfig("devicefault.conf");
    if (!f)
        return;
    char line[256], name[128];
    while (fgets(line, sizeof line, f))
        if (sscanf(line, " status %127s", name) == 1)
            for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
                if (strcmp(name, names[i]) == 0)
                    fault = (SANE_Status)i;
    fclose(f);
}

FORWARD(SANE_Status, open, (SANE_String_Const name, SANE_Handle* h), (name, h))

SANE_Status sane_devicefault_set_io_mode(SANE_Handle h, SANE_Bool nonblocking)
{
    (void)h;
    return nonblocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

SANE_Status sane_devicefault_get_select_fd(SANE_Handle h, SANE_Int* fd)
{
    (void)h;
    (void)fd;
    return SANE_STATUS_UNSUPPORTED;
}

void sane_devicefault_close(SANE_Handle h)
{
    void (*real)(SANE_Handle);
    LOOKUP(real, "close");
    real(h);
}

void sane_devicefault_cancel(SANE_Handle h)
{
    /* The test backend never started a scan to cancel. */
    (void)h;
}

SANE_Status sane_devicefault_start(SANE_Handle h)
{
    (void)h;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_devicefault_read(SANE_Handle h, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    (void)h;
    (void)data;
    (void)max;
    *length = 0;
    return fault;
}
