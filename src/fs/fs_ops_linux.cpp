// The system-call side of fsops: status, creation and removal, links, space, tree walks, the file copy
// and the device classification.
#include "fs/fs_ops.h"

#include "base/strutil.h"
#include "fs/mounts.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <memory>
#include <mutex>
#include <random>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace fsops {
namespace {

thread_local int t_last_error = 0;

struct Totals {
    int64_t bytes = 0;
    int64_t files = 0;
    int64_t dirs = 0;
};
// Running totals of the measure_tree walk in progress on this thread, or null.
thread_local Totals* t_totals = nullptr;

std::string errno_text(int code) {
    char buf[256];
    return strerror_r(code, buf, sizeof buf);
}

std::string fail_with(const std::string& path, int code) {
    t_last_error = code;
    return path + ": " + errno_text(code);
}

std::string fail(const std::string& path) {
    return fail_with(path, errno);
}

// A message that names no system call; the code still lets callers classify it.
std::string fail_text(std::string text, int code) {
    t_last_error = code;
    return text;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    bool ok() const { return m_fd >= 0; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // Closes now and reports the result: network file systems report delayed write errors here.
    int close_checked() {
        int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd = -1;
};

// A path as the *at calls take it. Paths the kernel takes whole go as they are; a longer one (a deep
// tree: the kernel refuses paths of PATH_MAX bytes or more) is reached through descriptors of folders
// along it, each opened relative to the one before, so that depth has no limit.
class AtPath {
public:
    explicit AtPath(const std::string& path) {
        if (path.size() < kWholePathLimit) {
            m_name = path.c_str();
            return;
        }
        size_t pos = 0;
        while (path.size() - pos >= kWholePathLimit) {
            size_t cut = path.rfind('/', pos + kWholePathLimit - 1);
            if (cut == std::string::npos || cut < pos) {
                m_error = ENAMETOOLONG;
                return;
            }
            if (cut == pos && pos != 0) { // an empty component ("//")
                pos = cut + 1;
                continue;
            }
            std::string part = cut == 0 ? std::string("/") : path.substr(pos, cut - pos);
            int fd =
                ::openat(m_dir.ok() ? m_dir.get() : AT_FDCWD, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) {
                m_error = errno;
                return;
            }
            m_dir = Fd(fd);
            pos = cut + 1;
        }
        m_rest = path.substr(pos);
        m_name = m_rest.c_str();
    }
    AtPath(const AtPath&) = delete;
    AtPath& operator=(const AtPath&) = delete;

    // False when a folder along the path could not be opened; errno is then set to the reason.
    bool ok() const {
        if (m_error != 0) errno = m_error;
        return m_error == 0;
    }
    int dir() const { return m_dir.ok() ? m_dir.get() : AT_FDCWD; }
    const char* name() const { return m_name; }

private:
    static constexpr size_t kWholePathLimit = PATH_MAX - 64;
    Fd m_dir;
    std::string m_rest;
    const char* m_name = "";
    int m_error = 0;
};

int at_lstat(const std::string& path, struct stat* st) {
    AtPath at(path);
    return at.ok() ? ::fstatat(at.dir(), at.name(), st, AT_SYMLINK_NOFOLLOW) : -1;
}

int at_stat(const std::string& path, struct stat* st) {
    AtPath at(path);
    return at.ok() ? ::fstatat(at.dir(), at.name(), st, 0) : -1;
}

int at_open(const std::string& path, int flags, mode_t mode = 0) {
    AtPath at(path);
    return at.ok() ? ::openat(at.dir(), at.name(), flags, mode) : -1;
}

// The folder descriptor and the name to use for `path`: from `folder` when it holds the path's folder,
// else resolved along the path.
struct InFolder {
    InFolder(const FolderHandle* folder, const std::string& path) {
        if (folder) dir = folder->lookup(path, name);
    }
    bool held() const { return dir >= 0; }
    int dir = -1;
    const char* name = nullptr;
};

int at_mkdir(const std::string& path, mode_t mode) {
    AtPath at(path);
    return at.ok() ? ::mkdirat(at.dir(), at.name(), mode) : -1;
}

int at_unlink(const std::string& path, int flags = 0) {
    AtPath at(path);
    return at.ok() ? ::unlinkat(at.dir(), at.name(), flags) : -1;
}

int at_rename(const std::string& from, const std::string& to, unsigned flags = 0) {
    AtPath a(from);
    AtPath b(to);
    if (!a.ok() || !b.ok()) return -1;
    return ::renameat2(a.dir(), a.name(), b.dir(), b.name(), flags);
}

int at_link(const std::string& from, const std::string& to, int flags = 0) {
    AtPath a(from);
    AtPath b(to);
    if (!a.ok() || !b.ok()) return -1;
    return ::linkat(a.dir(), a.name(), b.dir(), b.name(), flags);
}

int at_symlink(const std::string& text, const std::string& path) {
    AtPath at(path);
    return at.ok() ? ::symlinkat(text.c_str(), at.dir(), at.name()) : -1;
}

Stat to_stat(const struct stat& st) {
    Stat s;
    s.exists = true;
    s.is_dir = S_ISDIR(st.st_mode);
    s.is_symlink = S_ISLNK(st.st_mode);
    s.is_regular = S_ISREG(st.st_mode);
    s.size = st.st_size;
    s.mtime = st.st_mtim.tv_sec;
    s.perm = st.st_mode & 0xfff;
    s.device = st.st_dev;
    return s;
}

// Opens for reading without moving the access time: copying or measuring a file is not a use of it,
// and a copy is to carry the time the source had. O_NOATIME needs ownership (or CAP_FOWNER); other
// files are opened the ordinary way, which `noatime`, when given, tells.
int open_read_noatime(const std::string& path, int flags, const FolderHandle* folder = nullptr,
                      bool* noatime = nullptr) {
    const InFolder in(folder, path);
    const auto open_with = [&](int f) { return in.held() ? ::openat(in.dir, in.name, f) : at_open(path, f); };
    if (noatime) *noatime = true;
    int fd = open_with(flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        if (noatime) *noatime = false;
        fd = open_with(flags);
    }
    return fd;
}

// Opens a folder for reading without following a link that replaced it after it was examined.
std::unique_ptr<DIR, int (*)(DIR*)> open_dir_nofollow(const std::string& path) {
    int fd = open_read_noatime(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {nullptr, ::closedir};
    DIR* d = ::fdopendir(fd);
    if (!d) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return {d, ::closedir};
}

bool is_dot_name(const char* n) {
    return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

// The names of a folder, read completely before the caller descends, so that a deep tree never holds
// more than one directory descriptor open.
std::vector<std::string> entry_names(DIR* d) {
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
        if (is_dot_name(e->d_name)) continue;
        names.emplace_back(e->d_name);
    }
    return names;
}

// Random tails for temporary names; seeded once per thread from the kernel.
std::string random_tail() {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 rng = [] {
        uint64_t seed = 0;
        if (::getrandom(&seed, sizeof seed, 0) != sizeof seed)
            seed = static_cast<uint64_t>(::gettid()) * 0x9e3779b97f4a7c15ULL ^
                   static_cast<uint64_t>(time(nullptr));
        return std::mt19937_64(seed);
    }();
    std::string tail(6, 'x');
    for (char& c : tail)
        c = kChars[rng() % (sizeof kChars - 1)];
    return tail;
}

// ".<name>.tavrin-part-XXXXXX" beside `target`; the name part is shortened so the whole stays a legal
// file name.
std::string partial_path_for(const std::string& target) {
    constexpr size_t kOverhead = 1 + 13 + 6; // ".", ".tavrin-part-", tail
    std::string base = su::truncate_utf8(su::basename_of(target), 255 - kOverhead);
    std::string name = "." + base + ".tavrin-part-" + random_tail();
    std::string dir = su::parent_of(target);
    return dir.empty() ? name : su::join_path(dir, name);
}

// Creates a new object under a fresh temporary name beside `target` with `make` (which returns 0 or -1
// with errno), trying other names while the chosen one is taken.
template <typename Make> int make_beside(const std::string& target, std::string& temp_out, Make make) {
    std::string base = su::basename_of(target);
    if (base.empty() || base == "/") {
        errno = EISDIR; // the root or a path ending in "//" names no entry that could be replaced
        return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_out = partial_path_for(target);
        int rc = make(temp_out);
        if (rc >= 0 || errno != EEXIST) return rc;
    }
    errno = EEXIST;
    return -1;
}

// Takes `to` for the finished file at `from` without replacing anything: renameat2 with NOREPLACE, or,
// where the file system does not know that flag, a hard link (which fails on a taken name too) and the
// removal of the old name.
int rename_exclusive_raw(const std::string& from, const std::string& to) {
    if (at_rename(from, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (at_link(from, to) != 0) return -1;
    at_unlink(from);
    return 0;
}

bool is_tmpfile_unsupported(int err) {
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS;
}

// The file of a copy in progress. A copy to a new name is an unnamed file (O_TMPFILE) in the target
// folder, linked in under its name when complete: one directory update, nothing left behind by a crash,
// and the link fails if the name was taken meanwhile. A small file (`small`) takes its name when it is
// created instead (O_EXCL, which fails on a taken name just the same): the unnamed file's orphan
// bookkeeping and second directory update cost a tenth of the time of copying a small file, and a small
// file is complete a few calls later, so only a crash within those calls leaves it short under its name.
// An overwrite, and file systems without unnamed files, use a hidden temporary name that is renamed
// into place. Removed unless committed.
class PartialFile {
public:
    PartialFile() = default;
    ~PartialFile() { discard(); }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // "" or the message for `target`. `mode`: the permission bits to create the file with (the final
    // ones where the umask allows, which spares a change of mode afterwards).
    // `folder`, when it holds the target's folder, is where the file is made and named. `target` must
    // outlive this object.
    std::string create(const std::string& target, Placement place, mode_t mode = 0600,
                       const FolderHandle* folder = nullptr, bool small = false) {
        m_place = place;
        m_folder = folder;
        if (place == Placement::NewName && small) return create_named(target, mode);
        if (place == Placement::NewName && g_tmpfile_supported.load(std::memory_order_relaxed)) {
            const InFolder in(folder, target);
            int fd = -1;
            if (in.held()) {
                fd = ::openat(in.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
            } else {
                std::string dir = su::parent_of(target);
                fd = at_open(dir.empty() ? "/" : dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
            }
            if (fd >= 0) {
                m_fd = Fd(fd);
                m_anonymous = true;
                return "";
            }
            if (!is_tmpfile_unsupported(errno)) return fail(target);
            g_tmpfile_supported.store(false, std::memory_order_relaxed);
        }
        int fd = make_beside(target, m_path, [mode](const std::string& p) {
            return at_open(p, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        });
        if (fd < 0) {
            m_path.clear();
            return fail(target);
        }
        m_fd = Fd(fd);
        return "";
    }
    int fd() const { return m_fd.get(); }

    // Puts the file in place under `target`; for a new name EEXIST when the name was taken meanwhile.
    // `status`: the file's status if the caller has it at hand (st_ino 0: not known).
    std::string commit(const std::string& target, const struct stat* status = nullptr) {
        if (m_named) {
            m_named = false;
            struct stat mine {};
            const bool known = status ? status->st_ino != 0 : ::fstat(m_fd.get(), &mine) == 0;
            if (status) mine = *status;
            if (m_fd.close_checked() != 0) {
                std::string msg = fail(target);
                if (known) unlink_named(target, mine);
                return msg;
            }
            return "";
        }
        if (m_anonymous) return commit_anonymous(target);
        if (m_fd.close_checked() != 0) return fail(target);
        int rc = m_place == Placement::Overwrite ? at_rename(m_path, target)
                                                 : rename_exclusive_raw(m_path, target);
        if (rc != 0) return fail(target);
        m_path.clear();
        return "";
    }
    void discard() {
        if (m_named) {
            m_named = false;
            struct stat mine;
            if (::fstat(m_fd.get(), &mine) == 0) unlink_named(*m_target, mine);
        }
        m_fd.reset();
        if (!m_path.empty()) at_unlink(m_path);
        m_path.clear();
    }

private:
    std::string create_named(const std::string& target, mode_t mode) {
        const InFolder in(m_folder, target);
        int fd = in.held() ? ::openat(in.dir, in.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)
                           : at_open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) return fail(target);
        m_fd = Fd(fd);
        m_named = true;
        m_target = &target;
        return "";
    }

    // Removes the unfinished file under its name, but only while the name still holds this file (`mine`,
    // its status): an overwrite decided for a name taken meanwhile may have put another copy there.
    void unlink_named(const std::string& target, const struct stat& mine) {
        const InFolder in(m_folder, target);
        AtPath at(in.held() ? kNoPath : target); // resolves a long path only where no folder is held
        const int dir = in.held() ? in.dir : at.dir();
        const char* name = in.held() ? in.name : at.name();
        struct stat there;
        if ((in.held() || at.ok()) && ::fstatat(dir, name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            there.st_dev == mine.st_dev && there.st_ino == mine.st_ino)
            ::unlinkat(dir, name, 0);
    }
    static inline const std::string kNoPath;

    std::string commit_anonymous(const std::string& target) {
        const InFolder in(m_folder, target);
        int rc = -1;
        if (in.held()) {
            rc = link_descriptor(in.dir, in.name);
        } else {
            AtPath to(target);
            if (!to.ok()) return fail(target);
            rc = link_descriptor(to.dir(), to.name());
        }
        if (rc != 0) return fail(target);
        if (m_fd.close_checked() != 0) {
            std::string msg = fail(target);
            at_unlink(target);
            return msg;
        }
        return "";
    }

    // Links the open file in by its descriptor, which kernels before 6.10 allow only with
    // CAP_DAC_READ_SEARCH (they answer ENOENT), else through its /proc name, which costs a lookup of four
    // more names. Once /proc has worked where the descriptor did not, it is used directly.
    int link_descriptor(int dir, const char* name) {
        const bool by_fd = g_link_by_fd.load(std::memory_order_relaxed);
        if (by_fd && ::linkat(m_fd.get(), "", dir, name, AT_EMPTY_PATH) == 0) return 0;
        if (by_fd && errno != ENOENT) return -1;
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", m_fd.get());
        int rc = ::linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW);
        if (rc == 0 && by_fd) g_link_by_fd.store(false, std::memory_order_relaxed);
        // ENOENT both ways: the folder is gone, or /proc is missing and the descriptor is refused.
        if (rc != 0 && errno == ENOENT && !by_fd) rc = ::linkat(m_fd.get(), "", dir, name, AT_EMPTY_PATH);
        return rc;
    }

    // Set to false for good the first time a file system refuses unnamed files.
    static inline std::atomic<bool> g_tmpfile_supported{true};
    static inline std::atomic<bool> g_link_by_fd{true};
    Fd m_fd;
    std::string m_path;
    Placement m_place = Placement::Overwrite;
    bool m_anonymous = false;
    bool m_named = false; // created under its name, `*m_target`, and removed from there unless committed
    const std::string* m_target = nullptr;
    const FolderHandle* m_folder = nullptr;
};

// What copies between two file systems (source device, target device) have found out, so that what
// cannot work between them is tried once, not for every file: a refused clone fails in no time but
// still costs a call per file, a refused copy_file_range two.
class PairNotes {
public:
    enum : unsigned {
        NoClone = 1,      // FICLONE is refused
        NoKernelCopy = 2, // copy_file_range is refused: reads and writes
        NoReserve = 4,    // the target keeps files in memory: reserving space would write zeros first
        ReserveKnown = 8, // whether to reserve has been found out
    };
    unsigned get(uint64_t src, uint64_t dst) {
        std::lock_guard lk(m_mutex);
        for (const Pair& p : m_pairs)
            if (p.src == src && p.dst == dst) return p.notes;
        return 0;
    }
    void add(uint64_t src, uint64_t dst, unsigned notes) {
        std::lock_guard lk(m_mutex);
        for (Pair& p : m_pairs) {
            if (p.src == src && p.dst == dst) {
                p.notes |= notes;
                return;
            }
        }
        m_pairs.push_back(Pair{src, dst, notes});
    }

private:
    struct Pair {
        uint64_t src;
        uint64_t dst;
        unsigned notes;
    };
    std::mutex m_mutex;
    std::vector<Pair> m_pairs; // a handful: one per pair of file systems copied between
};

PairNotes g_pairs;

// A clone that fails this way fails for every file of the pair.
bool clone_refused_for_good(int err) {
    return err == EOPNOTSUPP || err == EXDEV || err == EINVAL || err == ENOTTY || err == ENOSYS;
}

constexpr int64_t kChunk = 1 << 20;
constexpr int kMaxIdleWrites = 3;
constexpr int64_t kReserveFrom = 1 << 20;

char* fallback_buffer() {
    thread_local std::unique_ptr<char[]> t_buf;
    if (!t_buf) t_buf = std::make_unique<char[]>(kChunk); // value-initialised: zero-filled
    return t_buf.get();
}

struct Region {
    int64_t start;
    int64_t end;
};

// The data extents of the source; one region for the whole file when the file system reports no holes.
// A file with as many blocks as bytes has no holes worth finding, and is not asked (two lseek calls
// saved for every ordinary file).
std::vector<Region> data_regions(int fd, int64_t size, int64_t blocks) {
    std::vector<Region> regions;
    if (size > 0 && blocks * 512 >= size) {
        regions.push_back({0, size});
        return regions;
    }
    int64_t off = 0;
    while (off < size) {
        off_t start = ::lseek(fd, off, SEEK_DATA);
        if (start < 0 || start >= size) break;
        off_t end = ::lseek(fd, start, SEEK_HOLE);
        if (end < 0 || end > size) end = size;
        if (end <= start) break;
        regions.push_back({start, end});
        off = end;
    }
    if (regions.empty() && size > 0) {
        // A file whose SEEK_DATA found nothing is either all hole or on a file system without hole
        // reporting; only the first case answers ENXIO at offset 0.
        errno = 0;
        if (!(::lseek(fd, 0, SEEK_DATA) < 0 && errno == ENXIO)) regions.push_back({0, size});
    }
    return regions;
}

// Errors of a copy call that belong to the target rather than the source.
bool is_target_side_error(int code) {
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS;
}

enum class Step { Ok, Cancelled, Failed };

class Copier {
public:
    Copier(const std::string& from, const std::string& to, int src, int dst, const CopyProgress& progress)
        : m_from(from), m_to(to), m_src(src), m_dst(dst), m_progress(progress) {}

    std::string error;
    // Cleared when copy_file_range cannot work between these two files; the caller notes it for the pair.
    bool kernel_copy = true;

    // Reports bytes to the callback; false when it asks to stop.
    bool report(int64_t bytes) {
        m_reported += bytes;
        return !m_progress || m_progress(bytes);
    }
    int64_t reported() const { return m_reported; }

    // Copies the data of every region. Holes are never read: they count as progress and come back by
    // the final ftruncate. `pos` ends where the data ended; `final_size` becomes the size the copy is to
    // have, less than `size` when the source shrank while being copied.
    Step copy_regions(const std::vector<Region>& regions, int64_t size, int64_t& pos, int64_t& final_size) {
        for (const Region& r : regions) {
            if (r.start > pos && !report(r.start - pos)) return Step::Cancelled;
            pos = r.start;
            while (pos < r.end) {
                int64_t moved = 0;
                Step step = copy_chunk(pos, std::min(r.end - pos, kChunk), moved);
                if (step != Step::Ok) return step;
                if (moved == 0) {
                    // The copy ends where the source's data ended.
                    final_size = pos;
                    return finish(size);
                }
                pos += moved;
                if (!report(moved)) return Step::Cancelled;
            }
        }
        return finish(size);
    }

    // Moves up to `len` bytes at `pos`; `moved` is 0 at the end of the source.
    Step copy_chunk(int64_t pos, int64_t len, int64_t& moved) {
        moved = 0;
        if (kernel_copy) {
            while (true) {
                loff_t in = pos, out = pos;
                ssize_t n = ::copy_file_range(m_src, &in, m_dst, &out, static_cast<size_t>(len), 0);
                if (n > 0) {
                    moved = n;
                    return Step::Ok;
                }
                // 0 is the end of the file, or a file system that cannot copy in the kernel after all:
                // the plain read below tells which.
                if (n == 0) break;
                int err = errno;
                if (err == EINTR) {
                    if (!interrupted_may_go_on()) return Step::Cancelled;
                    continue;
                }
                if (err == EBADF || err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
                    kernel_copy = false;
                    break;
                }
                error = fail_with(is_target_side_error(err) ? m_to : m_from, err);
                return Step::Failed;
            }
        }
        char* buf = fallback_buffer();
        ssize_t got;
        while ((got = ::pread(m_src, buf, static_cast<size_t>(len), pos)) < 0) {
            if (errno != EINTR) {
                error = fail(m_from);
                return Step::Failed;
            }
            if (!interrupted_may_go_on()) return Step::Cancelled;
        }
        ssize_t done = 0;
        int idle_writes = 0;
        while (done < got) {
            ssize_t w = ::pwrite(m_dst, buf + done, static_cast<size_t>(got - done), pos + done);
            if (w < 0 && errno != EINTR) {
                error = fail(m_to);
                return Step::Failed;
            }
            if (w <= 0) {
                if (!interrupted_may_go_on()) return Step::Cancelled;
                // A write that takes nothing and reports no error would be retried for ever.
                if (w == 0 && ++idle_writes >= kMaxIdleWrites) {
                    error = fail_with(m_to, EIO);
                    return Step::Failed;
                }
                continue;
            }
            done += w;
        }
        moved = got;
        return Step::Ok;
    }

private:
    // A trailing hole (or the part of a shrunken file that is gone) completes the count of `size` bytes.
    Step finish(int64_t size) {
        return m_reported < size && !report(size - m_reported) ? Step::Cancelled : Step::Ok;
    }

    // A signal broke a blocking call (the copy engine's cancel or its watchdog): ask before retrying.
    bool interrupted_may_go_on() { return !m_progress || m_progress(0); }

    const std::string& m_from;
    const std::string& m_to;
    int m_src;
    int m_dst;
    const CopyProgress& m_progress;
    int64_t m_reported = 0;
};

std::string cancelled() {
    return fail_text(kCopyCancelled, ECANCELED);
}

// Reserves the blocks that will be written, never the holes. A full target fails here, before any data
// moves; file systems without preallocation just go on.
std::string reserve(int dst, const std::vector<Region>& regions, const std::string& to) {
    for (const Region& r : regions) {
        if (::fallocate(dst, 0, r.start, r.end - r.start) != 0) {
            int err = errno;
            if (err == ENOSPC || err == EDQUOT || err == EFBIG) return fail_with(to, err);
            return "";
        }
    }
    return "";
}

// The permission bits a new copy is created with: the source's, less the set-ID and sticky bits, which
// are set (where they may be) once the data is written.
mode_t creation_mode(const struct stat& st) {
    return st.st_mode & 0777;
}

// `copy`, when given, gets the status of the copy read on the way (st_ino 0 when unknown).
void copy_metadata(int dst, const struct stat& st, struct stat* copy = nullptr) {
    // Best effort, as on file systems without Unix modes or nanosecond times: the data is what counts.
    mode_t mode = st.st_mode & 07777;
    // The copy belongs to whoever copies it: another user's set-user-ID program copied by root must not
    // become a set-user-ID root program (likewise set-group-ID for a group the copy does not have).
    struct stat own;
    const bool known = ::fstat(dst, &own) == 0;
    if (copy) {
        *copy = own;
        if (!known) copy->st_ino = 0;
    }
    if (known) {
        if (own.st_uid != st.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
        if (own.st_gid != st.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    }
    // Most copies already have their bits from creation; the umask, a default ACL of the folder or
    // set-ID bits leave the others to be set here.
    if (!known || (own.st_mode & 07777) != mode) ::fchmod(dst, mode);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(dst, times);
}

uint64_t device_of(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_dev) : 0;
}

// Whether to reserve the blocks of a large copy on this pair's target. A file system that keeps files
// in memory gains nothing from it, and there it writes zeros to every page that the copy then
// overwrites; that is found out once per pair.
bool worth_reserving(int dst, uint64_t src_dev, uint64_t dst_dev, unsigned notes) {
    if (notes & PairNotes::ReserveKnown) return !(notes & PairNotes::NoReserve);
    struct statfs fs;
    const bool memory = ::fstatfs(dst, &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
    g_pairs.add(src_dev, dst_dev, PairNotes::ReserveKnown | (memory ? PairNotes::NoReserve : 0u));
    return !memory;
}

// Opens the source of a copy; "" or the message. `open_text`, when given, replaces the message of a
// failed open (the clone step's own wording). `examine_path`: look at what the path names before
// opening it, so that nothing but a regular file is ever opened; a caller that has just seen a regular
// file there (a folder walk) skips that look, which costs a lookup of the whole path for every file.
std::string open_source(const std::string& from, Fd& src, struct stat& st, const char* not_regular,
                        const char* open_text, bool examine_path = true,
                        const FolderHandle* folder = nullptr) {
    if (examine_path) {
        if (at_stat(from, &st) != 0) return open_text ? fail_text(open_text, errno) : fail(from);
        if (!S_ISREG(st.st_mode)) return fail_text(not_regular, EINVAL);
    }
    // Non-blocking, so that a pipe put in the file's place since it was seen cannot hang the open, and
    // never taking a terminal as the controlling one. The status of what was opened decides.
    src = Fd(open_read_noatime(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, folder));
    if (!src.ok()) return open_text ? fail_text(open_text, errno) : fail(from);
    if (::fstat(src.get(), &st) != 0) return open_text ? fail_text(open_text, errno) : fail(from);
    if (!S_ISREG(st.st_mode)) return fail_text(not_regular, EINVAL);
    // The non-blocking flag stays: reads and copies of a regular file do not heed it, and clearing it
    // would cost two calls for every file.
    return "";
}

} // namespace

FolderHandle::~FolderHandle() {
    release();
}

bool FolderHandle::hold_parent_of(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash + 1 == file.size()) {
        release();
        return false;
    }
    const std::string_view parent(file.data(), slash);
    if (m_fd >= 0 && parent == m_path) return true;
    release();
    m_path.assign(parent);
    m_fd = at_open(m_path.empty() ? "/" : m_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) m_path.clear();
    return m_fd >= 0;
}

void FolderHandle::release() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

int FolderHandle::lookup(const std::string& file, const char*& name) const {
    if (m_fd < 0 || file.size() <= m_path.size() + 1 || file.compare(0, m_path.size(), m_path) != 0 ||
        file[m_path.size()] != '/' || file.find('/', m_path.size() + 1) != std::string::npos)
        return -1;
    name = file.c_str() + m_path.size() + 1;
    return m_fd;
}

int last_error_code() {
    return t_last_error;
}

Stat lstat_path(const std::string& path) {
    struct stat st;
    if (at_lstat(path, &st) != 0) return {};
    return to_stat(st);
}

Stat stat_path(const std::string& path) {
    struct stat st;
    if (at_stat(path, &st) != 0) return {};
    return to_stat(st);
}

bool lstat_raw(const std::string& path, struct stat& out) {
    return at_lstat(path, &out) == 0;
}

std::string make_dir_exclusive(const std::string& path, uint32_t perm) {
    return at_mkdir(path, perm & 0xfff) == 0 ? "" : fail(path);
}

std::string set_mode(const std::string& path, uint32_t mode) {
    AtPath at(path);
    return at.ok() && ::fchmodat(at.dir(), at.name(), mode & 07777, 0) == 0 ? "" : fail(path);
}

std::string set_times(const std::string& path, const timespec& atime, const timespec& mtime) {
    AtPath at(path);
    const timespec times[2] = {atime, mtime};
    return at.ok() && ::utimensat(at.dir(), at.name(), times, AT_SYMLINK_NOFOLLOW) == 0 ? "" : fail(path);
}

bool exists(const std::string& path) {
    struct stat st;
    return at_lstat(path, &st) == 0;
}

std::string make_dir(const std::string& path, uint32_t perm) {
    if (at_mkdir(path, perm & 0xfff) == 0) return "";
    int err = errno;
    struct stat st;
    if (err == EEXIST && at_stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return "";
    return fail_with(path, err);
}

std::string make_dirs(const std::string& path, uint32_t perm) {
    if (path.empty() || path[0] != '/') return fail_text("invalid path: " + path, EINVAL);
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string msg = make_dir(path.substr(0, pos), perm);
        if (!msg.empty()) return msg;
    }
    return make_dir(path, perm);
}

std::string remove_file(const std::string& path) {
    return at_unlink(path) == 0 ? "" : fail(path);
}

std::string remove_dir(const std::string& path) {
    return at_unlink(path, AT_REMOVEDIR) == 0 ? "" : fail(path);
}

std::string remove_recursive(const std::string& path, const std::function<void()>& on_removed) {
    struct stat st;
    if (at_lstat(path, &st) != 0) return fail(path);
    if (!S_ISDIR(st.st_mode)) {
        if (at_unlink(path) != 0) return fail(path);
        if (on_removed) on_removed();
        return "";
    }
    std::vector<std::string> names;
    {
        auto dir = open_dir_nofollow(path);
        if (!dir) return fail(path);
        names = entry_names(dir.get());
    }
    std::string first;
    for (const std::string& name : names) {
        std::string msg = remove_recursive(su::join_path(path, name), on_removed);
        if (first.empty() && !msg.empty()) first = std::move(msg);
    }
    if (at_unlink(path, AT_REMOVEDIR) == 0) {
        if (on_removed) on_removed();
    } else if (first.empty()) {
        first = fail(path);
    }
    return first;
}

std::string rename_path(const std::string& from, const std::string& to) {
    return at_rename(from, to) == 0 ? "" : fail(from);
}

std::string rename_exclusive(const std::string& from, const std::string& to) {
    return rename_exclusive_raw(from, to) == 0 ? "" : fail(from);
}

bool rename_would_cross_device(const std::string& from, const std::string& to) {
    std::string parent = su::parent_of(to);
    if (parent.empty()) parent.assign(1, '/');
    uint64_t a = lstat_path(from).device;
    uint64_t b = stat_path(parent).device;
    return a == 0 || b == 0 || a != b;
}

std::string make_symlink(const std::string& target, const std::string& link_path) {
    return at_symlink(target, link_path) == 0 ? "" : fail(link_path);
}

std::string make_hardlink(const std::string& existing, const std::string& link_path) {
    return at_link(existing, link_path) == 0 ? "" : fail(link_path);
}

std::string read_link(const std::string& path, std::string& target_out) {
    size_t size = 1024;
    while (true) {
        std::string buf(size, '\0');
        AtPath at(path);
        ssize_t n = at.ok() ? ::readlinkat(at.dir(), at.name(), buf.data(), size) : -1;
        if (n < 0) return fail(path);
        if (static_cast<size_t>(n) < size) {
            buf.resize(static_cast<size_t>(n));
            target_out = std::move(buf);
            return "";
        }
        if (size > 0x100000) return fail_text(path + ": symlink target too long", ENAMETOOLONG);
        size *= 2;
    }
}

std::string read_file(const std::string& path, std::string& content_out) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return fail(path);
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(path);
        }
        text.append(buf, static_cast<size_t>(n));
    }
    content_out = std::move(text);
    return "";
}

std::string write_file_replacing(const std::string& path, const std::string& content, bool sync) {
    const std::string tmp = path + ".tmp";
    // A leftover ".tmp" from a crash is simply overwritten: it never held anything the user saved.
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.ok()) return fail(tmp);
    std::string msg;
    size_t off = 0;
    while (off < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + off, content.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            msg = n < 0 ? fail(tmp) : fail_with(tmp, EIO);
            break;
        }
        off += static_cast<size_t>(n);
    }
    if (msg.empty() && sync && ::fsync(fd.get()) != 0) msg = fail(tmp);
    // close() is where network file systems report writes that failed late.
    if (fd.close_checked() != 0 && msg.empty()) msg = fail(tmp);
    if (msg.empty() && ::rename(tmp.c_str(), path.c_str()) != 0) msg = fail(path);
    if (!msg.empty()) ::unlink(tmp.c_str());
    return msg;
}

std::string replace_with_symlink(const std::string& target, const std::string& link_path) {
    std::string temp;
    if (make_beside(link_path, temp, [&](const std::string& p) { return at_symlink(target, p); }) != 0)
        return fail(link_path);
    if (at_rename(temp, link_path) != 0) {
        std::string msg = fail(link_path);
        at_unlink(temp);
        return msg;
    }
    return "";
}

std::string replace_with_hardlink(const std::string& existing, const std::string& link_path) {
    std::string temp;
    if (make_beside(link_path, temp, [&](const std::string& p) { return at_link(existing, p); }) != 0)
        return fail(link_path);
    if (at_rename(temp, link_path) != 0) {
        std::string msg = fail(link_path);
        at_unlink(temp);
        return msg;
    }
    // Renaming onto another name of the same file succeeds without doing anything; the spare name stays.
    at_unlink(temp);
    return "";
}

std::string sync_file_system(const std::string& path) {
    Fd fd(at_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok()) return fail(path);
    return ::syncfs(fd.get()) == 0 ? "" : fail(path);
}

int64_t free_space(const std::string& path) {
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0) return -1;
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

bool disk_space(const std::string& path, int64_t& total_out, int64_t& free_out) {
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0) return false;
    total_out = static_cast<int64_t>(vfs.f_frsize) * static_cast<int64_t>(vfs.f_blocks);
    free_out = static_cast<int64_t>(vfs.f_frsize) * static_cast<int64_t>(vfs.f_bavail);
    return true;
}

namespace {

TreeSize measure_walk(const std::string& path, const std::function<bool()>& keep_going,
                      const std::function<void(int64_t, int64_t, int64_t)>& on_progress) {
    TreeSize result;
    Totals& total = *t_totals;
    struct stat st;
    if (at_lstat(path, &st) != 0) return result;
    if (S_ISLNK(st.st_mode)) {
        result.files = 1;
        total.files += 1;
        return result;
    }
    if (!S_ISDIR(st.st_mode)) {
        result.files = 1;
        result.bytes = st.st_size;
        total.files += 1;
        total.bytes += st.st_size;
        return result;
    }
    result.dirs = 1;
    total.dirs += 1;
    std::vector<std::string> names;
    {
        auto dir = open_dir_nofollow(path);
        if (!dir) {
            result.unreadable = 1;
            return result;
        }
        names = entry_names(dir.get());
    }
    size_t seen = 0;
    for (const std::string& name : names) {
        if (keep_going && !keep_going()) break;
        TreeSize child = measure_walk(su::join_path(path, name), keep_going, on_progress);
        result.bytes += child.bytes;
        result.files += child.files;
        result.dirs += child.dirs;
        result.unreadable += child.unreadable;
        if (on_progress && ++seen % 64 == 0) on_progress(total.bytes, total.files, total.dirs);
    }
    if (on_progress) on_progress(total.bytes, total.files, total.dirs);
    return result;
}

} // namespace

TreeSize measure_tree(const std::string& path, const std::function<bool()>& keep_going,
                      const std::function<void(int64_t, int64_t, int64_t)>& on_progress) {
    if (t_totals) return measure_walk(path, keep_going, on_progress);
    Totals local;
    t_totals = &local;
    struct Reset {
        ~Reset() { t_totals = nullptr; }
    } reset;
    return measure_walk(path, keep_going, on_progress);
}

std::string clone_file(const std::string& from, const std::string& to, Placement place) {
    struct stat st;
    if (at_stat(from, &st) != 0) return fail_text("not a regular file", errno);
    if (!S_ISREG(st.st_mode)) return fail_text("not a regular file", EINVAL);
    Fd src;
    std::string msg = open_source(from, src, st, "not a regular file", "open");
    if (!msg.empty()) return msg;
    PartialFile part;
    if (!part.create(to, place, creation_mode(st)).empty()) return fail_text("open target", t_last_error);
    if (::ioctl(part.fd(), FICLONE, src.get()) != 0) {
        int err = errno;
        return fail_text(errno_text(err), err);
    }
    src.reset();
    copy_metadata(part.fd(), st);
    return part.commit(to);
}

std::string copy_file(const std::string& from, const std::string& to, const CopyProgress& progress,
                      bool* cloned, Placement place, const CopyHints& hints) {
    if (cloned) *cloned = false;
    Fd src;
    struct stat st;
    std::string msg = open_source(from, src, st, "not a regular file (pipe, socket or device)", nullptr,
                                  !hints.source_is_regular, hints.source_folder);
    if (!msg.empty()) return msg;
    if (hints.opened) *hints.opened = st;
    PartialFile part;
    msg = part.create(to, place, creation_mode(st), hints.target_folder, st.st_size < kReserveFrom);
    if (!msg.empty()) return msg;
    const int64_t size = st.st_size;
    const uint64_t src_dev = st.st_dev;
    const uint64_t dst_dev = hints.target_device != 0 ? hints.target_device : device_of(part.fd());
    const unsigned notes = g_pairs.get(src_dev, dst_dev);

    if (!(notes & PairNotes::NoClone)) {
        if (::ioctl(part.fd(), FICLONE, src.get()) == 0) {
            struct stat copied;
            copy_metadata(part.fd(), st, &copied);
            msg = part.commit(to, &copied);
            if (!msg.empty()) return msg;
            if (cloned) *cloned = true;
            if (progress) progress(size);
            return "";
        }
        if (clone_refused_for_good(errno)) g_pairs.add(src_dev, dst_dev, PairNotes::NoClone);
    }

    Copier copier(from, to, src.get(), part.fd(), progress);
    copier.kernel_copy = !(notes & PairNotes::NoKernelCopy);
    if (progress && !progress(0)) return cancelled();
    std::vector<Region> regions = data_regions(src.get(), size, st.st_blocks);
    int64_t data = 0;
    for (const Region& r : regions)
        data += r.end - r.start;
    // Read-ahead matters for much data only; a little is read in one go anyway.
    if (data >= kReserveFrom) ::posix_fadvise(src.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // Little data is not reserved: the calls (one per region of a sparse file) cost more than they save,
    // and such a copy fails soon anyway on a full target.
    const bool reserving = data > kReserveFrom && worth_reserving(part.fd(), src_dev, dst_dev, notes);
    msg = reserving ? reserve(part.fd(), regions, to) : "";
    if (!msg.empty()) return msg;

    int64_t final_size = size;
    int64_t pos = 0;
    const Step step = copier.copy_regions(regions, size, pos, final_size);
    if (!copier.kernel_copy && !(notes & PairNotes::NoKernelCopy))
        g_pairs.add(src_dev, dst_dev, PairNotes::NoKernelCopy);
    if (step == Step::Cancelled) return cancelled();
    if (step == Step::Failed) return copier.error;
    src.reset();

    // The new file already ends where its data ended; only a hole at the end needs the size set.
    if (pos != final_size && ::ftruncate(part.fd(), final_size) != 0) return fail(to);
    struct stat copied;
    copy_metadata(part.fd(), st, &copied);
    return part.commit(to, &copied);
}

namespace {

// The page-cache residency of a file (cachestat, Linux 6.5): read without touching the file's data or
// its access time. The number is the same on every architecture.
struct CacheRange {
    uint64_t off;
    uint64_t len;
};
struct CacheStat {
    uint64_t nr_cache, nr_dirty, nr_writeback, nr_evicted, nr_recently_evicted;
};
constexpr long kCachestat = 451;
std::atomic<bool> g_cachestat_missing{false};

// 1: the first page of `fd` is cached, 0: it is not, -1: cannot tell.
int first_page_cached(int fd, bool noatime) {
    if (!g_cachestat_missing.load(std::memory_order_relaxed)) {
        CacheRange range{0, 1};
        CacheStat cs{};
        if (::syscall(kCachestat, fd, &range, &cs, 0) == 0) return cs.nr_cache > 0 ? 1 : 0;
        if (errno == ENOSYS) g_cachestat_missing.store(true, std::memory_order_relaxed);
    }
    // A read that must not wait for the disk tells as well, but it would move the access time of a file
    // that was not opened with O_NOATIME, and the copy is to carry the time the source has.
    if (!noatime) return -1;
    char byte;
    struct iovec one = {&byte, 1};
    return ::preadv2(fd, &one, 1, 0, RWF_NOWAIT) == 1 ? 1 : 0;
}

} // namespace

bool start_reading(const std::string& path) {
    // O_NONBLOCK: a FIFO that took the file's name meanwhile must not hold the caller.
    bool noatime = true;
    Fd fd(open_read_noatime(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, nullptr,
                            &noatime));
    if (!fd.ok()) return false;
    const int cached = first_page_cached(fd.get(), noatime);
    // Where it cannot be told, the file is taken as cached: asking for every file would cost more.
    if (cached != 0) return true;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
    return false;
}

namespace {

// The class of the block device `dev` from what /sys says of it.
DeviceClass block_device_class(dev_t dev) {
    unsigned maj = major(dev);
    unsigned min = minor(dev);
    if (maj == 0) return DeviceClass::Unknown;
    // The entry is a link to the device's folder, whose name is the last component of the link's text:
    // one readlink instead of a realpath, which reads a link at every level of the path.
    std::string link = "/sys/dev/block/" + std::to_string(maj) + ":" + std::to_string(min);
    std::string target;
    if (!read_link(link, target).empty()) return DeviceClass::Unknown;
    std::string name = su::basename_of(target);
    if (name.empty() || name == "." || name == "..") return DeviceClass::Unknown;
    if (name.rfind("nvme", 0) == 0) return DeviceClass::Nvme;
    // A partition has no queue of its own; its disk's tells whether it spins. Whole devices whose names
    // end in digits (loop0, dm-0, md127, zram0) have their own queue, and stripping the digits would
    // name a disk that does not exist; a partition never has an entry of its own under /sys/block.
    const auto open_queue = [](const std::string& disk) {
        return Fd(::open(("/sys/block/" + disk + "/queue/rotational").c_str(), O_RDONLY | O_CLOEXEC));
    };
    Fd fd = open_queue(name);
    if (!fd.ok()) fd = open_queue(whole_disk_name(name));
    if (!fd.ok()) return DeviceClass::Unknown;
    char buf[64];
    ssize_t n = ::read(fd.get(), buf, 63);
    if (n <= 0) return DeviceClass::Unknown;
    std::string line(buf, static_cast<size_t>(n));
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
    if (line == "1") return DeviceClass::Rotational;
    if (line == "0") return DeviceClass::Ssd;
    return DeviceClass::Unknown;
}

// The block device behind `path` when that can be told from the kernel's caches: every folder along the
// path is cached (RESOLVE_CACHED fails rather than ask a file system) and the status is the one in memory
// (AT_STATX_DONT_SYNC, which the network file systems honour; 9p without a cache may still ask its
// server). A file system on a block device is never a network share nor memory, so such a path needs no
// look at the mount table. False for an anonymous device (network, memory, btrfs, ...), an uncached path
// or an older kernel.
bool cached_block_device(const std::string& path, dev_t& dev) {
    struct open_how how {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_CACHED;
    Fd fd(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
    if (!fd.ok()) return false;
    struct statx sx {};
    if (::statx(fd.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &sx) != 0 ||
        sx.stx_dev_major == 0)
        return false;
    dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    return true;
}

// A path's class with the device behind it (`dev` 0 when the mount table decided or the path is not
// there). `known_dev`, when not 0, is a device already classified as `known`.
DeviceClass classify_path(const std::string& path, dev_t& dev, dev_t known_dev = 0,
                          DeviceClass known = DeviceClass::Unknown) {
    dev = 0;
    // Reading the mount table is the costliest step of a short transfer in a process that has not read it
    // yet (tavrin-copy: a tenth of a millisecond of two); the interface reads it at start for its drive
    // list and always goes by it.
    if (!mounts::table_read() && cached_block_device(path, dev))
        return known_dev != 0 && dev == known_dev ? known : block_device_class(dev);
    // The mount table before the path itself: a network share is recognised without touching it, so
    // that one that hangs cannot hang the caller.
    if (const mounts::Mount* m = mounts::for_path(path)) {
        if (is_network_fs_type(m->fs_type)) return DeviceClass::Network;
        if (m->fs_type == "tmpfs" || m->fs_type == "ramfs") return DeviceClass::Memory;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return DeviceClass::Unknown;
    dev = st.st_dev;
    if (known_dev != 0 && dev == known_dev) return known;
    return block_device_class(dev);
}

} // namespace

DeviceClass classify_device(const std::string& path) {
    dev_t dev;
    return classify_path(path, dev);
}

void classify_devices(const std::string& source, const std::string& target, DeviceClass& source_class,
                      DeviceClass& target_class) {
    dev_t source_dev;
    source_class = classify_path(source, source_dev);
    dev_t target_dev;
    target_class = classify_path(target, target_dev, source_dev, source_class);
}

int cpu_cores() {
    int count = 0;
    cpu_set_t* set = CPU_ALLOC(1024);
    if (set) {
        size_t bytes = CPU_ALLOC_SIZE(1024);
        CPU_ZERO_S(bytes, set);
        if (::sched_getaffinity(0, bytes, set) == 0) count = CPU_COUNT_S(bytes, set);
        CPU_FREE(set);
    }
    if (count <= 0) count = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    return count > 0 ? count : 1;
}

RawListing list_dir_raw(const std::string& path) {
    RawListing out;
    auto dir = open_dir_nofollow(path);
    if (!dir) {
        out.code = errno;
        out.error = fail_with(path, out.code);
        return out;
    }
    const int dfd = dirfd(dir.get());
    struct Name {
        uint64_t ino;
        unsigned char type;
        std::string name;
    };
    std::vector<Name> names;
    // readdir returns null both at the end and on failure; only errno tells them apart.
    for (errno = 0; dirent* d = ::readdir(dir.get()); errno = 0) {
        if (is_dot_name(d->d_name)) continue;
        names.push_back(Name{d->d_ino, d->d_type, d->d_name});
    }
    const int list_error = errno;
    // Entries come in the order of their inode numbers, which on most file systems is the order in which
    // they were written: the status and later the data of the files are then read from the disk front to
    // back rather than in the order of the folder's name hashes, which is random on ext4.
    std::stable_sort(names.begin(), names.end(), [](const Name& a, const Name& b) { return a.ino < b.ino; });
    out.entries.reserve(names.size());
    for (Name& n : names) {
        RawEntry& e = out.entries.emplace_back();
        e.name = std::move(n.name);
        const char* name = e.name.c_str();
        struct stat sb;
        switch (n.type) {
        case DT_FIFO:
        case DT_CHR:
        case DT_BLK:
        case DT_SOCK:
            e.is_special = true;
            break;
        case DT_DIR:
            e.is_dir = true;
            break;
        case DT_LNK:
            e.is_symlink = true;
            break;
        case DT_REG:
            if (fstatat(dfd, name, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
                e.size = sb.st_size;
                e.inode = sb.st_ino;
                e.device = sb.st_dev;
                e.nlink = static_cast<uint32_t>(sb.st_nlink);
            }
            break;
        default:
            // File systems that leave the type open. A regular file gets its identity as above, so that
            // hard links are recognised the same way on every file system.
            if (fstatat(dfd, name, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
                e.size = sb.st_size;
                e.is_dir = S_ISDIR(sb.st_mode);
                e.is_symlink = S_ISLNK(sb.st_mode);
                e.is_special = !e.is_dir && !e.is_symlink && !S_ISREG(sb.st_mode);
                if (S_ISREG(sb.st_mode)) {
                    e.inode = sb.st_ino;
                    e.device = sb.st_dev;
                    e.nlink = static_cast<uint32_t>(sb.st_nlink);
                }
            }
            break;
        }
    }
    if (list_error != 0) {
        out.code = list_error;
        out.error = fail_with(path, list_error);
    }
    return out;
}

} // namespace fsops
