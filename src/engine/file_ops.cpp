#include "engine/file_ops.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "fs/fs_ops.h"

#include <gio/gio.h>
#include <glib.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace file_ops {

namespace {

struct TerminalFlag {
    const char* name;
    const char* pre; // extra argument before the flag, or null
    const char* flag;
    bool joined; // "--flag=dir" as one argument rather than "--flag" "dir"
};

constexpr std::array<TerminalFlag, 12> kFlags = {{
    {"gnome-terminal", nullptr, "--working-directory", true},
    {"mate-terminal", nullptr, "--working-directory", true},
    {"xfce4-terminal", nullptr, "--working-directory", true},
    {"lxterminal", nullptr, "--working-directory", true},
    {"tilix", nullptr, "--working-directory", true},
    {"terminator", nullptr, "--working-directory", true},
    {"kgx", nullptr, "--working-directory", true},
    {"foot", nullptr, "--working-directory", true},
    {"alacritty", nullptr, "--working-directory", true},
    {"konsole", nullptr, "--workdir", false},
    {"kitty", nullptr, "--directory", false},
    {"wezterm", "start", "--cwd", false},
}};

constexpr std::array<const char*, 16> kCandidates = {
    "x-terminal-emulator",
    "gnome-terminal",
    "konsole",
    "xfce4-terminal",
    "mate-terminal",
    "lxterminal",
    "tilix",
    "terminator",
    "kgx",
    "alacritty",
    "kitty",
    "foot",
    "wezterm",
    "urxvt",
    "st",
    "xterm",
};

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

bool on_search_path(const char* name) {
    return GCharPtr(g_find_program_in_path(name)) != nullptr;
}

// The name of the terminal that really runs when `program` is started: Debian's x-terminal-emulator is a
// chain of links through /etc/alternatives, and some terminals install "<name>.wrapper" scripts.
std::string real_terminal_name(const std::string& program) {
    GCharPtr found(g_find_program_in_path(program.c_str()));
    std::string name = program;
    if (found) {
        char resolved[PATH_MAX];
        if (realpath(found.get(), resolved))
            name = su::basename_of(resolved);
        else
            name = su::basename_of(found.get());
    } else {
        name = su::basename_of(program);
    }
    constexpr std::string_view kWrapper = ".wrapper";
    if (name.size() > kWrapper.size() &&
        name.compare(name.size() - kWrapper.size(), kWrapper.size(), kWrapper) == 0)
        name.erase(name.size() - kWrapper.size());
    return name;
}

} // namespace

std::optional<std::string> find_terminal_program() {
    if (const char* env = env_or_null("TERMINAL"); env && on_search_path(env)) {
        Log::instance().infof("terminal: %s (from $TERMINAL)", env);
        return std::string(env);
    }
    for (const char* candidate : kCandidates) {
        if (on_search_path(candidate)) {
            Log::instance().infof("terminal: %s", candidate);
            return std::string(candidate);
        }
    }
    Log::instance().infof("terminal: %s", "(none found)");
    return std::nullopt;
}

std::optional<std::string> terminal_program() {
    // Asked on every frame that shows the bridge and on every menu build; the search path does not
    // change under a running program often enough to be worth probing again.
    static const std::optional<std::string> program = find_terminal_program();
    return program;
}

std::vector<std::string> terminal_command(const std::string& program, const std::string& dir) {
    std::vector<std::string> argv{program};
    const std::string real = real_terminal_name(program);
    for (const TerminalFlag& row : kFlags) {
        if (real != row.name) continue;
        if (row.pre) argv.emplace_back(row.pre);
        if (row.joined) {
            argv.push_back(std::string(row.flag) + "=" + dir);
        } else {
            argv.emplace_back(row.flag);
            argv.push_back(dir);
        }
        break;
    }
    return argv;
}

std::string open_terminal_at(const std::string& dir) {
    const std::optional<std::string> program = terminal_program();
    if (!program) return tr("err.no_terminal");
    const std::vector<std::string> args = terminal_command(*program, dir);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    GError* error = nullptr;
    // Without DO_NOT_REAP_CHILD GLib detaches the terminal through an intermediate child, so no zombie is
    // left behind and the terminal outlives us if the user closes the file manager first.
    const bool ok = g_spawn_async(
        dir.c_str(), argv.data(), nullptr,
        GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
        nullptr, nullptr, &error);
    if (ok) {
        Log::instance().infof("terminal %s opened in %s", program->c_str(), dir.c_str());
        return "";
    }
    std::string message =
        (error && error->message && *error->message) ? error->message : tr("err.no_terminal");
    if (error) g_error_free(error);
    Log::instance().warnf("terminal %s in %s failed: %s", program->c_str(), dir.c_str(), message.c_str());
    return message;
}

std::string validate_name(const std::string& parent, const std::string& name,
                          const std::string& current_name) {
    if (name.empty()) return tr("err.name_empty");
    if (name.find('/') != std::string::npos) return tr("err.name_slash");
    if (name == "." || name == "..") return tr("err.name_reserved");
    if (name.size() > 255) return tr("err.name_too_long");
    if (name == current_name) return "";
    if (fsops::exists(su::join_path(parent, name))) return tr("err.name_exists");
    return "";
}

std::string rename_entry(const std::string& path, const std::string& new_name) {
    std::string parent = su::parent_of(path);
    std::string current = su::basename_of(path);
    std::string message = validate_name(parent, new_name, current);
    if (!message.empty() || new_name == current) return message;
    return fsops::rename_path(path, su::join_path(parent, new_name));
}

std::string create_directory(const std::string& parent, const std::string& name) {
    std::string message = validate_name(parent, name, "");
    if (!message.empty()) return message;
    return fsops::make_dir(su::join_path(parent, name), 0755);
}

std::string create_empty_file(const std::string& parent, const std::string& name) {
    std::string message = validate_name(parent, name, "");
    if (!message.empty()) return message;
    std::string path = su::join_path(parent, name);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return path + ": " + strerror(errno);
    ::close(fd);
    return "";
}

std::string open_with_default_app(const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    char* uri = g_file_get_uri(file);
    g_object_unref(file);
    GError* error = nullptr;
    bool ok = g_app_info_launch_default_for_uri(uri, nullptr, &error);
    Log::instance().infof("open %s%s", uri, ok ? "" : " failed");
    g_free(uri);
    if (ok) return "";
    std::string message = error && error->message && *error->message ? error->message : tr("err.open_failed");
    if (error) g_error_free(error);
    return message;
}

std::string move_to_trash(const std::string& path) {
    std::unique_ptr<GFile, decltype(&g_object_unref)> file(g_file_new_for_path(path.c_str()), g_object_unref);
    GError* error = nullptr;
    if (g_file_trash(file.get(), nullptr, &error)) return "";
    std::string message;
    if (error && error->domain == G_IO_ERROR && error->code == G_IO_ERROR_NOT_SUPPORTED)
        message = tr("err.no_trash_here");
    else if (error && error->message && *error->message)
        message = error->message;
    else
        message = tr("err.trash_failed");
    if (error) g_error_free(error);
    return message;
}

namespace {

void delete_job(const std::vector<std::string>& paths, bool to_trash, BgTask::Reporter& rep) {
    std::vector<int64_t> weights;
    int64_t total = 0;
    for (const std::string& path : paths) {
        if (!rep.keep_going()) return;
        fsops::TreeSize size = fsops::measure_tree(path, [&rep] { return rep.keep_going(); });
        weights.push_back(size.files + size.dirs);
        total += weights.back();
    }
    if (!rep.keep_going()) return;
    rep.set_total(total);
    for (size_t i = 0; i < paths.size() && rep.keep_going(); ++i) {
        const std::string& path = paths[i];
        rep.set_detail(path);
        Log::instance().infof("delete %s: %s", to_trash ? "to trash" : "PERMANENTLY", path.c_str());
        std::string message;
        if (to_trash) {
            message = move_to_trash(path);
            rep.advance(std::max<int64_t>(1, weights[i]));
        } else {
            int64_t removed = 0;
            message = fsops::remove_recursive(path, [&] {
                ++removed;
                rep.advance(1);
            });
            // The bar reaches its end also when some items could not be removed.
            if (removed < weights[i]) rep.advance(weights[i] - removed);
        }
        if (!message.empty()) rep.fail(message);
    }
}

} // namespace

bool start_delete(const std::vector<std::string>& paths, bool to_trash, const std::string& title) {
    return BgTask::instance().start(BgTask::Kind::Delete, title, [paths, to_trash](BgTask::Reporter& rep) {
        delete_job(paths, to_trash, rep);
    });
}

bool start_clone(const std::vector<std::string>& paths, int thread_count) {
    if (paths.empty()) return false;
    return copy_engine::instance().start(paths, su::parent_of(paths.front()), copy_engine::Operation::Copy,
                                         thread_count, copy_engine::ConflictAction::RenameNew);
}

} // namespace file_ops
