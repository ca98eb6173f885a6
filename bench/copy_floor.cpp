// copy-floor: the least work one thread can do to copy a tree while keeping modes and times, as a yardstick
// for bench/copy.sh. It is no copier to use: no holes, no conflicts, no progress, no cancel, no hard links,
// and a failure ends it. Per entry one status (type, mode, size and times must come from somewhere), per
// file: open, create under the final name, copy_file_range, set the times, two closes; per folder: create,
// and mode and times once its contents are in. Whatever a copier does beyond this is its own overhead;
// a target below this floor cannot be met with one stream.
//   copy-floor SOURCE TARGET_DIR     copies SOURCE to TARGET_DIR/<name of SOURCE>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "copy-floor: %s: %s\n", what.c_str(), std::strerror(errno));
    std::_Exit(1);
}

void copy_data(int in, int out, off_t size, const std::string& name) {
    static char buf[1 << 17];
    off_t done = 0;
    bool kernel = true;
    while (done < size) {
        ssize_t n =
            kernel ? ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0) : -1;
        if (kernel && n < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) kernel = false;
        if (!kernel) {
            n = ::read(in, buf, sizeof buf);
            if (n > 0 && ::write(out, buf, static_cast<size_t>(n)) != n) die(name);
        }
        if (n < 0) die(name);
        if (n == 0) break;
        done += n;
    }
}

void copy_file(int sdir, int ddir, const char* name, const struct stat& st) {
    int in = ::openat(sdir, name, O_RDONLY | O_NOATIME | O_CLOEXEC);
    if (in < 0) die(name);
    int out = ::openat(ddir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) die(name);
    copy_data(in, out, st.st_size, name);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    ::close(in);
    if (::close(out) != 0) die(name);
}

void copy_entry(int sdir, int ddir, const char* name);

void copy_folder(int sdir, int ddir, const char* name, const struct stat& st) {
    if (::mkdirat(ddir, name, 0700) != 0) die(name);
    int from = ::openat(sdir, name, O_RDONLY | O_DIRECTORY | O_NOATIME | O_CLOEXEC);
    int to = ::openat(ddir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (from < 0 || to < 0) die(name);
    DIR* d = ::fdopendir(from);
    if (!d) die(name);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    for (const std::string& n : names)
        copy_entry(from, to, n.c_str());
    ::fchmod(to, st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(to, times);
    ::closedir(d);
    ::close(to);
}

void copy_entry(int sdir, int ddir, const char* name) {
    struct stat st;
    if (::fstatat(sdir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) die(name);
    if (S_ISDIR(st.st_mode)) {
        copy_folder(sdir, ddir, name, st);
    } else if (S_ISREG(st.st_mode)) {
        copy_file(sdir, ddir, name, st);
    } else if (S_ISLNK(st.st_mode)) {
        char text[4096];
        ssize_t n = ::readlinkat(sdir, name, text, sizeof text - 1);
        if (n < 0) die(name);
        text[n] = 0;
        if (::symlinkat(text, ddir, name) != 0) die(name);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: copy-floor SOURCE TARGET_DIR\n");
        return 2;
    }
    std::string source = argv[1];
    while (source.size() > 1 && source.back() == '/')
        source.pop_back();
    const size_t slash = source.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : source.substr(0, slash);
    const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    int sdir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int ddir = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sdir < 0 || ddir < 0) die("open");
    copy_entry(sdir, ddir, name.c_str());
    return 0;
}
