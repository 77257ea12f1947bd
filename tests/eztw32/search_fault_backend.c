/* A SANE backend whose device search misbehaves, for the cases of a search
 * that hangs or crashes. It has no device of its own; listed in dll.d as
 * "searchfault" beside the test backend, it spoils the whole search while
 * the test backend's devices can still be opened by name.
 *
 *   SEARCHFAULT_HANG_UNTIL=FILE   sane_get_devices waits until FILE exists
 *   SEARCHFAULT_CRASH_WHILE=FILE  sane_get_devices crashes while FILE exists
 *   SEARCHFAULT_PID_FILE=FILE     the searching process writes its id there
 *
 * Found by SANE's dll backend through LD_LIBRARY_PATH. */
#include <sane/sane.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static const SANE_Device* no_devices[] = {NULL};

static int exists(const char* path)
{
    return path && *path && access(path, F_OK) == 0;
}

SANE_Status sane_searchfault_init(SANE_Int* version, SANE_Auth_Callback authorize)
{
    (void)authorize;
    if (version)
        *version = SANE_VERSION_CODE(1, 0, 0);
    return SANE_STATUS_GOOD;
}

void sane_searchfault_exit(void)
{ }

SANE_Status sane_searchfault_get_devices(const SANE_Device*** list, SANE_Bool local)
{
    (void)local;
    const char* pidFile = getenv("SEARCHFAULT_PID_FILE");
    if (pidFile && *pidFile) {
        FILE* f = fopen(pidFile, "w");
        if (f) {
            fprintf(f, "%ld\n", (long)getpid());
            fclose(f);
        }
    }
    if (exists(getenv("SEARCHFAULT_CRASH_WHILE")))
        raise(SIGSEGV);
    const char* until = getenv("SEARCHFAULT_HANG_UNTIL");
    while (until && *until && !exists(until)) {
        const struct timespec step = {0, 20 * 1000 * 1000};
        nanosleep(&step, NULL);
    }
    *list = no_devices;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_searchfault_open(SANE_String_Const name, SANE_Handle* h)
{
    (void)name;
    (void)h;
    return SANE_STATUS_INVAL;
}

void sane_searchfault_close(SANE_Handle h)
{
    (void)h;
}

const SANE_Option_Descriptor* sane_searchfault_get_option_descriptor(SANE_Handle h, SANE_Int n)
{
    (void)h;
    (void)n;
    return NULL;
}

SANE_Status sane_searchfault_control_option(SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* i)
{
    (void)h;
    (void)n;
    (void)a;
    (void)v;
    (void)i;
    return SANE_STATUS_INVAL;
}

SANE_Status sane_searchfault_get_parameters(SANE_Handle h, SANE_Parameters* p)
{
    (void)h;
    (void)p;
    return SANE_STATUS_INVAL;
}

SANE_Status sane_searchfault_start(SANE_Handle h)
{
    (void)h;
    return SANE_STATUS_INVAL;
}

SANE_Status sane_searchfault_read(SANE_Handle h, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    (void)h;
    (void)data;
    (void)max;
    *length = 0;
    return SANE_STATUS_INVAL;
}

void sane_searchfault_cancel(SANE_Handle h)
{
    (void)h;
}

SANE_Status sane_searchfault_set_io_mode(SANE_Handle h, SANE_Bool nonblocking)
{
    (void)h;
    (void)nonblocking;
    return SANE_STATUS_UNSUPPORTED;
}

SANE_Status sane_searchfault_get_select_fd(SANE_Handle h, SANE_Int* fd)
{
    (void)h;
    (void)fd;
    return SANE_STATUS_UNSUPPORTED;
}
