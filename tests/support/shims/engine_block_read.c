// Makes a file hang like a dead network share: reading from a file whose path contains
// TAVRIN_BLOCK_PATH blocks until a signal arrives, then fails with EINTR. Preloaded into the copy
// engine's watchdog test.
//
// Opening a file whose path contains TAVRIN_BLOCK_OPEN_PATH for reading blocks the same way; once the
// signal came it lingers TAVRIN_BLOCK_OPEN_LINGER_MS more milliseconds before failing with EINTR, like a
// call that takes its time to give up. With TAVRIN_BLOCK_OPEN_FOLDERS set, a folder opened only as a
// place to look names up in (O_PATH) blocks too, as every call into a dead share does.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <time.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "shim_paths.h"

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

static int hang_open(const char* path, int flags) {
    const char* mark = getenv("TAVRIN_BLOCK_OPEN_PATH");
    if (!mark || !*mark || !path || !strstr(path, mark)) return 0;
    const int folder_handle = (flags & O_PATH) && getenv("TAVRIN_BLOCK_OPEN_FOLDERS");
    if (!folder_handle && ((flags & O_ACCMODE) != O_RDONLY || (flags & O_DIRECTORY))) return 0;
    pause();
    const char* linger = getenv("TAVRIN_BLOCK_OPEN_LINGER_MS");
    long ms = linger ? atol(linger) : 0;
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
    errno = EINTR;
    return 1;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    if (hang_open(path, flags)) return -1;
    return ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open"))(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    if (hang_open(path, flags)) return -1;
    return ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64"))(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    char full[4096];
    if (hang_open(at_path(dirfd, path, full, sizeof full), flags)) return -1;
    return ((int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat"))(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    char full[4096];
    if (hang_open(at_path(dirfd, path, full, sizeof full), flags)) return -1;
    return ((int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat64"))(dirfd, path, flags, mode);
}

// Removing an entry whose name contains TAVRIN_BLOCK_UNLINK_PATH waits until the file named by
// TAVRIN_BLOCK_UNLINK_RELEASE exists: a delete that the test holds and lets go.
static void hold_unlink(const char* path) {
    const char* mark = getenv("TAVRIN_BLOCK_UNLINK_PATH");
    const char* release = getenv("TAVRIN_BLOCK_UNLINK_RELEASE");
    if (!mark || !*mark || !release || !*release || !path || !strstr(path, mark)) return;
    struct timespec t = {0, 20 * 1000000L};
    while (access(release, F_OK) != 0)
        nanosleep(&t, NULL);
}

int unlink(const char* path) {
    hold_unlink(path);
    return ((int (*)(const char*))dlsym(RTLD_NEXT, "unlink"))(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
    hold_unlink(path);
    return ((int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat"))(dirfd, path, flags);
}
