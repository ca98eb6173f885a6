#include "fs/mounts.h"

#include "base/paths.h"
#include "fs/fs_ops.h"

#include <array>
#include <atomic>
#include <unordered_set>

namespace mounts {

namespace {

constexpr std::array<std::string_view, 8> kNoise = {"/run",  "/usr", "/etc",  "/dev",
                                                    "/proc", "/sys", "/boot", "/var"};

using TypeSet = std::unordered_set<std::string_view>;

const TypeSet& pseudo_types() {
    static const TypeSet set = {"proc",       "sysfs",     "devtmpfs",  "devpts",   "cgroup",      "cgroup2",
                                "pstore",     "bpf",       "tracefs",   "debugfs",  "securityfs",  "configfs",
                                "fusectl",    "hugetlbfs", "mqueue",    "efivarfs", "binfmt_misc", "autofs",
                                "rpc_pipefs", "nsfs",      "selinuxfs", "ramfs",    "swap"};
    return set;
}

const TypeSet& risky_types() {
    static const TypeSet set = {"nfs",       "nfs4", "cifs",  "smb3",  "smbfs", "afs",      "ceph",
                                "glusterfs", "9p",   "sshfs", "davfs", "ftpfs", "curlftpfs"};
    return set;
}

const TypeSet& image_types() {
    static const TypeSet set = {"squashfs", "erofs", "iso9660"};
    return set;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// True when `path` equals `dir` or lies below it; "/home2" is not under "/home".
bool is_under(std::string_view path, std::string_view dir) {
    if (dir == "/") return starts_with(path, "/");
    if (!starts_with(path, dir)) return false;
    return path.size() == dir.size() || path[dir.size()] == '/';
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool parse_line(std::string_view line, Mount& out) {
    std::vector<std::string_view> words = split_words(line);
    size_t sep = 0;
    while (sep < words.size() && words[sep] != "-")
        ++sep;
    if (sep == words.size() || sep < 6 || words.size() - sep - 1 < 2) return false;
    out.point = unescape(words[4]);
    out.fs_type = std::string(words[sep + 1]);
    out.source = unescape(words[sep + 2]);
    // Only the per-mount flags count: a bind mount made read-only keeps "rw" super-block options.
    out.read_only = words[5] == "ro" || starts_with(words[5], "ro,");
    return true;
}

// Read with plain calls: a stream would set up its locale first, which costs a one-file transfer of
// tavrin-copy more than reading the table itself.
std::vector<Mount> read_mountinfo() {
    std::string text;
    if (!fsops::read_file("/proc/self/mountinfo", text).empty()) return {};
    return parse_mountinfo(text);
}

} // namespace

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // The kernel writes \ooo for bytes only, so a value above \377 is not an escape.
        if (text[i] == '\\' && i + 3 < text.size() && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
            is_octal(text[i + 3]) && text[i + 1] <= '3') {
            out.push_back(
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<Mount> parse_mountinfo(std::string_view text) {
    std::vector<Mount> table;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        Mount m;
        if (parse_line(text.substr(pos, end - pos), m)) table.push_back(std::move(m));
        pos = end + 1;
    }
    return table;
}

namespace {
std::atomic<bool> g_table_read{false};
} // namespace

const std::vector<Mount>& all() {
    static const std::vector<Mount> table = [] {
        std::vector<Mount> t = read_mountinfo();
        g_table_read = true;
        return t;
    }();
    return table;
}

bool table_read() {
    return g_table_read.load();
}

const Mount* lookup(const std::vector<Mount>& table, const std::string& path) {
    const Mount* best = nullptr;
    for (const Mount& m : table) {
        if (m.point != "/" && !is_under(path, m.point)) continue;
        // ">=" so that the later of two mounts on one point (the visible one) wins.
        if (!best || m.point.size() >= best->point.size()) best = &m;
    }
    return best;
}

const Mount* for_path(const std::vector<Mount>& table, const std::string& path) {
    const Mount* direct = lookup(table, path);
    if (direct && to_display_path(direct->point) != "/") return direct;
    // Inside a snap the sandbox root hides the host's mounts; look again through the host view.
    for (const std::string& alt : {to_scan_path(path), to_display_path(path)}) {
        if (alt == path) continue;
        const Mount* m = lookup(table, alt);
        if (m && to_display_path(m->point) != "/") return m;
    }
    return direct;
}

const Mount* for_path(const std::string& path) {
    return for_path(all(), path);
}

bool is_pseudo_fs(std::string_view type) {
    return pseudo_types().count(type) > 0;
}

bool is_risky_fs(std::string_view type) {
    return risky_types().count(type) > 0 || starts_with(type, "fuse");
}

bool is_image_fs(std::string_view type) {
    return image_types().count(type) > 0;
}

std::vector<Mount> scannable_roots(const std::vector<Mount>& table) {
    std::vector<Mount> kept;
    std::unordered_set<std::string> seen_points;
    std::unordered_set<std::string> kept_sources;
    for (const Mount& m : table) {
        if (is_pseudo_fs(m.fs_type) || m.fs_type == "tmpfs") continue;
        if (is_under(m.point, "/snap")) continue;
        if (m.fs_type == "squashfs") continue;
        if (is_under(m.point, "/var/lib/snapd") || is_under(m.point, "/var/snap")) continue;
        bool noise = false;
        for (std::string_view prefix : kNoise)
            noise = noise || is_under(m.point, prefix);
        if (noise && !is_under(m.point, "/run/media")) continue;
        // The first mount on a point claims it even when the device rule below then drops it.
        if (!seen_points.insert(m.point).second) continue;
        if (starts_with(m.source, "/dev/") && !kept_sources.insert(m.source).second) continue;
        kept.push_back(m);
    }
    return kept;
}

std::vector<Mount> scannable_roots() {
    return scannable_roots(all());
}

} // namespace mounts
