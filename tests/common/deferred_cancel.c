/* Preloaded into every process of the test suite (tests/common/isolated.py).
 *
 * SANE's test backend runs its reader as a thread that it makes
 * asynchronously cancellable, and ends it with pthread_cancel at the end of
 * every frame, right after the thread's last write, while the thread may
 * still be freeing its picture buffer. A thread cancelled inside free()
 * leaves the malloc arena locked for good; the thread's own exit, the
 * frontend's next reader thread or its next allocation then waits for ever,
 * and the scan hangs. Where that happens is down to the scheduler alone: a
 * test whose scan hangs now and then fails by chance.
 *
 * Here an asynchronous cancel type is taken as deferred: the reader is then
 * cancelled only at a cancellation point (its write to the pipe, its sleep),
 * where it holds no lock, and otherwise runs to its end. Nothing in the
 * program asks for either type; only the backends do. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>

typedef int (*setcanceltype_fn)(int, int*);

static setcanceltype_fn real_setcanceltype;

static void find_real(void)
{
    /* POSIX's way to turn dlsym's answer into a function pointer. */
    void* sym = dlsym(RTLD_NEXT, "pthread_setcanceltype");
    __builtin_memcpy(&real_setcanceltype, &sym, sizeof sym);
}

/* Found once at load, before any backend runs a thread. */
__attribute__((constructor)) static void init(void)
{
    find_real();
}

int pthread_setcanceltype(int type, int* oldtype)
{
    if (!real_setcanceltype)
        find_real();
    if (type == PTHREAD_CANCEL_ASYNCHRONOUS)
        type = PTHREAD_CANCEL_DEFERRED;
    return real_setcanceltype(type, oldtype);
}
