#pragma once

#include <string>
#include <vector>

// The most recently visited folders, most recent first, at most 10, kept in "recent.txt" in the
// configuration directory (one path per line). Loaded once on first use; UI thread only.
namespace recent {

inline constexpr size_t kMaxEntries = 10;

// config_dir() + "/recent.txt"
std::string file_path();

// Reads the file on the first call; later calls return at once.
void load();
// Rewrites the file (temporary file, then rename); logs a warning when it cannot be written.
void save();
// Moves an absolute folder path to the front of the list and saves. A path that is already first changes
// nothing; empty or relative paths, and paths with line breaks (which the file cannot hold), are ignored.
void add(const std::string& path);
// The entries, in order, that still exist as folders. Vanished ones stay in the file until pushed out.
std::vector<std::string> all();

} // namespace recent
