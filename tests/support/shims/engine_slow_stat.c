// Makes the status of some paths slow, like a network share that hangs: lstat or fstatat of a path containing
// TAVRIN_SLOW_STAT_PATH sleeps TAVRIN_SLOW_STAT_MS milliseconds (default 2000) before answering.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

static void maybe_wait(const char* path) {
    const char* mark = getenv("TAVRIN_SLOW_STAT_PATH");
    if (!mark || !*mark || !path || !strstr(path, mark)) return;
    const char* ms = getenv("TAVRIN_SLOW_STAT_MS");
    long wait = ms ? atol(ms) : 2000;
    struct timespec t = {wait / 1000, (wait % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

int lstat(const char* path, struct stat* st) {
    maybe_wait(path);
    return ((int (*)(const char*, struct stat*))dlsym(RTLD_NEXT, "lstat"))(path, st);
}

int lstat64(const char* path, struct stat64* st) {
    maybe_wait(path);
    return ((int (*)(const char*, struct stat64*))dlsym(RTLD_NEXT, "lstat64"))(path, st);
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    maybe_wait(path);
    return ((int (*)(int, const char*, struct stat*, int))dlsym(RTLD_NEXT, "fstatat"))(dirfd, path, st, flags);
}

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    maybe_wait(path);
    return ((int (*)(int, const char*, struct stat64*, int))dlsym(RTLD_NEXT, "fstatat64"))(dirfd, path, st, flags);
}
