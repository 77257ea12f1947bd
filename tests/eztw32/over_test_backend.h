/* What the tests' backends over SANE's test backend share: the test
 * backend, loaded at init; its functions, looked up by name and forwarded
 * to; and a configuration file of the backend's own. A backend defines
 * OVER(name) as its entry point's name (sane_<backend>_##name) and its own
 * readConfig(), then includes this. */
#include "own_config.h"

#include <sane/sane.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void* backend;

/* The test backend's function `name` into the function pointer `fn`. */
#define LOOKUP(fn, name)                                                                                     \
    do {                                                                                                     \
        void* symbol = dlsym(backend, "sane_test_" name);                                                    \
        memcpy(&(fn), &symbol, sizeof(fn));                                                                  \
    } while (0)

#define FORWARD(ret, name, params, args)                                                                     \
    ret OVER(name) params                                                                                    \
    {                                                                                                        \
        ret(*real) params;                                                                                   \
        LOOKUP(real, #name);                                                                                 \
        return real args;                                                                                    \
    }

static void readConfig(void);

SANE_Status OVER(init)(SANE_Int* version, SANE_Auth_Callback authorize)
{
    readConfig();
    backend = dlopen(TEST_BACKEND, RTLD_NOW | RTLD_LOCAL);
    if (!backend)
        return SANE_STATUS_IO_ERROR;
    SANE_Status (*real)(SANE_Int*, SANE_Auth_Callback);
    LOOKUP(real, "init");
    return real(version, authorize);
}

void OVER(exit)(void)
{
    void (*real)(void);
    LOOKUP(real, "exit");
    real();
}

FORWARD(SANE_Status, get_devices, (const SANE_Device*** list, SANE_Bool local), (list, local))
FORWARD(const SANE_Option_Descriptor*, get_option_descriptor, (SANE_Handle h, SANE_Int n), (h, n))
FORWARD(SANE_Status, control_option, (SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* i),
    (h, n, a, v, i))
FORWARD(SANE_Status, get_parameters, (SANE_Handle h, SANE_Parameters* p), (h, p))
