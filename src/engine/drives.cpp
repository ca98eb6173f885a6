#include "engine/drives.h"

#include "fs/fs_ops.h"
#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace drives {

namespace {

struct UserFolder {
    GUserDirectory dir;
    const char* key;
};

constexpr UserFolder kUserFolders[] = {
    {G_USER_DIRECTORY_DESKTOP, "drive.desktop"},     {G_USER_DIRECTORY_DOWNLOAD, "drive.downloads"},
    {G_USER_DIRECTORY_DOCUMENTS, "drive.documents"}, {G_USER_DIRECTORY_PICTURES, "drive.pictures"},
    {G_USER_DIRECTORY_MUSIC, "drive.music"},         {G_USER_DIRECTORY_VIDEOS, "drive.videos"},
};

const std::unordered_set<std::string>& network_types() {
    static const std::unordered_set<std::string> set = {
        "nfs",        "nfs4",     "cifs",      "smb3",        "smbfs",
        "afs",        "ncpfs",    "9p",        "fuse.sshfs",  "fuse.gvfsd-fuse",
        "fuse.davfs", "davfs",    "fuse.s3fs", "fuse.rclone", "fuse.curlftpfs",
        "ceph",       "glusterfs"};
    return set;
}

constexpr size_t kSourceLabelMax = 48;
constexpr size_t kSourceLabelCut = 45;

// Never destroyed: on quitting, a refresh stuck on a dead network mount may finish after exit() has
// begun, and must then still find its list and mutex alive.
struct State {
    std::mutex mutex;
    std::vector<Drive> drives;
    std::string label;
    std::atomic<bool> refreshing{false};
    std::atomic<int> started{0};
};

State& state() {
    static State& s = *new State;
    return s;
}

bool is_removable_point(const std::string& point) {
    return su::starts_with(point, "/media/") || su::starts_with(point, "/mnt/") ||
           su::starts_with(point, "/run/media/");
}

std::string folder_label(const std::string& point) {
    std::string base = su::basename_of(point);
    return base.empty() ? point : base;
}

Drive drive_for_mount(const mounts::Mount& m) {
    Drive d;
    d.path = m.point;
    d.fs_type = m.fs_type;
    d.read_only = m.read_only;
    if (m.point == "/") {
        d.kind = Kind::Root;
        d.label = std::string(tr("drive.system")) + " (/)";
    } else if (is_network_fs(m.fs_type)) {
        d.kind = Kind::Network;
        if (m.source.empty()) {
            d.label = folder_label(m.point);
        } else if (m.source.size() > kSourceLabelMax) {
            // Cut on a character boundary: half a character would draw as garbage.
            d.label = su::sanitize_utf8(su::truncate_utf8(m.source, kSourceLabelCut)) + "\u2026";
        } else {
            d.label = su::sanitize_utf8(m.source);
        }
    } else {
        d.kind = is_removable_point(m.point) ? Kind::Removable : Kind::Local;
        d.label = folder_label(m.point);
    }
    return d;
}

// gvfs names its mounts "<scheme>-share:<key>=<value>,<key>=<value>"; the settings read best.
std::string gvfs_label(const std::string& name) {
    size_t colon = name.find(':');
    std::string label = colon == std::string::npos ? name : name.substr(colon + 1);
    std::replace(label.begin(), label.end(), ',', ' ');
    return su::sanitize_utf8(label);
}

void measure(std::vector<Drive>& list) {
    for (Drive& d : list) {
        int64_t total = 0, free = 0;
        if (fsops::disk_space(d.path, total, free)) {
            d.total_bytes = total;
            d.free_bytes = free;
        }
    }
}

void refresh_thread() {
    Log::name_this_thread("drives");
    State& s = state();
    std::vector<Drive> fresh = build(system_sources());
    measure(fresh);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.drives.swap(fresh);
    }
    s.refreshing.store(false);
    // The old list is freed here, outside the lock.
}

} // namespace

bool is_network_fs(const std::string& type) {
    return network_types().count(type) > 0 || su::starts_with(type, "fuse.gvfs");
}

Sources system_sources() {
    Sources src;
    src.home = real_home();
    {
        // GLib loads these folders once, on the first call from whichever thread, and guards that with a
        // lock of its own that the thread checker cannot see; reading its strings under ours as well
        // orders the refresh thread and the interface thread for it.
        static std::mutex special_dirs;
        std::lock_guard<std::mutex> lock(special_dirs);
        for (const UserFolder& f : kUserFolders) {
            const char* dir = g_get_user_special_dir(f.dir);
            if (dir && *dir) src.user_folders.emplace_back(dir, tr(f.key));
        }
    }
    src.roots = mounts::scannable_roots();
    src.gvfs_dir = "/run/user/" + std::to_string(getuid()) + "/gvfs";
    return src;
}

std::vector<Drive> build(const Sources& src) {
    std::vector<Drive> list;
    std::unordered_set<std::string> paths;
    auto add_unique = [&](Drive d) {
        if (paths.insert(d.path).second) list.push_back(std::move(d));
    };

    if (!src.home.empty()) {
        Drive home;
        home.path = src.home;
        home.label = tr("drive.home");
        home.kind = Kind::Home;
        add_unique(std::move(home));
    }
    for (const auto& [path, label] : src.user_folders) {
        if (path.empty() || path == src.home || !fsops::exists(path)) continue;
        Drive d;
        d.path = path;
        d.label = label;
        d.kind = Kind::Bookmark;
        add_unique(std::move(d));
    }
    for (const mounts::Mount& m : src.roots)
        add_unique(drive_for_mount(m));
    if (!src.gvfs_dir.empty()) {
        for (const fsops::RawEntry& e : fsops::list_dir_raw(src.gvfs_dir).entries) {
            Drive d;
            d.path = su::join_path(src.gvfs_dir, e.name);
            d.label = gvfs_label(e.name);
            d.fs_type = "gvfs";
            d.kind = Kind::Network;
            add_unique(std::move(d));
        }
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const Drive& a, const Drive& b) { return a.kind < b.kind; });
    return list;
}

void init() {
    refresh();
}

bool refresh() {
    State& s = state();
    bool expected = false;
    if (!s.refreshing.compare_exchange_strong(expected, true)) return true;
    try {
        std::thread(refresh_thread).detach();
        s.started.fetch_add(1);
    } catch (const std::system_error&) {
        // No thread to be had: the bar keeps its list and a later refresh may try again.
        s.refreshing.store(false);
    }
    return false;
}

std::vector<Drive> list() {
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.drives.empty()) return s.drives;
    }
    // Built outside the lock; a refresh that finished meanwhile has the better list and wins.
    std::vector<Drive> skeleton = build(system_sources());
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.drives.empty()) s.drives = std::move(skeleton);
    return s.drives;
}

const std::string& label_for_path(const std::string& path) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Drive* best = nullptr;
    for (const Drive& d : s.drives) {
        bool under = path == d.path || (su::starts_with(path, d.path) && path.size() > d.path.size() &&
                                        path[d.path.size()] == '/');
        if (under && (!best || d.path.size() > best->path.size())) best = &d;
    }
    s.label = best ? best->label : std::string();
    return s.label;
}

bool shutdown_wait(int max_ms) {
    State& s = state();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(max_ms, 0));
    while (s.refreshing.load()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int refreshes_started() {
    return state().started.load();
}

} // namespace drives
