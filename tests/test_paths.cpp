#include "base/paths.h"

#include "child.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Sets environment variables for one scope and puts the previous values back.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it)
            apply(it->first, it->second);
    }
    // nullptr unsets the variable.
    void set(const char* name, const char* value) {
        const char* old = getenv(name);
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        apply(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// Collects mismatches inside a child process, where gtest assertions would not reach the parent.
struct Mismatches {
    std::string text;
    void eq(const std::string& what, const std::string& got, const std::string& want) {
        if (got != want) text += what + ": got '" + got + "', want '" + want + "'\n";
    }
    void is(const std::string& what, bool got, bool want) {
        if (got != want) text += what + ": got " + (got ? "true" : "false") + "\n";
    }
    void fail(const std::string& what) { text += what + ": " + strerror(errno) + "\n"; }
    [[noreturn]] void finish() const {
        if (!text.empty()) {
            fputs(text.c_str(), stderr);
            _exit(1);
        }
        _exit(0);
    }
};

// Several answers are cached for the life of the process, so cases that need a different answer run in a
// freshly started copy of this program: gtest's "threadsafe" death-test style re-executes the binary.
#define EXPECT_IN_FRESH_PROCESS(...)                                                                         \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                          \
    EXPECT_EXIT(                                                                                             \
        {                                                                                                    \
            Mismatches m;                                                                                    \
            (__VA_ARGS__)(m);                                                                                \
            m.finish();                                                                                      \
        },                                                                                                   \
        ::testing::ExitedWithCode(0), "")

void clear_identity_env() {
    for (const char* name :
         {"SNAP", "SNAP_NAME", "SNAP_REAL_HOME", "SUDO_USER", "PKEXEC_UID", "APPDIR", "APPIMAGE"})
        unsetenv(name);
}

// A private mount namespace lets a child lay tmpfs over system folders without the host seeing it.
bool enter_private_mounts(Mismatches& m) {
    if (unshare(CLONE_NEWNS) != 0) {
        m.fail("unshare(CLONE_NEWNS)");
        return false;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        m.fail("make / private");
        return false;
    }
    return true;
}

bool mount_tmpfs(Mismatches& m, const char* where, const char* options) {
    if (mount("tavrin-test", where, "tmpfs", 0, options) != 0) {
        m.fail(std::string("mount tmpfs on ") + where);
        return false;
    }
    return true;
}

bool drop_to_nobody(Mismatches& m) {
    if (!testsupport::drop_to_nobody()) {
        m.fail("drop privileges");
        return false;
    }
    return true;
}

// Whether this machine lets us make mount namespaces (root in most containers); probed once.
bool mount_namespaces_work() {
    static const bool works = testsupport::run_in_child([] {
                                  const bool ok =
                                      unshare(CLONE_NEWNS) == 0 &&
                                      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                      mount("tavrin-test", "/mnt", "tmpfs", 0, nullptr) == 0;
                                  return ok ? 0 : 1;
                              }) == 0;
    return works;
}

std::string passwd_home(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

constexpr const char* kHost = "/var/lib/snapd/hostfs";

TEST(Paths, EmptyVariableCountsAsUnset) {
    EnvGuard env;
    env.set("TAVRIN_TEST_VAR", nullptr);
    EXPECT_EQ(env_or_null("TAVRIN_TEST_VAR"), nullptr);
    env.set("TAVRIN_TEST_VAR", "");
    EXPECT_EQ(env_or_null("TAVRIN_TEST_VAR"), nullptr);
    env.set("TAVRIN_TEST_VAR", " ");
    ASSERT_NE(env_or_null("TAVRIN_TEST_VAR"), nullptr);
    EXPECT_STREQ(env_or_null("TAVRIN_TEST_VAR"), " ");
}

TEST(Paths, RealHome) {
    const std::string from_passwd = passwd_home(getuid());
    struct Case {
        const char* snap_real_home;
        const char* home;
        std::string want;
    };
    std::vector<Case> cases = {
        {"/snap/home", "/home/u", "/snap/home"}, {"", "/home/u", "/home/u"},
        {nullptr, "/home/u", "/home/u"},         {nullptr, "", from_passwd},
        {nullptr, nullptr, from_passwd},         {"", "", from_passwd},
    };
    for (const auto& c : cases) {
        EnvGuard env;
        env.set("SNAP_REAL_HOME", c.snap_real_home);
        env.set("HOME", c.home);
        EXPECT_EQ(real_home(), c.want)
            << "SNAP_REAL_HOME=" << (c.snap_real_home ? c.snap_real_home : "(unset)")
            << " HOME=" << (c.home ? c.home : "(unset)");
    }
}

TEST(Paths, InvokingUser) {
    struct Case {
        const char* sudo_user;
        const char* pkexec_uid;
        std::string want;
    };
    std::vector<Case> cases = {
        {"alice", nullptr, "alice"},
        {"alice", "0", "alice"}, // sudo wins
        {nullptr, "0", "root"},
        {"", "0", "root"},
        {nullptr, "65534", "nobody"},
        {nullptr, "4000000000", ""}, // no such user
        {nullptr, "abc", ""},
        {nullptr, "12abc", ""},
        {nullptr, "-1", ""},
        {nullptr, " 0", ""},
        {nullptr, "99999999999999999999", ""},
        {nullptr, "", ""},
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        EnvGuard env;
        env.set("SUDO_USER", c.sudo_user);
        env.set("PKEXEC_UID", c.pkexec_uid);
        EXPECT_EQ(invoking_user(), c.want) << "SUDO_USER=" << (c.sudo_user ? c.sudo_user : "(unset)")
                                           << " PKEXEC_UID=" << (c.pkexec_uid ? c.pkexec_uid : "(unset)");
    }
}

TEST(Paths, ConfigDirFromEnvironment) {
    testsupport::TempDir tmp("tavrin-paths");
    const std::string xdg = tmp.sub("xdg");
    const std::string home = tmp.sub("home");
    struct Case {
        const char* xdg;
        const char* home;
        std::string want;
        std::string base_created;
    };
    std::vector<Case> cases = {
        {xdg.c_str(), home.c_str(), xdg + "/Tavrin", xdg},
        {"", home.c_str(), home + "/.config/Tavrin", home + "/.config"},
        {nullptr, home.c_str(), home + "/.config/Tavrin", home + "/.config"},
    };
    testsupport::make_dir(home, 0755);
    for (const auto& c : cases) {
        EnvGuard env;
        env.set("SUDO_USER", nullptr);
        env.set("PKEXEC_UID", nullptr);
        env.set("XDG_CONFIG_HOME", c.xdg);
        env.set("HOME", c.home);
        EXPECT_EQ(config_dir(), c.want);
        EXPECT_EQ(mode_of(c.base_created), 0700u) << c.base_created;
        EXPECT_EQ(mode_of(c.want), 0700u) << c.want;
    }
}

TEST(Paths, ConfigDirWithoutAnyBaseIsCurrentDirectoryAndCreatesNothing) {
    testsupport::TempDir tmp("tavrin-paths");
    char old_cwd[PATH_MAX];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    {
        EnvGuard env;
        env.set("SUDO_USER", nullptr);
        env.set("PKEXEC_UID", nullptr);
        env.set("XDG_CONFIG_HOME", "");
        env.set("HOME", "");
        EXPECT_EQ(config_dir(), ".");
        env.set("XDG_CONFIG_HOME", nullptr);
        env.set("HOME", nullptr);
        EXPECT_EQ(config_dir(), ".");
    }
    EXPECT_FALSE(testsupport::exists(tmp.sub("Tavrin")));
    EXPECT_FALSE(testsupport::exists(tmp.sub(".config")));
    ASSERT_EQ(chdir(old_cwd), 0);
}

TEST(Paths, ConfigDirOfRootStartedForAnotherUserUsesRootsOwnHome) {
    if (!mount_namespaces_work()) GTEST_SKIP() << "mount namespaces are not available here";
    const std::string root_home = passwd_home(0);
    ASSERT_TRUE(!root_home.empty() && root_home[0] == '/') << "root has no usable home: " << root_home;
    EXPECT_IN_FRESH_PROCESS([&](Mismatches& m) {
        clear_identity_env();
        if (!enter_private_mounts(m) || !mount_tmpfs(m, root_home.c_str(), "mode=0700")) return;
        // HOME and XDG_CONFIG_HOME still name the invoking user's folders, as sudo leaves them.
        setenv("HOME", "/home/alice", 1);
        setenv("XDG_CONFIG_HOME", "/home/alice/.config", 1);
        const std::string want = root_home + "/.config/Tavrin";

        setenv("SUDO_USER", "alice", 1);
        m.eq("with SUDO_USER", config_dir(), want);
        m.is("created", mode_of(want) == 0700, true);
        unsetenv("SUDO_USER");

        setenv("PKEXEC_UID", "0", 1);
        m.eq("with PKEXEC_UID", config_dir(), want);
        // A PKEXEC_UID naming nobody known is not an invoking user: the ordinary rules apply.
        setenv("PKEXEC_UID", "4000000000", 1);
        m.eq("with unknown PKEXEC_UID", config_dir(), "/home/alice/.config/Tavrin");
        unsetenv("PKEXEC_UID");
        m.eq("without invoking user", config_dir(), "/home/alice/.config/Tavrin");
    });
}

TEST(Paths, NonRootIgnoresSudoUserAndMissingFolders) {
    EXPECT_IN_FRESH_PROCESS([](Mismatches& m) {
        clear_identity_env();
        if (geteuid() == 0 && !drop_to_nobody(m)) return;
        m.is("running_as_root", running_as_root(), false);
        setenv("SUDO_USER", "alice", 1);
        // The base cannot be created here; the name is still returned and nothing fails.
        setenv("XDG_CONFIG_HOME", "/nonexistent-tavrin-test/cfg", 1);
        m.eq("config_dir", config_dir(), "/nonexistent-tavrin-test/cfg/Tavrin");
    });
}

TEST(Paths, RunningAsRootFollowsEffectiveUser) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to change the effective user";
    EXPECT_IN_FRESH_PROCESS([](Mismatches& m) {
        // Only the effective id changes; the answer computed first is kept afterwards.
        if (setegid(65534) != 0 || seteuid(65534) != 0) return m.fail("seteuid");
        m.is("effective nobody", running_as_root(), false);
        if (seteuid(0) != 0) return m.fail("seteuid back");
        m.is("cached after seteuid(0)", running_as_root(), false);
    });
}

TEST(Paths, PackageKind) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> env;
        std::string want;
        bool snap;
    };
    // The test program lives in a build folder, not under /usr/bin, so it counts as a development build.
    std::vector<Case> cases = {
        {{}, "dev", false},
        {{{"APPDIR", "/tmp/.mount_x"}, {"APPIMAGE", "/home/u/Tavrin.AppImage"}}, "appimage", false},
        {{{"APPDIR", "/tmp/.mount_x"}}, "dev", false},
        {{{"APPDIR", "/tmp/.mount_x"}, {"APPIMAGE", ""}}, "dev", false},
        {{{"SNAP", "/snap/tavrin/1"}, {"SNAP_NAME", "tavrin"}}, "snap", true},
        {{{"SNAP", "/snap/tavrin/1"}, {"SNAP_NAME", "tavrin"}, {"APPDIR", "/a"}, {"APPIMAGE", "/b"}},
         "snap",
         true},
        {{{"SNAP", "/snap/tavrin/1"}}, "dev", false},
        {{{"SNAP", "/snap/tavrin/1"}, {"SNAP_NAME", ""}}, "dev", false},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const auto& [k, v] : c.env)
            label += std::string(k) + "=" + v + " ";
        SCOPED_TRACE(label.empty() ? "(clean environment)" : label);
        EXPECT_IN_FRESH_PROCESS([&](Mismatches& m) {
            clear_identity_env();
            for (const auto& [k, v] : c.env)
                setenv(k, v, 1);
            m.eq("package_kind", package_kind(), c.want);
            m.is("running_in_snap", running_in_snap(), c.snap);
            m.is("running_in_flatpak", running_in_flatpak(), false);
            // The answer is kept even when the environment changes later.
            clear_identity_env();
            m.eq("package_kind again", package_kind(), c.want);
            m.is("running_in_snap again", running_in_snap(), c.snap);
        });
    }
}

TEST(Paths, SnapHostViewMapping) {
    if (!mount_namespaces_work()) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_IN_FRESH_PROCESS([](Mismatches& m) {
        clear_identity_env();
        if (!enter_private_mounts(m) || !mount_tmpfs(m, "/var/lib", nullptr)) return;
        if (mkdir("/var/lib/snapd", 0755) != 0 || mkdir(kHost, 0755) != 0) return m.fail("mkdir hostfs");
        setenv("SNAP", "/snap/tavrin/1", 1);
        setenv("SNAP_NAME", "tavrin", 1);
        setenv("HOME", "/home/tester", 1);
        m.is("hostfs_available", hostfs_available(), true);
        m.is("removable_media_available", removable_media_available(), true);

        const std::string host = kHost;
        struct Case {
            std::string display, scan;
        };
        std::vector<Case> cases = {
            {"/etc", host + "/etc"},
            {"/", host + "/"},
            {"/usr/share/doc", host + "/usr/share/doc"},
            {"/home/tester", "/home/tester"},
            {"/home/tester/docs/a.txt", "/home/tester/docs/a.txt"},
            {"/home/testerX", host + "/home/testerX"}, // a neighbour of the home folder is not in it
            {"/home", host + "/home"},
            {"/media/usb", "/media/usb"},
            {"/mnt", "/mnt"},
            {"/mnt/disk/x", "/mnt/disk/x"},
            {"/mntx", host + "/mntx"},
            {"/run/media", "/run/media"},
            {"/run/media/u/stick", "/run/media/u/stick"},
            {"/run", host + "/run"},
            {"docs/a.txt", "docs/a.txt"}, // relative paths are left alone
            {"", ""},
            {host, host},
            {host + "/etc", host + "/etc"},
        };
        for (const auto& c : cases) {
            m.eq("to_scan_path(" + c.display + ")", to_scan_path(c.display), c.scan);
            // Going there and back gives the path the user saw, except for paths already under the view.
            if (!c.display.empty() && c.display[0] == '/' && c.display.rfind(host, 0) != 0)
                m.eq("round trip of " + c.display, to_display_path(to_scan_path(c.display)), c.display);
        }
        m.eq("to_display_path(host)", to_display_path(host), "/");
        m.eq("to_display_path(host/)", to_display_path(host + "/"), "/");

        // SNAP_REAL_HOME is the home that counts inside a snap.
        setenv("SNAP_REAL_HOME", "/home/real", 1);
        m.eq("real home stays", to_scan_path("/home/real/x"), "/home/real/x");
        m.eq("snap's own home maps", to_scan_path("/home/tester/x"), host + "/home/tester/x");
    });
}

TEST(Paths, SnapWithoutHostViewLeavesPathsAlone) {
    EXPECT_IN_FRESH_PROCESS([](Mismatches& m) {
        clear_identity_env();
        setenv("SNAP", "/snap/tavrin/1", 1);
        setenv("SNAP_NAME", "tavrin", 1);
        struct stat st {};
        if (stat(kHost, &st) == 0) return; // this machine has a real snapd; the case cannot be staged
        m.is("hostfs_available", hostfs_available(), false);
        m.eq("to_scan_path(/etc)", to_scan_path("/etc"), "/etc");
        m.eq("to_scan_path(/)", to_scan_path("/"), "/");
    });
}

TEST(Paths, OutsideSnapNothingMaps) {
    EXPECT_IN_FRESH_PROCESS([](Mismatches& m) {
        clear_identity_env();
        m.is("hostfs_available", hostfs_available(), false);
        m.is("removable_media_available", removable_media_available(), true);
        m.eq("to_scan_path(/etc)", to_scan_path("/etc"), "/etc");
    });
}

TEST(Paths, RemovableMediaInsideSnap) {
    if (!mount_namespaces_work()) GTEST_SKIP() << "mount namespaces are not available here";
    struct Case {
        const char* label;
        bool run_media_readable;
        bool want;
    };
    // /media and /mnt are closed to the unprivileged child; /run/media decides.
    std::vector<Case> cases = {
        {"no media folder can be opened", false, false},
        {"only /run/media can be opened", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_IN_FRESH_PROCESS([&](Mismatches& m) {
            clear_identity_env();
            if (!enter_private_mounts(m)) return;
            if (!mount_tmpfs(m, "/media", "mode=0700") || !mount_tmpfs(m, "/mnt", "mode=0700") ||
                !mount_tmpfs(m, "/run", "mode=0755"))
                return;
            if (c.run_media_readable && mkdir("/run/media", 0755) != 0) return m.fail("mkdir /run/media");
            setenv("SNAP", "/snap/tavrin/1", 1);
            setenv("SNAP_NAME", "tavrin", 1);
            if (!drop_to_nobody(m)) return;
            m.is("removable_media_available", removable_media_available(), c.want);
        });
    }
}

TEST(Paths, ToDisplayPathOutsideSnap) {
    const std::string host = kHost;
    struct Case {
        std::string scan, display;
    };
    std::vector<Case> cases = {
        {host, "/"},
        {host + "/", "/"},
        {host + "/etc/fstab", "/etc/fstab"},
        {"/etc", "/etc"},
        {"", ""},
        {"relative/path", "relative/path"},
        // Only the whole component counts: cutting the prefix here would give the relative "2/x".
        {host + "2/x", host + "2/x"},
        {"/var/lib/snapd/host", "/var/lib/snapd/host"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_display_path(c.scan), c.display) << c.scan;
}

std::string account_home() {
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

TEST(Paths, TrashDirFollowsUserDataDirectory) {
    struct Case {
        const char* data_home;
        const char* home;
        std::string want;
    };
    std::vector<Case> cases = {
        {"/data/u", "/home/u", "/data/u/Trash/files"},
        {"/data/u/", "/home/u", "/data/u/Trash/files"},
        {nullptr, "/home/u", "/home/u/.local/share/Trash/files"},
        {"", "/home/u", "/home/u/.local/share/Trash/files"},
        // Without HOME the account's home folder counts.
        {nullptr, nullptr, account_home() + "/.local/share/Trash/files"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data_home ? c.data_home : "(XDG_DATA_HOME unset)");
        // Each case in a process of its own, as GLib, whose rule this follows, reads the folder once.
        EXPECT_IN_FRESH_PROCESS([&](Mismatches& m) {
            if (c.data_home)
                setenv("XDG_DATA_HOME", c.data_home, 1);
            else
                unsetenv("XDG_DATA_HOME");
            if (c.home)
                setenv("HOME", c.home, 1);
            else
                unsetenv("HOME");
            m.eq("trash_dir", trash_dir(), c.want);
        });
    }
}

} // namespace
