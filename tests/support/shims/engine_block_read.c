// Makes a file hang like a dead network share: reading from a file whose path contains
// TAVRIN_BLOCK_PATH blocks until a signal arrives, then fails with EINTR. Preloaded into the copy
// engine's watchdog test.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int is_marked(int fd) {
    const char* mark = getenv("TAVRIN_BLOCK_PATH");
    if (!mark || !*mark || fd < 0) return 0;
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = 0;
    return strstr(target, mark) != NULL;
}

static int hang(void) {
    pause();
    errno = EINTR;
    return -1;
}

ssize_t read(int fd, void* buf, size_t n) {
    if (is_marked(fd)) return hang();
    return ((ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read"))(fd, buf, n);
}

ssize_t pread(int fd, void* buf, size_t n, off_t off) {
    if (is_marked(fd)) return hang();
    return ((ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread"))(fd, buf, n, off);
}

ssize_t pread64(int fd, void* buf, size_t n, off_t off) {
    if (is_marked(fd)) return hang();
    return ((ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64"))(fd, buf, n, off);
}

ssize_t copy_file_range(int in, off_t* in_off, int out, off_t* out_off, size_t len, unsigned flags) {
    if (is_marked(in)) return hang();
    return ((ssize_t(*)(int, off_t*, int, off_t*, size_t, unsigned))dlsym(RTLD_NEXT, "copy_file_range"))(
        in, in_off, out, out_off, len, flags);
}
