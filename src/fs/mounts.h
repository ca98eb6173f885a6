#pragma once

#include <string>
#include <string_view>
#include <vector>

// The process's mount table, read once from /proc/self/mountinfo and kept for the life of the process.
namespace mounts {

struct Mount {
    std::string point;   // mount point, octal escapes decoded
    std::string fs_type; // as the kernel names it (ext4, vfat, fuse.sshfs, ...)
    std::string source;  // device path or server share, escapes decoded
    bool read_only = false;

    bool operator==(const Mount&) const = default;
};

// The table of this process, read on the first call; empty when the kernel file cannot be read.
const std::vector<Mount>& all();
// Whether all() has read the table already (a look at it is then free).
bool table_read();

// Parses mountinfo text (the whole file or a few lines); malformed lines are skipped.
std::vector<Mount> parse_mountinfo(std::string_view text);

// Replaces each backslash followed by three octal digits (a byte value) with that byte.
std::string unescape(std::string_view text);

// The mount holding `path` by mount point alone: the longest point that is "/" or that `path` is under;
// of equal points the later one (the top of a stack). Null when `table` has none.
const Mount* lookup(const std::vector<Mount>& table, const std::string& path);

// The mount holding `path`, seen through the snap host file system view where that gives a real mount
// rather than the sandbox root. Points into `table` (or into all()), or null.
const Mount* for_path(const std::vector<Mount>& table, const std::string& path);
const Mount* for_path(const std::string& path);

bool is_pseudo_fs(std::string_view type);
bool is_risky_fs(std::string_view type); // network or user-space file systems
bool is_image_fs(std::string_view type);

// The mounts worth offering as places: no pseudo, runtime, system, snap or duplicate mounts.
std::vector<Mount> scannable_roots(const std::vector<Mount>& table);
std::vector<Mount> scannable_roots();

} // namespace mounts
