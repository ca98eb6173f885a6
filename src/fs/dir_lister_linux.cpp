#include "fs/dir_lister.h"
#include "base/strutil.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

inline bool is_dot_or_dotdot(const char* n) {
    return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

// Names are nearly always plain ASCII; only the rest goes through the UTF-8 repair.
std::string drawable_name(const char* raw, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (static_cast<unsigned char>(raw[i]) >= 0x80) return su::sanitize_utf8(std::string_view(raw, len));
    return std::string(raw, len);
}

// Id-to-name maps shared by every read. A mutex rather than thread confinement: an uncontended lock costs
// nothing next to a status call, and it keeps a future caller on another thread from corrupting the maps.
class NameCache {
public:
    using Lookup = std::string (*)(uint32_t);
    explicit NameCache(Lookup lookup) : m_lookup(lookup) {}

    std::string get(uint32_t id) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_names.find(id);
            if (it != m_names.end()) return it->second;
        }
        // Resolved outside the lock: an account look-up may go to the network.
        std::string name = m_lookup(id);
        if (name.empty()) name = std::to_string(id);
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names.emplace(id, std::move(name)).first->second;
    }

private:
    Lookup m_lookup;
    std::mutex m_mutex;
    std::unordered_map<uint32_t, std::string> m_names;
};

// Reentrant look-ups: getpwuid's shared static record would race with any other thread that asks.
std::string lookup_user(uint32_t uid) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        passwd rec;
        passwd* found = nullptr;
        int rc = getpwuid_r(uid, &rec, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->pw_name) return {};
        return found->pw_name;
    }
}

std::string lookup_group(uint32_t gid) {
    long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        group rec;
        group* found = nullptr;
        int rc = getgrgid_r(gid, &rec, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->gr_name) return {};
        return found->gr_name;
    }
}

NameCache& user_cache() {
    static NameCache cache(lookup_user);
    return cache;
}

NameCache& group_cache() {
    static NameCache cache(lookup_group);
    return cache;
}

// A folder is usually owned by one account, so most rows reuse the previous row's name without touching
// the shared map.
class NameMemo {
public:
    explicit NameMemo(NameCache& cache) : m_cache(cache) {}
    const std::string& get(uint32_t id) {
        if (!m_valid || id != m_id) {
            m_name = m_cache.get(id);
            m_id = id;
            m_valid = true;
        }
        return m_name;
    }

private:
    NameCache& m_cache;
    uint32_t m_id = 0;
    bool m_valid = false;
    std::string m_name;
};

// Status fields of one entry, from statx or, where that call is missing, from fstatat.
struct Status {
    uint32_t mode = 0, uid = 0, gid = 0;
    int64_t size = 0, mtime = 0, ctime = 0, btime = 0;
};

// Set once statx turns out not to exist (old kernels, some sandboxes), so that a large folder does not pay
// for a failing call on every row.
std::atomic<bool> g_no_statx{false};

bool read_status(int dfd, const char* name, Status& st) {
    if (!g_no_statx.load(std::memory_order_relaxed)) {
        struct statx sx;
        // No automount: listing a folder must not mount (or hang on) every automount point in it.
        constexpr unsigned kMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_SIZE |
                                   STATX_MTIME | STATX_CTIME | STATX_BTIME;
        if (statx(dfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kMask, &sx) == 0) {
            st.mode = sx.stx_mode;
            st.uid = sx.stx_uid;
            st.gid = sx.stx_gid;
            st.size = static_cast<int64_t>(sx.stx_size);
            st.mtime = sx.stx_mtime.tv_sec;
            st.ctime = sx.stx_ctime.tv_sec;
            st.btime = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : 0;
            return true;
        }
        if (errno == ENOSYS) g_no_statx.store(true, std::memory_order_relaxed);
    }
    struct stat sb;
    if (fstatat(dfd, name, &sb, AT_SYMLINK_NOFOLLOW) != 0) return false;
    st.mode = sb.st_mode;
    st.uid = sb.st_uid;
    st.gid = sb.st_gid;
    st.size = sb.st_size;
    st.mtime = sb.st_mtim.tv_sec;
    st.ctime = sb.st_ctim.tv_sec;
    st.btime = 0;
    return true;
}

// readdir returns null both at the end and on failure; only errno tells them apart.
inline dirent* next_entry(DIR* dir) {
    errno = 0;
    return readdir(dir);
}

} // namespace

namespace dir_lister {

std::string user_name(uint32_t uid) {
    return user_cache().get(uid);
}
std::string group_name(uint32_t gid) {
    return group_cache().get(gid);
}

Listing read(const std::string& path, bool show_hidden) {
    Listing out;
    out.path = path;
    DirPtr dir(opendir(path.c_str()));
    if (!dir) {
        const int err = errno;
        out.error = strerror(err);
        out.error_code = err;
        return out;
    }
    if (path != "/") {
        FsEntry& parent = out.entries.emplace_back();
        parent.name = "..";
        parent.kind = FsEntry::Kind::Parent;
    }

    const int dfd = dirfd(dir.get());
    NameMemo owners(user_cache());
    NameMemo groups(group_cache());
    char link_buf[4096];

    while (dirent* d = next_entry(dir.get())) {
        const char* raw = d->d_name;
        if (is_dot_or_dotdot(raw)) continue;
        const bool hidden = raw[0] == '.';
        if (hidden && !show_hidden) continue;

        FsEntry& e = out.entries.emplace_back();
        const size_t raw_len = strlen(raw);
        e.name = drawable_name(raw, raw_len);
        if (e.name.size() != raw_len || memcmp(e.name.data(), raw, raw_len) != 0)
            e.raw_name.assign(raw, raw_len);
        e.hidden = hidden;

        Status st;
        // The raw name, relative to the open folder: reaches the real file whatever the sanitising did,
        // and spares resolving the whole path once per row.
        if (!read_status(dfd, raw, st)) {
            e.kind = FsEntry::Kind::Special;
            e.size = -1;
            continue;
        }
        e.mtime = st.mtime;
        e.ctime = st.ctime;
        e.btime = st.btime;
        e.perm = st.mode & 0xfff;
        e.owner = owners.get(st.uid);
        e.group = groups.get(st.gid);

        switch (st.mode & S_IFMT) {
        case S_IFLNK: {
            ssize_t n = readlinkat(dfd, raw, link_buf, sizeof link_buf - 1);
            if (n > 0) e.link_target = su::sanitize_utf8(std::string_view(link_buf, static_cast<size_t>(n)));
            struct stat target;
            if (fstatat(dfd, raw, &target, 0) != 0) {
                e.kind = FsEntry::Kind::BrokenSymlink;
                e.size = st.size;
            } else if (S_ISDIR(target.st_mode)) {
                e.kind = FsEntry::Kind::SymlinkDir;
                e.size = -1;
            } else {
                e.kind = FsEntry::Kind::Symlink;
                e.size = st.size;
            }
            break;
        }
        case S_IFDIR:
            e.kind = FsEntry::Kind::Dir;
            e.size = -1;
            ++out.dir_count;
            break;
        case S_IFREG:
            e.kind = FsEntry::Kind::File;
            e.size = st.size;
            ++out.file_count;
            out.total_bytes += st.size;
            break;
        default:
            e.kind = FsEntry::Kind::Special;
            e.size = 0;
            break;
        }
    }
    if (errno != 0) {
        const int err = errno;
        out.error = strerror(err);
        out.error_code = err;
    }
    return out;
}

} // namespace dir_lister
