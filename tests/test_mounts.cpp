#include "fs/mounts.h"

#include "base/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using mounts::Mount;

namespace {

// Lines as a desktop kernel writes them, shortened to the mounts the cases need.
const char* const kDesktopTable =
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
    "23 22 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "24 22 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw\n"
    "25 22 0:5 / /dev rw,nosuid,relatime shared:2 - devtmpfs udev rw,size=8012345k,mode=755\n"
    "26 25 0:23 / /dev/pts rw,nosuid,noexec,relatime shared:3 - devpts devpts rw,gid=5,mode=620\n"
    "27 22 0:24 / /run rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw,size=1611852k,mode=755\n"
    "28 24 0:25 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw\n"
    "29 22 8:1 / /boot/efi rw,relatime shared:30 - vfat /dev/sda1 rw,fmask=0077,dmask=0077\n"
    "30 22 8:3 / /home rw,relatime shared:31 - ext4 /dev/sda3 rw\n"
    "31 22 0:40 / /tmp rw,nosuid,nodev shared:32 - tmpfs tmpfs rw\n"
    "32 22 7:1 / /snap/core22/1033 ro,nodev,relatime shared:33 - squashfs /dev/loop1 ro\n"
    "33 22 8:17 / /media/user/My\\040Disk rw,nosuid,nodev,relatime shared:40 - exfat /dev/sdb1 rw\n"
    "34 27 8:33 / /run/media/user/STICK rw,nosuid,nodev,relatime shared:41 - vfat /dev/sdc1 rw\n"
    "35 27 0:50 / /run/user/1000 rw,nosuid,nodev,relatime shared:42 - tmpfs tmpfs rw,size=1611848k\n"
    "36 35 0:51 / /run/user/1000/gvfs rw,nosuid,nodev,relatime shared:43 - fuse.gvfsd-fuse gvfsd-fuse "
    "rw,user_id=1000\n"
    "37 22 8:3 /srv /srv rw,relatime shared:31 - ext4 /dev/sda3 rw\n"
    "38 22 0:60 / /mnt/share rw,relatime shared:50 master:2 - cifs //server/share rw,vers=3.1.1\n"
    "39 22 8:2 /var/lib/docker /var/lib/docker rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "40 22 7:2 / /var/lib/snapd/hostfs ro,relatime - ext4 /dev/sda2 ro\n"
    "41 22 0:70 / /mnt/usb rw,relatime - vfat /dev/sdd1 rw\n"
    "42 22 0:71 / /mnt/usb rw,relatime - ext4 /dev/sde1 rw\n";

std::vector<std::string> points(const std::vector<Mount>& table) {
    std::vector<std::string> out;
    for (const Mount& m : table)
        out.push_back(m.point);
    return out;
}

TEST(MountsParse, RecordedLinesGiveTheirFields) {
    std::vector<Mount> table = mounts::parse_mountinfo(kDesktopTable);
    ASSERT_EQ(table.size(), 21u);
    EXPECT_EQ(table[0], (Mount{"/", "ext4", "/dev/sda2", false}));
    EXPECT_EQ(table[3], (Mount{"/dev", "devtmpfs", "udev", false}));
    EXPECT_EQ(table[10], (Mount{"/snap/core22/1033", "squashfs", "/dev/loop1", true}));
    EXPECT_EQ(table[11], (Mount{"/media/user/My Disk", "exfat", "/dev/sdb1", false}));
    EXPECT_EQ(table[14], (Mount{"/run/user/1000/gvfs", "fuse.gvfsd-fuse", "gvfsd-fuse", false}));
    // Two optional tags before the separator.
    EXPECT_EQ(table[16], (Mount{"/mnt/share", "cifs", "//server/share", false}));
    // No optional tag at all.
    EXPECT_EQ(table[18], (Mount{"/var/lib/snapd/hostfs", "ext4", "/dev/sda2", true}));
}

TEST(MountsParse, LinesAndTheirFields) {
    struct Case {
        const char* name;
        const char* line;
        bool parsed;
        Mount expected;
    };
    const std::vector<Case> cases = {
        {"plain", "1 0 8:1 / /data rw - xfs /dev/sdb1 rw", true, {"/data", "xfs", "/dev/sdb1", false}},
        {"ro alone", "1 0 8:1 / /data ro - xfs /dev/sdb1 rw", true, {"/data", "xfs", "/dev/sdb1", true}},
        {"ro first",
         "1 0 8:1 / /data ro,nosuid - xfs /dev/sdb1 rw",
         true,
         {"/data", "xfs", "/dev/sdb1", true}},
        {"ro later in options is not read-only",
         "1 0 8:1 / /data nosuid,ro - xfs /dev/sdb1 rw",
         true,
         {"/data", "xfs", "/dev/sdb1", false}},
        {"rw mount on a ro super block",
         "1 0 8:1 / /data rw,relatime - xfs /dev/sdb1 ro",
         true,
         {"/data", "xfs", "/dev/sdb1", false}},
        {"rootless word",
         "1 0 8:1 / /data rocket - xfs /dev/sdb1 rw",
         true,
         {"/data", "xfs", "/dev/sdb1", false}},
        {"tabs and repeated blanks",
         "1\t0  8:1 / /data rw  shared:1 master:2 -  xfs /dev/sdb1",
         true,
         {"/data", "xfs", "/dev/sdb1", false}},
        {"escaped source",
         "1 0 0:9 / /net rw - cifs //srv/My\\040Share rw",
         true,
         {"/net", "cifs", "//srv/My Share", false}},
        {"type kept as is",
         "1 0 0:9 / /Fuse rw - fuse.SSHFS user@host:/x rw",
         true,
         {"/Fuse", "fuse.SSHFS", "user@host:/x", false}},
        {"no separator", "1 0 8:1 / /data rw shared:1 xfs /dev/sdb1 rw", false, {}},
        {"five words before separator", "1 0 8:1 / /data - xfs /dev/sdb1 rw", false, {}},
        {"one word after separator", "1 0 8:1 / /data rw - xfs", false, {}},
        {"empty line", "", false, {}},
        {"blank line", "   \t ", false, {}},
    };
    for (const Case& c : cases) {
        std::vector<Mount> table = mounts::parse_mountinfo(c.line);
        ASSERT_EQ(table.size(), c.parsed ? 1u : 0u) << c.name;
        if (c.parsed) {
            EXPECT_EQ(table[0], c.expected) << c.name;
        }
    }
}

TEST(MountsParse, MalformedLinesAreSkippedAndTheRestKept) {
    std::vector<Mount> table = mounts::parse_mountinfo("garbage\n"
                                                       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                                       "\n"
                                                       "2 1 8:2 / /x rw -\n"
                                                       "3 1 8:3 / /home rw - ext4 /dev/sda3 rw");
    EXPECT_EQ(points(table), (std::vector<std::string>{"/", "/home"}));
}

TEST(MountsUnescape, Cases) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"/media/user/My\\040Disk", "/media/user/My Disk"},
        {"a\\011b", "a\tb"},
        {"a\\012b", "a\nb"},
        {"back\\134slash", "back\\slash"},
        {"\\101\\102\\103", "ABC"},
        {"\\303\\251t\\303\\251", "\xc3\xa9t\xc3\xa9"},
        {"\\04", "\\04"}, // too close to the end
        {"x\\0", "x\\0"},
        {"x\\", "x\\"},
        {"\\08x", "\\08x"}, // 8 is no octal digit
        {"\\400", "\\400"}, // beyond a byte
        {"\\\\040", "\\ "}, // a plain backslash, then an escape
        {"", ""},
        {"plain", "plain"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mounts::unescape(c.in), c.out) << "input " << c.in;
}

TEST(MountsLookup, LongestPointOnComponentBoundaries) {
    std::vector<Mount> table = mounts::parse_mountinfo("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                                       "2 1 8:3 / /home rw - ext4 /dev/sda3 rw\n"
                                                       "3 2 8:4 / /home/user/big rw - xfs /dev/sdb1 rw\n"
                                                       "4 1 8:5 / /mnt rw - ext4 /dev/sdc1 rw\n"
                                                       "5 1 8:6 / /mnt rw - vfat /dev/sdd1 rw\n"
                                                       "6 1 8:7 / /mnt/a\\040b rw - ext4 /dev/sde1 rw\n");
    struct Case {
        std::string path, point, source;
    };
    const std::vector<Case> cases = {
        {"/home/user/file", "/home", "/dev/sda3"},
        {"/home", "/home", "/dev/sda3"},
        {"/home/", "/home", "/dev/sda3"},
        {"/home2", "/", "/dev/sda1"},
        {"/home2/x", "/", "/dev/sda1"},
        {"/home/user/big", "/home/user/big", "/dev/sdb1"},
        {"/home/user/bigger", "/home", "/dev/sda3"},
        {"/home/user/big/deep/file", "/home/user/big", "/dev/sdb1"},
        {"/", "/", "/dev/sda1"},
        {"/mnt/x", "/mnt", "/dev/sdd1"}, // stacked: the later line is on top
        {"/mnt/a b/file", "/mnt/a b", "/dev/sde1"},
        {"/mnt/a", "/mnt", "/dev/sdd1"},
        {"/etc/passwd", "/", "/dev/sda1"},
    };
    for (const Case& c : cases) {
        const Mount* m = mounts::lookup(table, c.path);
        ASSERT_NE(m, nullptr) << c.path;
        EXPECT_EQ(m->point, c.point) << c.path;
        EXPECT_EQ(m->source, c.source) << c.path;
        const Mount* f = mounts::for_path(table, c.path);
        ASSERT_NE(f, nullptr) << c.path;
        EXPECT_EQ(f->source, c.source) << c.path;
    }
}

TEST(MountsLookup, EmptyTableOrNoRootFindsNothing) {
    std::vector<Mount> empty;
    EXPECT_EQ(mounts::lookup(empty, "/home"), nullptr);
    EXPECT_EQ(mounts::for_path(empty, "/home"), nullptr);
    std::vector<Mount> only_home = mounts::parse_mountinfo("2 1 8:3 / /home rw - ext4 /dev/sda3 rw\n");
    EXPECT_EQ(mounts::lookup(only_home, "/etc"), nullptr);
    EXPECT_EQ(mounts::for_path(only_home, "/etc"), nullptr);
    ASSERT_NE(mounts::for_path(only_home, "/home/u"), nullptr);
}

// A snap's sandbox: its own root, and the host's file systems below the host view.
TEST(MountsLookup, HostViewPathFindsTheHostMountNotTheSandboxRoot) {
    std::vector<Mount> table =
        mounts::parse_mountinfo("100 90 7:3 / / ro,nodev,relatime - squashfs /dev/loop3 ro\n"
                                "101 100 8:2 / /var/lib/snapd/hostfs rw,relatime - ext4 /dev/sda2 rw\n"
                                "102 101 8:3 / /var/lib/snapd/hostfs/data rw,relatime - xfs /dev/sdb1 rw\n"
                                "103 100 8:4 / /data rw,relatime - btrfs /dev/sdc1 rw\n");
    // The host root seen through the view maps to "/", so the direct answer is not taken; the display
    // path "/data/x" then finds the mount on /data.
    const Mount* m = mounts::for_path(table, "/var/lib/snapd/hostfs/data/x");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->point, "/var/lib/snapd/hostfs/data");

    m = mounts::for_path(table, "/var/lib/snapd/hostfs/etc/x");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->point, "/var/lib/snapd/hostfs") << "falls back to the direct lookup";

    m = mounts::for_path(table, "/data/file");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->source, "/dev/sdc1");

    m = mounts::for_path(table, "/usr/bin");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->point, "/");
}

TEST(MountsTypes, Sets) {
    struct Case {
        const char* type;
        bool pseudo, risky, image;
    };
    const std::vector<Case> cases = {
        {"proc", true, false, false},     {"sysfs", true, false, false},
        {"cgroup2", true, false, false},  {"binfmt_misc", true, false, false},
        {"swap", true, false, false},     {"ramfs", true, false, false},
        {"tmpfs", false, false, false},   {"ext4", false, false, false},
        {"nfs4", false, true, false},     {"cifs", false, true, false},
        {"9p", false, true, false},       {"sshfs", false, true, false},
        {"fuse", false, true, false},     {"fuse.sshfs", false, true, false},
        {"fuseblk", false, true, false},  {"fusectl", true, true, false},
        {"Proc", false, false, false},    {"NFS", false, false, false},
        {"squashfs", false, false, true}, {"erofs", false, false, true},
        {"iso9660", false, false, true},  {"udf", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mounts::is_pseudo_fs(c.type), c.pseudo) << c.type;
        EXPECT_EQ(mounts::is_risky_fs(c.type), c.risky) << c.type;
        EXPECT_EQ(mounts::is_image_fs(c.type), c.image) << c.type;
    }
}

TEST(MountsScannable, DesktopTableKeepsUserPlaces) {
    std::vector<Mount> roots = mounts::scannable_roots(mounts::parse_mountinfo(kDesktopTable));
    // /srv is a bind of /dev/sda3, already kept as /home; /var/lib/docker is noise; the second /mnt/usb
    // is a duplicate point.
    EXPECT_EQ(points(roots), (std::vector<std::string>{"/", "/home", "/media/user/My Disk",
                                                       "/run/media/user/STICK", "/mnt/share", "/mnt/usb"}));
    EXPECT_EQ(roots.back().source, "/dev/sdd1") << "the first mount on a point wins";
}

TEST(MountsScannable, RulesInOrder) {
    struct Case {
        const char* name;
        std::string table;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases = {
        {"pseudo and tmpfs dropped",
         "1 0 0:1 / /a rw - proc proc rw\n2 0 0:2 / /b rw - tmpfs tmpfs rw\n3 0 0:3 / /c rw - ext4 c rw\n",
         {"/c"}},
        {"ramfs is pseudo", "1 0 0:1 / /a rw - ramfs none rw\n", {}},
        {"under /snap",
         "1 0 7:1 / /snap rw - ext4 /dev/loop1 rw\n2 0 7:2 / /snapshots rw - ext4 x rw\n",
         {"/snapshots"}},
        {"squashfs anywhere", "1 0 7:1 / /opt/img rw - squashfs /dev/loop1 ro\n", {}},
        {"erofs is not dropped", "1 0 7:1 / /opt/img rw - erofs /dev/loop1 ro\n", {"/opt/img"}},
        {"snapd paths",
         "1 0 8:1 / /var/snap/x rw - ext4 a rw\n2 0 8:2 / /var/lib/snapd/hostfs rw - ext4 b rw\n",
         {}},
        {"noise prefixes",
         "1 0 8:1 / /usr rw - ext4 a rw\n2 0 8:2 / /etc/x rw - ext4 b rw\n3 0 8:3 / /boot rw - ext4 c rw\n"
         "4 0 8:4 / /var rw - ext4 d rw\n5 0 8:5 / /run/mount rw - ext4 e rw\n"
         "6 0 8:6 / /variable rw - ext4 f rw\n7 0 8:7 / /devices rw - ext4 g rw\n",
         {"/variable", "/devices"}},
        {"/run/media stays",
         "1 0 8:1 / /run/media rw - ext4 a rw\n2 0 8:2 / /run/media/u/x rw - ext4 b rw\n",
         {"/run/media", "/run/media/u/x"}},
        {"duplicate points, first wins",
         "1 0 8:1 / /mnt/x rw - ext4 /dev/sda1 rw\n2 0 8:2 / /mnt/x rw - xfs /dev/sdb1 rw\n",
         {"/mnt/x"}},
        {"a dropped pseudo mount does not claim its point",
         "1 0 0:1 / /mnt/x rw - autofs systemd-1 rw\n2 0 8:2 / /mnt/x rw - xfs /dev/sdb1 rw\n",
         {"/mnt/x"}},
        {"point claimed by a mount the device rule dropped",
         "1 0 8:1 / /data rw - ext4 /dev/sda1 rw\n2 0 8:1 / /mnt/x rw - ext4 /dev/sda1 rw\n"
         "3 0 8:2 / /mnt/x rw - xfs /dev/sdb1 rw\n",
         {"/data"}},
        {"bind mount listed once",
         "1 0 8:2 / /home rw - ext4 /dev/sda2 rw\n2 0 8:2 /x /mnt/x rw - ext4 /dev/sda2 rw\n",
         {"/home"}},
        {"non-device sources may repeat",
         "1 0 0:1 / /mnt/a rw - nfs srv:/x rw\n2 0 0:2 / /mnt/b rw - nfs srv:/x rw\n",
         {"/mnt/a", "/mnt/b"}},
        {"table order kept",
         "1 0 8:1 / /mnt/z rw - ext4 /dev/sda1 rw\n2 0 8:2 / / rw - ext4 /dev/sda2 rw\n",
         {"/mnt/z", "/"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(points(mounts::scannable_roots(mounts::parse_mountinfo(c.table))), c.kept) << c.name;
}

TEST(MountsLive, ThisProcessTableIsReadOnceAndHoldsRoot) {
    const std::vector<Mount>& table = mounts::all();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(&table, &mounts::all());
    const Mount* root = mounts::for_path("/");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->point, "/");
    const Mount* proc = mounts::for_path("/proc/self");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc->fs_type, "proc");
    for (const Mount& m : mounts::scannable_roots()) {
        EXPECT_FALSE(mounts::is_pseudo_fs(m.fs_type)) << m.point;
        EXPECT_NE(m.fs_type, "tmpfs") << m.point;
    }
}

// Inside a snap the sandbox has its own root and reaches the host's disks through the host view. The
// check needs a real host-view folder and snap variables, so it runs in a child process with its own
// mount namespace, where a tmpfs over /var holds the folder without touching this machine.
TEST(MountsSnap, SandboxPathFindsTheHostMountBehindTheHostView) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    std::string self(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    ASSERT_GT(n, 0);
    self.resize(n);
    const std::string filter = "--gtest_filter=MountsSnapChild.*";
    char* argv[] = {self.data(), const_cast<char*>(filter.c_str()), nullptr};
    setenv("TAVRIN_MOUNTS_SNAP_CHILD", "1", 1);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ);
    unsetenv("TAVRIN_MOUNTS_SNAP_CHILD");
    ASSERT_EQ(rc, 0);
    int status = -1;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed; see its output above";
}

TEST(MountsSnapChild, HostView) {
    if (!std::getenv("TAVRIN_MOUNTS_SNAP_CHILD"))
        GTEST_SKIP() << "runs only in the child of SandboxPathFindsTheHostMountBehindTheHostView";
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", "/var", "tmpfs", 0, "size=1m"), 0);
    for (const char* d : {"/var/lib", "/var/lib/snapd", "/var/lib/snapd/hostfs"})
        ASSERT_EQ(::mkdir(d, 0755), 0) << d;
    setenv("SNAP", "/snap/tavrin/1", 1);
    setenv("SNAP_NAME", "tavrin", 1);
    setenv("HOME", "/home/u", 1);
    unsetenv("SNAP_REAL_HOME");
    ASSERT_TRUE(hostfs_available());

    std::vector<Mount> table =
        mounts::parse_mountinfo("100 90 7:3 / / ro,nodev,relatime - squashfs /dev/loop3 ro\n"
                                "101 100 8:2 / /var/lib/snapd/hostfs rw,relatime - ext4 /dev/sda2 rw\n"
                                "102 101 8:3 / /var/lib/snapd/hostfs/data rw,relatime - xfs /dev/sdb1 rw\n"
                                "103 100 8:4 / /home rw,relatime - ext4 /dev/sdc1 rw\n");
    struct Case {
        std::string path, source;
    };
    const std::vector<Case> cases = {
        {"/data/x", "/dev/sdb1"},                      // found through the host view
        {"/data", "/dev/sdb1"},                        //
        {"/var/lib/snapd/hostfs/data/x", "/dev/sdb1"}, // already a host-view path
        {"/home/u/file", "/dev/sdc1"},                 // reachable directly
        {"/etc/passwd", "/dev/loop3"},                 // only the host root: the sandbox root stays
        {"/var/lib/snapd/hostfs/etc", "/dev/sda2"},
    };
    for (const Case& c : cases) {
        const Mount* m = mounts::for_path(table, c.path);
        ASSERT_NE(m, nullptr) << c.path;
        EXPECT_EQ(m->source, c.source) << c.path;
    }
}

} // namespace
