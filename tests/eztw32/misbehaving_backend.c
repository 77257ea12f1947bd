/* A SANE backend for the tests: the test backend's own device, whose
 * driver misbehaves once, as drivers of real devices do now and then. What
 * it does is the "fault" line of misbehave.conf in SANE_CONFIG_DIR:
 *
 *   read-hang         delivers half the picture, then blocks in sane_read
 *                     for good (its sane_cancel returns, but the read does
 *                     not end)
 *   read-cancel-hang  the same, and sane_cancel blocks for good too
 *   read-crash        delivers half the picture, then crashes (SIGSEGV)
 *   open-hang         blocks in sane_open for good
 *   start-busy        every sane_start takes 2 s and says the device is
 *                     busy, as a network scanner's driver does while its
 *                     device answers "503 busy" (every time, not once)
 *
 * "Once" is across processes: the fault happens only while the file that
 * the "once" line names does not exist, and that file is made as it
 * happens; later scans are the test backend's own.
 *
 * Listed in dll.d as "misbehave"; SANE's dll backend finds it through
 * LD_LIBRARY_PATH. */
#define OVER(name) sane_misbehave_##name
#include "over_test_backend.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

static char fault[64];
static char once[4096];
static long long delivered, total; /* bytes of the frame under way */

static void readConfig(void)
{
    FILE* f = openOwnConfig("misbehave.conf");
    if (!f)
        return;
    char line[4200];
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, " fault %63s", fault) == 1)
            continue;
        if (sscanf(line, " once %4095s", once) == 1)
            continue;
    }
    fclose(f);
}

/* Whether the fault `name` happens now: the configured one, the first time. */
static int misbehaves(const char* name)
{
    if (strcmp(fault, name) != 0)
        return 0;
    if (!*once)
        return 1;
    const int fd = open(once, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

static void blockForGood(void)
{
    for (;;)
        pause();
}

FORWARD(SANE_Status, set_io_mode, (SANE_Handle h, SANE_Bool nonblocking), (h, nonblocking))
FORWARD(SANE_Status, get_select_fd, (SANE_Handle h, SANE_Int* fd), (h, fd))

void sane_misbehave_close(SANE_Handle h)
{
    void (*real)(SANE_Handle);
    LOOKUP(real, "close");
    real(h);
}

SANE_Status sane_misbehave_open(SANE_String_Const name, SANE_Handle* h)
{
    if (misbehaves("open-hang"))
        blockForGood();
    SANE_Status (*real)(SANE_String_Const, SANE_Handle*);
    LOOKUP(real, "open");
    return real(name, h);
}

static _Atomic int cancelHangs; /* set by a read, seen by a cancel from another thread */

void sane_misbehave_cancel(SANE_Handle h)
{
    if (cancelHangs)
        blockForGood();
    void (*real)(SANE_Handle);
    LOOKUP(real, "cancel");
    real(h);
}

SANE_Status sane_misbehave_start(SANE_Handle h)
{
    if (strcmp(fault, "start-busy") == 0) {
        sleep(2);
        return SANE_STATUS_DEVICE_BUSY;
    }
    SANE_Status (*real)(SANE_Handle);
    LOOKUP(real, "start");
    const SANE_Status st = real(h);
    SANE_Parameters p;
    delivered = 0;
    total = sane_misbehave_get_parameters(h, &p) == SANE_STATUS_GOOD ? (long long)p.lines * p.bytes_per_line
                                                                     : 0;
    return st;
}

static int faulty = -1; /* this scan's fault: decided at its first read past half */

SANE_Status sane_misbehave_read(SANE_Handle h, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    if (total > 0 && delivered >= total / 2 && faulty < 0) {
        faulty = misbehaves("read-hang")     ? 1
            : misbehaves("read-cancel-hang") ? 2
            : misbehaves("read-crash")       ? 3
                                             : 0;
        if (faulty == 2)
            cancelHangs = 1;
        if (faulty == 3)
            raise(SIGSEGV);
        if (faulty)
            blockForGood();
    }
    SANE_Status (*real)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
    LOOKUP(real, "read");
    /* Never past the half in one read, so that the fault comes there. */
    if (faulty < 0 && total > 0 && delivered < total / 2 && max > total / 2 - delivered)
        max = (SANE_Int)(total / 2 - delivered);
    const SANE_Status st = real(h, data, max, length);
    if (st == SANE_STATUS_GOOD)
        delivered += *length;
    return st;
}
