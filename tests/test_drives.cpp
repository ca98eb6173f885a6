#include "engine/drives.h"

#include "base/i18n.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using drives::Drive;
using drives::Kind;
using mounts::Mount;
using testsupport::TempDir;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The process-wide list reads the environment once (GLib caches the user folders), so the home and the
// user-folder file are put in place before any test runs.
struct Home {
    TempDir dir{"drives-home"};
    Home() {
        testsupport::make_dir(dir.sub("config"));
        testsupport::make_dir(dir.sub("Downloads"));
        testsupport::make_dir(dir.sub("Music"));
        testsupport::write_file(dir.sub("config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME\"\n"
                                                                  "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                                                  "XDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n"
                                                                  "XDG_MUSIC_DIR=\"" +
                                                                      dir.sub("Music") + "\"\n");
        setenv("HOME", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.sub("config").c_str(), 1);
        unsetenv("SNAP_REAL_HOME");
    }
};

Home& home() {
    static Home h;
    return h;
}

// The child of the slow-refresh test keeps the parent's environment instead.
const bool kHomeReady = std::getenv("TAVRIN_DRIVES_CHILD_UID") == nullptr && (home(), true);

std::string child_uid_env() {
    const char* v = std::getenv("TAVRIN_DRIVES_CHILD_UID");
    return v ? v : "";
}

Mount mount(const char* point, const char* type, const char* source, bool ro = false) {
    return Mount{point, type, source, ro};
}

TEST(DrivesBuild, OrderKindsLabelsAndDuplicates) {
    I18n::instance().set_language("en");
    TempDir dir("drives");
    const std::string h = dir.sub("home");
    testsupport::make_dir(h);
    testsupport::make_dir(h + "/Desktop");
    testsupport::make_dir(h + "/Pictures");
    testsupport::make_dir(dir.sub("gvfs"));
    testsupport::make_dir(dir.sub("gvfs/smb-share:server=nas,share=media"));
    testsupport::make_dir(dir.sub("gvfs/sftp:host=example.org,user=me"));
    testsupport::make_dir(dir.sub("gvfs/plain"));

    const std::string long_source(60, 's');
    const std::string exact_source(48, 'e');
    drives::Sources src;
    src.home = h;
    src.user_folders = {
        {h + "/Desktop", "Desktop"},
        {h, "Downloads"}, // the home itself is not listed twice
        {h + "/Missing", "Documents"},
        {h + "/Pictures", "Pictures"},
        {"", "Music"},
    };
    src.roots = {
        mount("/", "ext4", "/dev/sda2"),
        mount("/mnt/nfs", "nfs4", "server:/export"),
        mount(h.c_str(), "ext4", "/dev/sda3"), // home as a mount point stays the home entry
        mount("/data", "xfs", "/dev/sdb1", true),
        mount("/media/u/CARD", "vfat", "/dev/sdc1"),
        mount("/mnt/long", "cifs", long_source.c_str()),
        mount("/mnt/exact", "cifs", exact_source.c_str()),
        mount("/run/media/u/STICK", "exfat", "/dev/sdd1"),
        mount("/mnt/ssh", "fuse.sshfs", ""),
        mount("/srv/dav", "fuse.gvfs-dav", "dav"),
        mount("/mnt", "ext4", "/dev/sde1"),
        mount("/data", "btrfs", "/dev/sdf1"), // same path as an earlier entry
    };
    src.gvfs_dir = dir.sub("gvfs");

    struct Expect {
        std::string path, label, fs_type;
        Kind kind;
        bool read_only;
    };
    const std::vector<Expect> expected = {
        {h, "Home", "", Kind::Home, false},
        {h + "/Desktop", "Desktop", "", Kind::Bookmark, false},
        {h + "/Pictures", "Pictures", "", Kind::Bookmark, false},
        {"/data", "data", "xfs", Kind::Local, true},
        {"/mnt", "mnt", "ext4", Kind::Local, false},
        {"/media/u/CARD", "CARD", "vfat", Kind::Removable, false},
        {"/run/media/u/STICK", "STICK", "exfat", Kind::Removable, false},
        {"/mnt/nfs", "server:/export", "nfs4", Kind::Network, false},
        {"/mnt/long", std::string(45, 's') + "\u2026", "cifs", Kind::Network, false},
        {"/mnt/exact", exact_source, "cifs", Kind::Network, false},
        {"/mnt/ssh", "ssh", "fuse.sshfs", Kind::Network, false},
        {"/srv/dav", "dav", "fuse.gvfs-dav", Kind::Network, false},
    };
    std::vector<Drive> list = drives::build(src);
    // The gvfs entries come in directory order; they are checked apart from the fixed part.
    ASSERT_EQ(list.size(), expected.size() + 3 + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        const Expect& e = expected[i];
        EXPECT_EQ(list[i].path, e.path) << i;
        EXPECT_EQ(list[i].label, e.label) << e.path;
        EXPECT_EQ(list[i].fs_type, e.fs_type) << e.path;
        EXPECT_EQ(list[i].kind, e.kind) << e.path;
        EXPECT_EQ(list[i].read_only, e.read_only) << e.path;
        EXPECT_EQ(list[i].total_bytes, -1) << e.path;
        EXPECT_EQ(list[i].free_bytes, -1) << e.path;
    }
    std::vector<std::pair<std::string, std::string>> shares;
    for (size_t i = expected.size(); i < expected.size() + 3; ++i) {
        EXPECT_EQ(list[i].kind, Kind::Network);
        EXPECT_EQ(list[i].fs_type, "gvfs");
        shares.emplace_back(list[i].path, list[i].label);
    }
    std::sort(shares.begin(), shares.end());
    EXPECT_EQ(shares, (std::vector<std::pair<std::string, std::string>>{
                          {dir.sub("gvfs/plain"), "plain"},
                          {dir.sub("gvfs/sftp:host=example.org,user=me"), "host=example.org user=me"},
                          {dir.sub("gvfs/smb-share:server=nas,share=media"), "server=nas share=media"},
                      }));
    EXPECT_EQ(list.back().path, "/");
    EXPECT_EQ(list.back().label, "System (/)");
    EXPECT_EQ(list.back().kind, Kind::Root);
}

TEST(DrivesBuild, NetworkLabelsAreCutOnCharacterBoundaries) {
    struct Case {
        std::string source, label;
    };
    const std::string e_acute = "\xc3\xa9";
    const std::vector<Case> cases = {
        {std::string(44, 'a') + e_acute + std::string(14, 'b'), std::string(44, 'a') + "\u2026"},
        {std::string(43, 'a') + e_acute + std::string(15, 'b'), std::string(43, 'a') + e_acute + "\u2026"},
        {std::string(49, 'x'), std::string(45, 'x') + "\u2026"},
        {std::string(46, 'x') + e_acute, std::string(46, 'x') + e_acute}, // 48 bytes: whole
        {"//srv/bad\xff", "//srv/bad\xef\xbf\xbd"},
    };
    for (const Case& c : cases) {
        drives::Sources src;
        src.roots = {mount("/mnt/share", "cifs", c.source.c_str())};
        std::vector<Drive> list = drives::build(src);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].label, c.label) << c.source;
    }
}

TEST(DrivesBuild, EmptySourcesGiveAnEmptyList) {
    drives::Sources src;
    src.gvfs_dir = "/nonexistent/gvfs";
    EXPECT_TRUE(drives::build(src).empty());
}

TEST(DrivesBuild, NetworkTypes) {
    struct Case {
        const char* type;
        bool network;
    };
    const std::vector<Case> cases = {
        {"nfs", true},
        {"nfs4", true},
        {"cifs", true},
        {"smb3", true},
        {"ncpfs", true},
        {"9p", true},
        {"fuse.sshfs", true},
        {"fuse.rclone", true},
        {"fuse.gvfsd-fuse", true},
        {"fuse.gvfs-anything", true},
        {"glusterfs", true},
        {"ceph", true},
        {"sshfs", false},
        {"fuse", false},
        {"fuseblk", false},
        {"ext4", false},
        {"NFS", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(drives::is_network_fs(c.type), c.network) << c.type;
}

// The process-wide list, in the order the program uses it: first read before any refresh, then refreshed.
TEST(DrivesList, SkeletonFirstThenMeasuredByTheRefresh) {
    if (!child_uid_env().empty()) GTEST_SKIP();
    I18n::instance().set_language("en");
    const std::string h = home().dir.path();
    std::vector<Drive> skeleton = drives::list();
    ASSERT_GE(skeleton.size(), 3u);
    EXPECT_EQ(skeleton[0].path, h);
    EXPECT_EQ(skeleton[0].kind, Kind::Home);
    EXPECT_EQ(skeleton[1].path, h + "/Downloads");
    EXPECT_EQ(skeleton[1].label, "Downloads");
    EXPECT_EQ(skeleton[2].path, h + "/Music");
    EXPECT_EQ(skeleton[2].label, "Music");
    for (size_t i = 0; i < skeleton.size(); ++i) {
        EXPECT_EQ(skeleton[i].total_bytes, -1) << skeleton[i].path;
        if (i > 0) {
            EXPECT_LE(skeleton[i - 1].kind, skeleton[i].kind);
        }
    }
    EXPECT_EQ(skeleton.back().path, "/") << "the root of this machine is a real disk";

    const int before = drives::refreshes_started();
    drives::init();
    ASSERT_TRUE(drives::shutdown_wait(20000));
    EXPECT_EQ(drives::refreshes_started(), before + 1);
    std::vector<Drive> measured = drives::list();
    ASSERT_EQ(measured.size(), skeleton.size());
    // Home and the root always exist; mounts of other test suites may come and go.
    for (const Drive* d : {&measured.front(), &measured.back()}) {
        EXPECT_GT(d->total_bytes, 0) << d->path;
        EXPECT_GE(d->free_bytes, 0) << d->path;
        EXPECT_LE(d->free_bytes, d->total_bytes) << d->path;
    }

    struct Case {
        std::string path, label;
    };
    const std::vector<Case> cases = {
        {"/", "System (/)"},
        {"/usr/bin", ""},
        {"", ""},
        {h, "Home"},
        {h + "/projects/x", "Home"},
        {h + "/Music", "Music"},
        {h + "/Music/album/track.flac", "Music"},
        {h + "/Musical", "Home"},
        {h + "x", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(drives::label_for_path(c.path), c.label) << c.path;
}

TEST(DrivesRefresh, OverlappingCallsStartOneThread) {
    if (!child_uid_env().empty()) GTEST_SKIP();
    ASSERT_TRUE(drives::shutdown_wait(20000));
    // Two calls in a row overlap unless the first refresh finished in between; either way the number of
    // threads started must match the calls that said none was running.
    bool overlapped = false;
    for (int attempt = 0; attempt < 20 && !overlapped; ++attempt) {
        const int before = drives::refreshes_started();
        const bool first = drives::refresh();
        const bool second = drives::refresh();
        EXPECT_FALSE(first);
        overlapped = second;
        EXPECT_EQ(drives::refreshes_started(), before + (second ? 1 : 2));
        ASSERT_TRUE(drives::shutdown_wait(20000));
    }
    EXPECT_TRUE(overlapped);

    // Many callers at once, while the UI side keeps reading.
    const int before = drives::refreshes_started();
    std::atomic<int> said_idle{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                if (!drives::refresh()) said_idle.fetch_add(1);
        });
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(drives::list().empty());
        drives::label_for_path("/");
    }
    for (std::thread& t : callers)
        t.join();
    ASSERT_TRUE(drives::shutdown_wait(20000));
    EXPECT_EQ(drives::refreshes_started() - before, said_idle.load());
    EXPECT_GE(said_idle.load(), 1);
}

// A refresh made slow by thousands of desktop network shares, each measured: run in a child process whose
// user id owns the share folder, so the list of this process stays untouched.
TEST(DrivesRefresh, WaitIsBoundedWhileASlowRefreshRuns) {
    if (!child_uid_env().empty()) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to prepare /run/user/<uid>";
    const uid_t uid = 54321;
    const std::string run_dir = "/run/user/" + std::to_string(uid);
    struct stat st;
    if (::stat(run_dir.c_str(), &st) == 0) GTEST_SKIP() << run_dir << " is in use";
    ::mkdir("/run/user", 0755);
    ASSERT_EQ(::mkdir(run_dir.c_str(), 0755), 0);
    // A tmpfs keeps making and removing thousands of folders quick; plain folders work too.
    const bool mounted = ::mount("tmpfs", run_dir.c_str(), "tmpfs", 0, "size=64m,mode=0755") == 0;
    const std::string gvfs = run_dir + "/gvfs";
    testsupport::make_dir(gvfs);
    for (int i = 0; i < 30000; ++i)
        ::mkdir((gvfs + "/smb-share:server=nas,share=s" + std::to_string(i)).c_str(), 0755);

    const std::string filter = "--gtest_filter=DrivesChild.*";
    std::string self(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    ASSERT_GT(n, 0);
    self.resize(n);
    setenv("TAVRIN_DRIVES_CHILD_UID", std::to_string(uid).c_str(), 1);
    char* argv[] = {self.data(), const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ);
    unsetenv("TAVRIN_DRIVES_CHILD_UID");
    int status = -1;
    if (rc == 0) ::waitpid(pid, &status, 0);
    if (mounted) ::umount2(run_dir.c_str(), MNT_DETACH);
    testsupport::remove_tree(run_dir);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed; see its output above";
}

TEST(DrivesChild, SlowRefresh) {
    const std::string uid_text = child_uid_env();
    if (uid_text.empty()) GTEST_SKIP() << "runs only in the child of WaitIsBoundedWhileASlowRefreshRuns";
    const uid_t uid = static_cast<uid_t>(std::stoul(uid_text));
    ASSERT_EQ(::setgid(uid), 0);
    ASSERT_EQ(::setuid(uid), 0);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(drives::refresh());
    EXPECT_TRUE(drives::refresh()) << "the first refresh is still measuring";
    EXPECT_EQ(drives::refreshes_started(), 1);

    // The wait must give up after its limit while a refresh is still measuring. On a loaded machine (a
    // sanitizer build, other suites beside it) this thread can be descheduled for as long as a whole
    // refresh takes; then the refresh is over before the wait starts and proves nothing, so start another
    // one and try again. The checks below run on the first attempt that found the refresh still running.
    bool caught_running = false;
    double waited = 0;
    for (int attempt = 0; attempt < 5 && !caught_running; ++attempt) {
        if (attempt > 0) drives::refresh();
        auto wait_start = std::chrono::steady_clock::now();
        caught_running = !drives::shutdown_wait(20);
        waited = seconds_since(wait_start);
    }
    ASSERT_TRUE(caught_running) << "every refresh was over before the wait began";
    EXPECT_GE(waited, 0.019);
    EXPECT_LT(waited, 0.5);

    // The UI side gets a list while the refresh is still busy, without waiting for it.
    auto list_start = std::chrono::steady_clock::now();
    EXPECT_FALSE(drives::list().empty());
    const double list_seconds = seconds_since(list_start);

    ASSERT_TRUE(drives::shutdown_wait(120000));
    const double refresh_seconds = seconds_since(start);
    std::vector<Drive> done = drives::list();
    size_t shares = 0, measured = 0;
    for (const Drive& d : done) {
        if (d.fs_type == "gvfs") {
            ++shares;
            measured += d.total_bytes > 0 ? 1 : 0;
        }
    }
    EXPECT_EQ(shares, 30000u);
    EXPECT_EQ(measured, shares);
    EXPECT_EQ(done[0].kind, Kind::Home);
    std::printf("slow refresh: %.3f s; list() during it: %.3f s; shutdown_wait(20): %.3f s\n",
                refresh_seconds, list_seconds, waited);
}

} // namespace
