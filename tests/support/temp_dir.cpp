#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

TempDir::TempDir(const std::string& tag) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        ADD_FAILURE() << "mkdtemp " << tmpl << ": " << strerror(errno);
        return;
    }
    m_path = buf.data();
}

TempDir::~TempDir() {
    if (!m_path.empty()) remove_tree(m_path);
}

std::string TempDir::sub(const std::string& rel) const {
    return m_path + "/" + rel;
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << strerror(errno);
        return;
    }
    size_t off = 0;
    while (off < content.size()) {
        ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "write " << path << ": " << strerror(errno);
            break;
        }
        off += size_t(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string read_file(const std::string& path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << strerror(errno);
        return out;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return out;
}

void make_dir(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << path << ": " << strerror(errno);
    ::chmod(path.c_str(), mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool first_page_cached(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return false;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = ::mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        ADD_FAILURE() << "cannot map " << path << ": " << std::strerror(errno);
        return false;
    }
    unsigned char vec = 0;
    const bool ok = ::mincore(map, page, &vec) == 0;
    ::munmap(map, page);
    EXPECT_TRUE(ok) << "mincore " << path << ": " << std::strerror(errno);
    return ok && (vec & 1) != 0;
}

void drop_from_cache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return;
    }
    EXPECT_EQ(0, ::fdatasync(fd)) << path;
    EXPECT_EQ(0, ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED)) << path;
    ::close(fd);
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        // Tests may leave folders without rights; give them back before walking.
        ::chmod(path.c_str(), 0700);
        if (DIR* d = ::opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent* e = ::readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                names.emplace_back(e->d_name);
            }
            ::closedir(d);
            for (const auto& n : names)
                remove_tree(path + "/" + n);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

int run(const std::string& command) {
    int rc = ::system(command.c_str());
    if (rc == -1) return -1;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

void use_home(const std::string& home, const std::string& config_home) {
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
    unsetenv("SUDO_USER");
    unsetenv("PKEXEC_UID");
}

} // namespace testsupport
