#pragma once

#include "base/value_types.h"
#include "fs/fs_entry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dir_lister {

// The result of reading one folder.
struct Listing {
    std::string path;             // as the caller gave it
    std::vector<FsEntry> entries; // ".." first (except for "/"), then directory-stream order
    std::string error;            // strerror text of the failure; empty on success
    int error_code = 0;           // errno of the failure; 0 on success
    int64_t total_bytes = 0;      // regular files only
    int file_count = 0;           // regular files
    int dir_count = 0;            // real folders (not links to folders)
};

// Reads a folder in full. Failures never throw: opening the folder fails with no entries at all; a failure
// of the directory stream part-way keeps the entries read so far and sets error and error_code too, so that
// a partial list is never taken for the whole folder.
Listing read(const std::string& path, bool show_hidden);

// Ten-character mode text such as "drwxr-xr-x"; empty for the parent row.
std::string permission_string(const FsEntry& entry);

// Stable sort by the order's key and direction; ".." stays on top, and with dirs_first folders (and links
// to folders) come before everything else in both directions.
void sort(std::vector<FsEntry>& entries, const SortOrder& order);

// Natural name order: digit runs compare by value (file2 < file10), letters without regard to ASCII case.
// Names equal under these rules are ordered by leading zeros (7 < 07 < 007) and then byte-wise (A < a), so
// only identical names compare 0. Returns <0, 0 or >0.
int natural_compare(std::string_view a, std::string_view b);

// Account names for ids, resolved once per id for the life of the process (the id in decimal when the
// account has no name). Safe to call from any thread.
std::string user_name(uint32_t uid);
std::string group_name(uint32_t gid);

} // namespace dir_lister
