// Preloaded by the fork tests (LD_PRELOAD) to widen a race: each time a
// library whose path contains $ATFORK_DELAY_LIBRARY registers fork handlers,
// the registering thread appends a byte to the file $ATFORK_DELAY_MARK and then
// sleeps $ATFORK_DELAY_MS milliseconds, so another thread can fork between
// the registration and whatever that library does next.
//
// pthread_atfork itself is linked statically into each library (it passes the
// library's own __dso_handle), so the call to intercept is __register_atfork.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int register_fn(void (*)(void), void (*)(void), void (*)(void), void*);

int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void), void* dso);

int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void), void* dso) {
    register_fn* real = (register_fn*)dlsym(RTLD_NEXT, "__register_atfork");
    if (real == NULL) return -1;
    const int result = real(prepare, parent, child, dso);

    const char* library = getenv("ATFORK_DELAY_LIBRARY");
    Dl_info info;
    if (library == NULL || dso == NULL || dladdr(dso, &info) == 0 || info.dli_fname == NULL ||
        strstr(info.dli_fname, library) == NULL)
        return result;
    const char* mark = getenv("ATFORK_DELAY_MARK");
    if (mark != NULL) {
        const int fd = open(mark, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, "r", 1) != 1) {
                // Nothing to do: the mark only helps the test time its fork.
            }
            close(fd);
        }
    }
    const char* delay = getenv("ATFORK_DELAY_MS");
    const long ms = delay != NULL ? atol(delay) : 0;
    if (ms > 0) {
        struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    return result;
}
