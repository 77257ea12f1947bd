/* A SANE backend for one case: the test backend's own device, whose scan
 * the device itself cancels once the first data has come, as a scanner's
 * own Cancel key does during a scan.
 *
 * The test backend's own way (its read-status-code option) reports the
 * cancel at the first read, an instant after the scan started. Its reader
 * thread is then often still allocating its buffer, and it is cancelled
 * asynchronously: a thread cancelled inside malloc keeps its arena locked
 * and hangs in its own exit, and sane_cancel with it, in about one scan in
 * twenty. Once data has come, the reader waits on its pipe, where a cancel
 * is safe.
 *
 * Listed in dll.d as "devicecancel"; SANE's dll backend finds it through
 * LD_LIBRARY_PATH. Everything but sane_read is the test backend's. */
#include <sane/sane.h>

#include <dlfcn.h>
#include <string.h>

static void* backend;
static int cancelled;

/* The test backend's function `name` into the function pointer `fn`. */
#define LOOKUP(fn, name)                                                                                     \
    do {                                                                                                     \
        void* symbol = dlsym(backend, "sane_test_" name);                                                    \
        memcpy(&(fn), &symbol, sizeof(fn));                                                                  \
    } while (0)

#define FORWARD(ret, name, params, args)                                                                     \
    ret sane_devicecancel_##name params                                                                      \
    {                                                                                                        \
        ret(*real) params;                                                                                   \
        LOOKUP(real, #name);                                                                                 \
        return real args;                                                                                    \
    }

SANE_Status sane_devicecancel_init(SANE_Int* version, SANE_Auth_Callback authorize)
{
    backend = dlopen(TEST_BACKEND, RTLD_NOW | RTLD_LOCAL);
    if (!backend)
        return SANE_STATUS_IO_ERROR;
    SANE_Status (*real)(SANE_Int*, SANE_Auth_Callback);
    LOOKUP(real, "init");
    return real(version, authorize);
}

void sane_devicecancel_exit(void)
{
    void (*real)(void);
    LOOKUP(real, "exit");
    real();
}

FORWARD(SANE_Status, get_devices, (const SANE_Device*** list, SANE_Bool local), (list, local))
FORWARD(SANE_Status, open, (SANE_String_Const name, SANE_Handle* h), (name, h))
FORWARD(const SANE_Option_Descriptor*, get_option_descriptor, (SANE_Handle h, SANE_Int n), (h, n))
FORWARD(SANE_Status, control_option, (SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* i),
    (h, n, a, v, i))
FORWARD(SANE_Status, get_parameters, (SANE_Handle h, SANE_Parameters* p), (h, p))
FORWARD(SANE_Status, set_io_mode, (SANE_Handle h, SANE_Bool nonblocking), (h, nonblocking))
FORWARD(SANE_Status, get_select_fd, (SANE_Handle h, SANE_Int* fd), (h, fd))

void sane_devicecancel_close(SANE_Handle h)
{
    void (*real)(SANE_Handle);
    LOOKUP(real, "close");
    real(h);
}

void sane_devicecancel_cancel(SANE_Handle h)
{
    void (*real)(SANE_Handle);
    LOOKUP(real, "cancel");
    real(h);
}

SANE_Status sane_devicecancel_start(SANE_Handle h)
{
    cancelled = 0;
    SANE_Status (*real)(SANE_Handle);
    LOOKUP(real, "start");
    return real(h);
}

SANE_Status sane_devicecancel_read(SANE_Handle h, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    SANE_Status (*real)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
    LOOKUP(real, "read");
    *length = 0;
    if (cancelled)
        return SANE_STATUS_CANCELLED;
    const SANE_Status status = real(h, data, max, length);
    if (status == SANE_STATUS_GOOD && *length > 0) {
        cancelled = 1;
        *length = 0;
        return SANE_STATUS_CANCELLED;
    }
    return status;
}
