// Helpers shared by the test shims that are preloaded into the program under test.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

// The path an *at call names: a name relative to a folder descriptor is joined to that folder's path, so
// that marks written as paths match however the program reaches the file.
static inline const char* at_path(int dirfd, const char* path, char* buf, size_t size) {
    if (!path || path[0] == '/' || dirfd == AT_FDCWD) return path;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(proc, buf, size - 1);
    if (n <= 0) return path;
    snprintf(buf + n, size - (size_t)n, "/%s", path);
    return buf;
}
