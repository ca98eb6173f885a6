#pragma once

#include <string>
#include <vector>

// The user's bookmarked folders, kept in "bookmarks.txt" in the configuration directory (one
// "name<TAB>path" line each). Loaded once on first use and rewritten whole after every change.
// UI thread only.
namespace bookmarks {

struct Bookmark {
    // Shown in menus: the folder's own name.
    std::string name;
    // Absolute folder path.
    std::string path;
};

// config_dir() + "/bookmarks.txt"
std::string file_path();

// Reads the file on the first call; later calls return at once.
void load();
// Rewrites the file from the list (temporary file, then rename); failures are silent.
void save();

// The list in the user's order.
const std::vector<Bookmark>& all();
// Exact path comparison.
bool contains(const std::string& path);
// Appends a bookmark for an absolute folder path. False when the path is empty, relative, already
// bookmarked, or holds a line break (the file keeps one bookmark per line).
bool add(const std::string& path);
// Removes the first bookmark with this path; false when there is none.
bool remove(const std::string& path);

} // namespace bookmarks
