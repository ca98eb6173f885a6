// Fault injection for the copy engine's tests, preloaded into tavrin-copy.
//
//   TAVRIN_FAULT_PATH       opening a file whose path contains this text for reading fails ...
//   TAVRIN_FAULT_ERRNO      ... with this errno (default EIO) ...
//   TAVRIN_FAULT_WINDOW_MS  ... for this long after the first such open, or always when negative (default);
//   TAVRIN_FAULT_LOG        every open of that file appends "<monotonic ms> fail|pass" to this file.
//   TAVRIN_RACE_TARGET      a rename onto exactly this path first creates a file there, as if another
//                           program had been quicker.
//   TAVRIN_ZERO_WRITE_PATH  writing to a file whose path contains this text takes nothing: pwrite returns
//                           0 and copy_file_range into it fails with EXDEV (so that writes are used).
//   TAVRIN_SYNC_LOG         every syncfs and every unlinkat appends "<monotonic ms> syncfs|unlink" here.
//   TAVRIN_SYNCFS_ERRNO     syncfs fails with this errno.
//   TAVRIN_GROW_PATH        the first time data is read from a file whose path contains this text, a
//                           line is appended to that file first, as by a program still writing it.
//   TAVRIN_CALL_LOG         every FICLONE ioctl appends "<monotonic ms> ficlone", every copy_file_range
//                           "<monotonic ms> cfr" here.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "shim_paths.h"

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static long long g_first_hit = -1;

static void log_to(const char* env, const char* what) {
    const char* log = getenv(env);
    if (!log) return;
    int fd = ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open"))(
        log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[64];
    int n = snprintf(line, sizeof line, "%lld %s\n", now_ms(), what);
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

static void log_event(const char* what) {
    log_to("TAVRIN_FAULT_LOG", what);
}

// Nonzero (the errno to fail with) when this open is to fail.
static int fault_for(const char* path, int flags) {
    const char* mark = getenv("TAVRIN_FAULT_PATH");
    if (!mark || !*mark || !path || !strstr(path, mark)) return 0;
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_DIRECTORY)) return 0;
    const char* e = getenv("TAVRIN_FAULT_ERRNO");
    int code = e ? atoi(e) : EIO;
    const char* w = getenv("TAVRIN_FAULT_WINDOW_MS");
    long long window = w ? atoll(w) : -1;
    long long now = now_ms();
    if (__atomic_load_n(&g_first_hit, __ATOMIC_SEQ_CST) < 0) {
        long long expected = -1;
        __atomic_compare_exchange_n(&g_first_hit, &expected, now, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    int fail = window < 0 || now - __atomic_load_n(&g_first_hit, __ATOMIC_SEQ_CST) < window;
    log_event(fail ? "fail" : "pass");
    return fail ? code : 0;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int code = fault_for(path, flags);
    if (code) {
        errno = code;
        return -1;
    }
    return ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open"))(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int code = fault_for(path, flags);
    if (code) {
        errno = code;
        return -1;
    }
    return ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64"))(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    char full[4096];
    int code = fault_for(at_path(dirfd, path, full, sizeof full), flags);
    if (code) {
        errno = code;
        return -1;
    }
    return ((int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat"))(dirfd, path, flags, mode);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
    const char* race = getenv("TAVRIN_RACE_TARGET");
    if (race && newpath && strcmp(race, newpath) == 0) {
        int fd = ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open"))(
            newpath, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            if (write(fd, "intruder\n", 9) < 0) {
            }
            close(fd);
        }
    }
    return ((int (*)(int, const char*, int, const char*, unsigned int))dlsym(RTLD_NEXT, "renameat2"))(
        olddirfd, oldpath, newdirfd, newpath, flags);
}

static int g_grown = 0;

// Appends once to the file behind `fd` when its path carries the TAVRIN_GROW_PATH mark.
static void grow_once(int fd) {
    const char* mark = getenv("TAVRIN_GROW_PATH");
    if (!mark || !*mark || fd < 0 || __atomic_load_n(&g_grown, __ATOMIC_SEQ_CST)) return;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = 0;
    if (!strstr(path, mark) || __atomic_exchange_n(&g_grown, 1, __ATOMIC_SEQ_CST)) return;
    int w = ((int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open"))(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (w < 0) return;
    if (write(w, "written during the copy\n", 24) < 0) {
    }
    close(w);
}

ssize_t pread(int fd, void* buf, size_t count, off_t off) {
    grow_once(fd);
    return ((ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread"))(fd, buf, count, off);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t off) {
    grow_once(fd);
    return ((ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64"))(fd, buf, count, off);
}

static int fd_has_mark(int fd, const char* env) {
    const char* mark = getenv(env);
    if (!mark || !*mark || fd < 0) return 0;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    return strstr(path, mark) != NULL;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t off) {
    if (fd_has_mark(fd, "TAVRIN_ZERO_WRITE_PATH")) return 0;
    return ((ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite"))(fd, buf, count, off);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t off) {
    if (fd_has_mark(fd, "TAVRIN_ZERO_WRITE_PATH")) return 0;
    return ((ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64"))(fd, buf, count, off);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == FICLONE) log_to("TAVRIN_CALL_LOG", "ficlone");
    return ((int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl"))(fd, request, arg);
}

ssize_t copy_file_range(int in, off_t* in_off, int out, off_t* out_off, size_t len, unsigned flags) {
    log_to("TAVRIN_CALL_LOG", "cfr");
    if (fd_has_mark(out, "TAVRIN_ZERO_WRITE_PATH")) {
        errno = EXDEV;
        return -1;
    }
    grow_once(in);
    return ((ssize_t(*)(int, off_t*, int, off_t*, size_t, unsigned))dlsym(RTLD_NEXT, "copy_file_range"))(
        in, in_off, out, out_off, len, flags);
}

int syncfs(int fd) {
    log_to("TAVRIN_SYNC_LOG", "syncfs");
    const char* e = getenv("TAVRIN_SYNCFS_ERRNO");
    if (e && atoi(e) > 0) {
        errno = atoi(e);
        return -1;
    }
    return ((int (*)(int))dlsym(RTLD_NEXT, "syncfs"))(fd);
}

int unlinkat(int dirfd, const char* path, int flags) {
    if (!(flags & AT_REMOVEDIR)) log_to("TAVRIN_SYNC_LOG", "unlink");
    return ((int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat"))(dirfd, path, flags);
}
