#include "base/paths.h"

#include "base/strutil.h"
#include "base/version.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kHostfs = "/var/lib/snapd/hostfs";
constexpr const char* kFlatpakInfo = "/.flatpak-info";
constexpr const char* kSelfExe = "/proc/self/exe";
constexpr const char* kMedia[] = {"/media/", "/mnt/", "/run/media/"};
constexpr const char* kMediaBare[] = {"/media", "/mnt", "/run/media"};
constexpr const char* kProductName = version::kProduct;

// The reentrant look-ups: these functions may run on any thread, and getpwuid's static buffer is shared.
struct PasswdRecord {
    bool found = false;
    std::string name;
    std::string dir;
};

template <typename Lookup> PasswdRecord lookup_passwd(Lookup&& lookup) {
    PasswdRecord rec;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (;;) {
        struct passwd pw {};
        struct passwd* result = nullptr;
        int rc = lookup(&pw, buf.data(), buf.size(), &result);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc == 0 && result) {
            rec.found = true;
            rec.name = result->pw_name ? result->pw_name : "";
            rec.dir = result->pw_dir ? result->pw_dir : "";
        }
        return rec;
    }
}

PasswdRecord passwd_by_uid(uid_t uid) {
    return lookup_passwd([uid](struct passwd* pw, char* buf, size_t len, struct passwd** out) {
        return getpwuid_r(uid, pw, buf, len, out);
    });
}

// A plain decimal user id; rejects signs, blanks, trailing text and values that do not fit uid_t.
bool parse_uid(const char* text, uid_t* out) {
    if (!text || !*text) return false;
    unsigned long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > static_cast<uid_t>(-1)) return false;
    }
    // (uid_t)-1 means "no user" to the system calls.
    if (value == static_cast<uid_t>(-1)) return false;
    *out = static_cast<uid_t>(value);
    return true;
}

bool can_open_dir(const char* path) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path), closedir);
    return dir != nullptr;
}

bool reachable_directly(const std::string& path) {
    std::string home = real_home();
    if (!home.empty() && (path == home || su::starts_with(path, home + "/"))) return true;
    for (const char* prefix : kMedia)
        if (su::starts_with(path, prefix)) return true;
    for (const char* bare : kMediaBare)
        if (path == bare) return true;
    return false;
}

bool under_hostfs(const std::string& path) {
    return path == kHostfs || su::starts_with(path, std::string(kHostfs) + "/");
}

} // namespace

const char* env_or_null(const char* name) {
    const char* value = getenv(name);
    return value && *value ? value : nullptr;
}

std::string real_home() {
    if (const char* snap_home = env_or_null("SNAP_REAL_HOME")) return snap_home;
    if (const char* home = env_or_null("HOME")) return home;
    PasswdRecord rec = passwd_by_uid(getuid());
    return rec.found ? rec.dir : std::string();
}

std::string invoking_user() {
    if (const char* sudo_user = env_or_null("SUDO_USER")) return sudo_user;
    uid_t uid = 0;
    if (parse_uid(env_or_null("PKEXEC_UID"), &uid)) {
        PasswdRecord rec = passwd_by_uid(uid);
        if (rec.found) return rec.name;
    }
    return "";
}

std::string config_dir() {
    std::string base;
    if (running_as_root() && !invoking_user().empty()) {
        // Started through sudo or pkexec: keep root's settings apart from the invoking user's, whatever
        // HOME still says.
        PasswdRecord root = passwd_by_uid(0);
        if (root.found && su::starts_with(root.dir, "/")) base = root.dir + "/.config";
    }
    if (base.empty()) {
        if (const char* xdg = env_or_null("XDG_CONFIG_HOME"))
            base = xdg;
        else if (const char* home = env_or_null("HOME"))
            base = std::string(home) + "/.config";
    }
    if (base.empty()) return ".";
    std::string dir = base + "/" + kProductName;
    // Both usually exist; any failure shows up later when a file cannot be written.
    mkdir(base.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    return dir;
}

namespace {

// The desktop's user data folder by the rule GLib follows: $XDG_DATA_HOME, else ~/.local/share with the
// home from $HOME or the account. Asked here rather than of GLib, so that a program which only copies
// files (tavrin-copy) does not load GLib and the regular-expression library behind it at every start: that
// cost it a sixth of a millisecond, as much as copying a megabyte.
std::string user_data_dir() {
    if (const char* data = env_or_null("XDG_DATA_HOME")) return data;
    std::string home;
    if (const char* env = env_or_null("HOME")) {
        home = env;
    } else {
        PasswdRecord rec = passwd_by_uid(getuid());
        if (rec.found) home = rec.dir;
    }
    return home.empty() ? std::string() : su::join_path(home, ".local/share");
}

} // namespace

std::string trash_dir() {
    const std::string data = user_data_dir();
    if (data.empty()) return "";
    return su::join_path(data, "Trash/files");
}

bool running_in_snap() {
    static const bool answer = env_or_null("SNAP") && env_or_null("SNAP_NAME");
    return answer;
}

bool running_in_flatpak() {
    static const bool answer = [] {
        struct stat st {};
        return stat(kFlatpakInfo, &st) == 0;
    }();
    return answer;
}

const char* package_kind() {
    static const char* const answer = []() -> const char* {
        if (running_in_snap()) return "snap";
        if (running_in_flatpak()) return "flatpak";
        if (env_or_null("APPDIR") && env_or_null("APPIMAGE")) return "appimage";
        char buf[4096];
        ssize_t n = readlink(kSelfExe, buf, sizeof buf - 1);
        if (n <= 0) return "system";
        std::string exe(buf, static_cast<size_t>(n));
        if (su::starts_with(exe, "/usr/bin/") || su::starts_with(exe, "/usr/local/bin/")) return "system";
        return "dev";
    }();
    return answer;
}

bool running_as_root() {
    static const bool answer = geteuid() == 0;
    return answer;
}

bool hostfs_available() {
    static const bool answer = running_in_snap() && can_open_dir(kHostfs);
    return answer;
}

bool removable_media_available() {
    static const bool answer = [] {
        if (!running_in_snap()) return true;
        for (const char* dir : {"/media", "/run/media", "/mnt"})
            if (can_open_dir(dir)) return true;
        return false;
    }();
    return answer;
}

std::string to_scan_path(const std::string& display_path) {
    if (!hostfs_available() || display_path.empty() || display_path[0] != '/') return display_path;
    if (reachable_directly(display_path)) return display_path;
    if (under_hostfs(display_path)) return display_path;
    return kHostfs + display_path;
}

std::string to_display_path(const std::string& scan_path) {
    // Only a whole leading component counts: "/var/lib/snapd/hostfs2/x" is an ordinary path, and cutting
    // the prefix off it would give the relative "2/x".
    if (!under_hostfs(scan_path)) return scan_path;
    std::string rest = scan_path.substr(std::char_traits<char>::length(kHostfs));
    return rest.empty() ? "/" : rest;
}
