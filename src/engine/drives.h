#pragma once

#include "fs/mounts.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The places of the drive bar: home, the standard user folders, mounted disks, removable media, network
// shares and the system root. A background thread refreshes the list (free space can take long on a
// network mount); the drawing code reads a copy without waiting.
namespace drives {

// Also the order of the bar.
enum class Kind : int32_t { Home = 0, Bookmark = 1, Local = 2, Removable = 3, Network = 4, Root = 5 };

struct Drive {
    std::string path;    // the folder the entry opens
    std::string label;   // the text shown
    std::string fs_type; // empty for home and the user folders, "gvfs" for desktop network shares
    Kind kind = Kind::Local;
    int64_t total_bytes = -1; // -1: not measured (yet)
    int64_t free_bytes = -1;
    bool read_only = false;

    bool operator==(const Drive&) const = default;
};

// Starts the first background refresh.
void init();
// Starts a background refresh unless one is running; returns whether one was already running.
bool refresh();
// A copy of the current list; when it is still empty, a list without free-space figures is built first.
std::vector<Drive> list();
// The label of the entry whose path is the longest one equal to or above `path`; empty when none. Valid
// until the next call; UI thread only.
const std::string& label_for_path(const std::string& path);
// Waits up to max_ms milliseconds for a running refresh; returns whether none is running any more.
bool shutdown_wait(int max_ms);

// What a list is built from; the real sources are the home directory, GLib's user folders, the mount
// table and the desktop's gvfs folder.
struct Sources {
    std::string home;
    std::vector<std::pair<std::string, std::string>> user_folders; // (path, label), in bar order
    std::vector<mounts::Mount> roots;                              // scannable mounts, table order
    std::string gvfs_dir;
};
Sources system_sources();
// The ordered list without free-space figures.
std::vector<Drive> build(const Sources& sources);
bool is_network_fs(const std::string& type);

// Refresh threads started since the process began (one per refresh that was not already running).
int refreshes_started();

} // namespace drives
