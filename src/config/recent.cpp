#include "config/recent.h"

#include "fs/fs_ops.h"
#include "base/logger.h"
#include "base/paths.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

namespace recent {

namespace {

std::vector<std::string> g_list;
bool g_loaded = false;

bool storable(const std::string& path) {
    return !path.empty() && path[0] == '/' && path.find_first_of("\r\n") == std::string::npos;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string file_path() {
    return config_dir() + "/recent.txt";
}

void load() {
    if (g_loaded) return;
    g_loaded = true;
    std::ifstream in(file_path(), std::ios::binary);
    if (!in) return;
    std::string line;
    while (g_list.size() < kMaxEntries && std::getline(in, line)) {
        if (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        // A relative line (only possible in a hand-edited file) would resolve against whatever the
        // current directory happens to be.
        if (!storable(line)) continue;
        g_list.push_back(line);
    }
}

void save() {
    // Saving a list that was never read would replace the user's file with an empty one.
    load();
    std::string content;
    for (const auto& path : g_list)
        content += path + '\n';

    // Written after every change of folder, so it goes through a temporary file and a rename: a crash
    // mid-write leaves the previous list instead of a truncated one. No fsync; the list is cheap to lose
    // on a power cut and syncing on every folder change would stall navigation on slow disks.
    const std::string path = file_path();
    if (!fsops::write_file_replacing(path, content, false).empty())
        Log::instance().warnf("recent: cannot write %s", path.c_str());
}

void add(const std::string& path) {
    load();
    if (!storable(path)) return;
    if (!g_list.empty() && g_list.front() == path) return;
    const auto it = std::find(g_list.begin(), g_list.end(), path);
    if (it != g_list.end()) {
        std::rotate(g_list.begin(), it, it + 1);
    } else {
        g_list.insert(g_list.begin(), path);
        if (g_list.size() > kMaxEntries) g_list.pop_back();
    }
    save();
}

std::vector<std::string> all() {
    load();
    std::vector<std::string> existing;
    for (const auto& path : g_list) {
        if (is_directory(path)) existing.push_back(path);
    }
    return existing;
}

} // namespace recent
