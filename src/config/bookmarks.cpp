#include "config/bookmarks.h"

#include "fs/fs_ops.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"

#include <fstream>

namespace bookmarks {

namespace {

std::vector<Bookmark> g_list;
bool g_loaded = false;

bool has_line_break(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

// The name is only shown, so characters that would break the line format become spaces.
std::string name_for(const std::string& path) {
    std::string name = su::basename_of(path);
    if (name.empty() || name == "/") name = path;
    for (char& ch : name) {
        if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
    }
    return name;
}

} // namespace

std::string file_path() {
    return config_dir() + "/bookmarks.txt";
}

void load() {
    if (g_loaded) return;
    g_loaded = true;
    const std::string path = file_path();
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        Bookmark bookmark{line.substr(0, tab), line.substr(tab + 1)};
        if (bookmark.path.empty() || bookmark.path[0] != '/') continue;
        g_list.push_back(std::move(bookmark));
    }
    Log::instance().infof("bookmarks: %zu loaded from %s", g_list.size(), path.c_str());
}

void save() {
    // Saving a list that was never read would replace the user's file with an empty one.
    load();
    std::string content;
    for (const auto& bookmark : g_list)
        content += bookmark.name + '\t' + bookmark.path + '\n';
    // The file is either the old list or the new one. Bookmarks change rarely and are precious, so the
    // data is synced before the rename. A failure keeps the list in memory for this run; the log says why
    // it will be gone after the next start.
    if (const std::string error = fsops::write_file_replacing(file_path(), content, true); !error.empty())
        Log::instance().warnf("bookmarks: not saved: %s", error.c_str());
}

const std::vector<Bookmark>& all() {
    load();
    return g_list;
}

bool contains(const std::string& path) {
    load();
    for (const auto& bookmark : g_list) {
        if (bookmark.path == path) return true;
    }
    return false;
}

bool add(const std::string& path) {
    load();
    if (path.empty() || path[0] != '/' || has_line_break(path) || contains(path)) return false;
    g_list.push_back({name_for(path), path});
    save();
    Log::instance().infof("bookmark added: %s", path.c_str());
    return true;
}

bool remove(const std::string& path) {
    load();
    for (auto it = g_list.begin(); it != g_list.end(); ++it) {
        if (it->path != path) continue;
        g_list.erase(it);
        save();
        Log::instance().infof("bookmark removed: %s", path.c_str());
        return true;
    }
    return false;
}

} // namespace bookmarks
