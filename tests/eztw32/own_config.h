/* The configuration file of a test backend of our own. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The file `name` in the first folder of SANE_CONFIG_DIR, or NULL. */
static FILE* openOwnConfig(const char* name)
{
    const char* dirs = getenv("SANE_CONFIG_DIR");
    if (!dirs)
        return NULL;
    char path[4096];
    const size_t dirLength = strcspn(dirs, ":");
    if (snprintf(path, sizeof path, "%.*s/%s", (int)dirLength, dirs, name) >= (int)sizeof path)
        return NULL;
    return fopen(path, "r");
}
