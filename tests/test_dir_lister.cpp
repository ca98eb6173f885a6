#include "fs/dir_lister.h"
#include "fs/fs_ops.h"

#include "child.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::TempDir;
using Kind = FsEntry::Kind;

// Fault injection for the directory stream. The test program's own opendir/readdir/closedir take
// precedence over the C library's, also for the calls made inside the library under test, and pass
// everything through except the one folder a test names.
namespace fault {
std::string g_path;           // folder whose stream is tampered with
DIR* g_dir = nullptr;         // its open stream
int g_fail_after = -1;        // readdir calls that succeed before one fails with EIO; -1 never
bool g_unknown_types = false; // report every entry with DT_UNKNOWN, as some file systems do
int g_calls = 0;
int g_names_passed = 0; // entries other than "." and ".." handed out before the failure

void reset() {
    g_path.clear();
    g_dir = nullptr;
    g_fail_after = -1;
    g_unknown_types = false;
    g_calls = 0;
    g_names_passed = 0;
}

template <typename Fn> Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
} // namespace fault

extern "C" DIR* opendir(const char* name) {
    static auto real = fault::next<DIR* (*)(const char*)>("opendir");
    DIR* d = real(name);
    if (d && !fault::g_path.empty() && fault::g_path == name) {
        fault::g_dir = d;
        fault::g_calls = 0;
        fault::g_names_passed = 0;
    }
    return d;
}

// The raw listing opens its folder by descriptor; the folder is told by what the descriptor names.
extern "C" DIR* fdopendir(int fd) {
    static auto real = fault::next<DIR* (*)(int)>("fdopendir");
    DIR* d = real(fd);
    if (d && !fault::g_path.empty()) {
        char named[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(link.c_str(), named, sizeof named - 1);
        if (n > 0 && fault::g_path == std::string(named, size_t(n))) {
            fault::g_dir = d;
            fault::g_calls = 0;
            fault::g_names_passed = 0;
        }
    }
    return d;
}

extern "C" struct dirent* readdir(DIR* d) {
    static auto real = fault::next<struct dirent* (*)(DIR*)>("readdir");
    if (d != fault::g_dir || fault::g_dir == nullptr) return real(d);
    if (fault::g_fail_after >= 0 && fault::g_calls >= fault::g_fail_after) {
        errno = EIO;
        return nullptr;
    }
    ++fault::g_calls;
    struct dirent* e = real(d);
    if (e) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++fault::g_names_passed;
        if (fault::g_unknown_types) e->d_type = DT_UNKNOWN;
    }
    return e;
}

extern "C" int closedir(DIR* d) {
    static auto real = fault::next<int (*)(DIR*)>("closedir");
    if (d == fault::g_dir) fault::g_dir = nullptr;
    return real(d);
}

namespace {

struct FaultGuard {
    FaultGuard() { fault::reset(); }
    ~FaultGuard() { fault::reset(); }
};

const FsEntry* find(const dir_lister::Listing& l, const std::string& name) {
    for (const auto& e : l.entries)
        if (e.name == name) return &e;
    return nullptr;
}

const fsops::RawEntry* find_raw(const fsops::RawListing& l, const std::string& name) {
    for (const auto& e : l.entries)
        if (e.name == name) return &e;
    return nullptr;
}

void symlink_or_fail(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link << ": " << strerror(errno);
}

void make_socket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
    ::close(fd);
}

std::string current_user() {
    passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : std::to_string(geteuid());
}

std::string current_group() {
    group* gr = getgrgid(getegid());
    return gr ? gr->gr_name : std::to_string(getegid());
}

// Runs fn in a child process that has given up root for "nobody", and returns the text fn produced.
// Rights only matter without root, and the test suite itself runs as root.
std::string as_nobody(const std::function<std::string()>& fn) {
    return testsupport::in_child([&] {
        if (!testsupport::drop_to_nobody()) _exit(3);
        return fn();
    });
}

} // namespace

TEST(DirLister, EveryKindWithSizesLinkTextsAndCounts) {
    TempDir tmp;
    const std::string d = tmp.path();
    testsupport::write_file(d + "/plain.txt", "hello");
    testsupport::write_file(d + "/empty", "");
    {
        int fd = ::open((d + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 3 << 20), 0);
        ::close(fd);
    }
    testsupport::make_dir(d + "/sub");
    symlink_or_fail("plain.txt", d + "/to_file");
    symlink_or_fail("sub", d + "/to_dir");
    symlink_or_fail("missing-target", d + "/dangling");
    symlink_or_fail("to_dir", d + "/chain_to_dir");
    ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0600), 0);
    make_socket(d + "/sock");
    const bool have_device = ::mknod((d + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    struct Case {
        std::string name;
        Kind kind;
        int64_t size;
        std::string link_target;
    };
    std::vector<Case> cases = {
        {"plain.txt", Kind::File, 5, ""},
        {"empty", Kind::File, 0, ""},
        {"sparse", Kind::File, 3 << 20, ""},
        {"sub", Kind::Dir, -1, ""},
        {"to_file", Kind::Symlink, 9, "plain.txt"},
        {"to_dir", Kind::SymlinkDir, -1, "sub"},
        {"chain_to_dir", Kind::SymlinkDir, -1, "to_dir"},
        {"dangling", Kind::BrokenSymlink, 14, "missing-target"},
        {"pipe", Kind::Special, 0, ""},
        {"sock", Kind::Special, 0, ""},
    };
    if (have_device) cases.push_back({"null", Kind::Special, 0, ""});

    auto l = dir_lister::read(d, false);
    EXPECT_EQ(l.path, d);
    EXPECT_EQ(l.error, "");
    EXPECT_EQ(l.error_code, 0);
    ASSERT_EQ(l.entries.size(), cases.size() + 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FsEntry* e = find(l, c.name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(int(e->kind), int(c.kind));
        EXPECT_EQ(e->size, c.size);
        EXPECT_EQ(e->link_target, c.link_target);
        EXPECT_FALSE(e->hidden);
        EXPECT_EQ(e->owner, current_user());
        EXPECT_EQ(e->group, current_group());
        EXPECT_GT(e->mtime, 0);
        EXPECT_GT(e->ctime, 0);
        EXPECT_EQ(e->is_dir_like(), c.kind == Kind::Dir || c.kind == Kind::SymlinkDir);
        EXPECT_EQ(e->is_symlink(),
                  c.kind == Kind::Symlink || c.kind == Kind::SymlinkDir || c.kind == Kind::BrokenSymlink);
    }
    // Only regular files and real folders count; links to folders do not.
    EXPECT_EQ(l.file_count, 3);
    EXPECT_EQ(l.dir_count, 1);
    EXPECT_EQ(l.total_bytes, 5 + (3 << 20));
}

TEST(DirLister, ParentRowComesFirstExceptAtTheRoot) {
    TempDir tmp;
    testsupport::write_file(tmp.sub("a"), "x");
    auto l = dir_lister::read(tmp.path(), false);
    ASSERT_EQ(l.entries.size(), 2u);
    const FsEntry& p = l.entries[0];
    EXPECT_EQ(p.name, "..");
    EXPECT_EQ(int(p.kind), int(Kind::Parent));
    EXPECT_EQ(p.size, -1);
    EXPECT_EQ(p.perm, 0u);
    EXPECT_EQ(p.mtime, 0);
    EXPECT_EQ(p.owner, "");
    EXPECT_FALSE(p.is_dir_like());
    EXPECT_FALSE(p.is_symlink());
    EXPECT_EQ(l.file_count, 1);

    auto root = dir_lister::read("/", true);
    EXPECT_EQ(root.error_code, 0);
    ASSERT_FALSE(root.entries.empty());
    for (const auto& e : root.entries)
        EXPECT_NE(e.kind, Kind::Parent) << e.name;
    EXPECT_NE(find(root, "tmp"), nullptr);
}

TEST(DirLister, HiddenEntriesAppearOnlyOnRequestAndAreMarked) {
    TempDir tmp;
    testsupport::write_file(tmp.sub(".profile"), "1234567");
    testsupport::make_dir(tmp.sub(".cache"));
    testsupport::write_file(tmp.sub("visible"), "ab");

    auto off = dir_lister::read(tmp.path(), false);
    EXPECT_EQ(find(off, ".profile"), nullptr);
    EXPECT_EQ(find(off, ".cache"), nullptr);
    EXPECT_EQ(off.file_count, 1);
    EXPECT_EQ(off.dir_count, 0);
    EXPECT_EQ(off.total_bytes, 2);

    auto on = dir_lister::read(tmp.path(), true);
    ASSERT_NE(find(on, ".profile"), nullptr);
    ASSERT_NE(find(on, ".cache"), nullptr);
    EXPECT_TRUE(find(on, ".profile")->hidden);
    EXPECT_TRUE(find(on, ".cache")->hidden);
    EXPECT_FALSE(find(on, "visible")->hidden);
    EXPECT_FALSE(find(on, "..")->hidden);
    EXPECT_EQ(on.file_count, 2);
    EXPECT_EQ(on.dir_count, 1);
    EXPECT_EQ(on.total_bytes, 9);
    EXPECT_EQ(on.entries.size(), 4u);
}

TEST(DirLister, ModeBitsTimesAndOwners) {
    TempDir tmp;
    const std::string f = tmp.sub("f");
    testsupport::write_file(f, "x");
    ASSERT_EQ(chmod(f.c_str(), 04751), 0);
    timespec times[2] = {{1111111111, 0}, {1234567890, 999999999}};
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);

    auto l = dir_lister::read(tmp.path(), false);
    const FsEntry* e = find(l, "f");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->perm, 04751u);
    EXPECT_EQ(e->mtime, 1234567890);
    EXPECT_GE(e->btime, 0);
    EXPECT_EQ(dir_lister::permission_string(*e), "-rwsr-x--x");

    if (geteuid() != 0) GTEST_SKIP() << "owner change needs root";
    // Ids without an account show as numbers.
    uid_t uid = 54321;
    gid_t gid = 54322;
    ASSERT_EQ(getpwuid(uid), nullptr);
    ASSERT_EQ(getgrgid(gid), nullptr);
    ASSERT_EQ(lchown(f.c_str(), uid, gid), 0);
    testsupport::write_file(tmp.sub("rootfile"), "");
    l = dir_lister::read(tmp.path(), false);
    EXPECT_EQ(find(l, "f")->owner, "54321");
    EXPECT_EQ(find(l, "f")->group, "54322");
    EXPECT_EQ(find(l, "rootfile")->owner, "root");
    EXPECT_EQ(find(l, "rootfile")->group, "root");
    EXPECT_EQ(dir_lister::user_name(0), "root");
    EXPECT_EQ(dir_lister::group_name(54322), "54322");
}

TEST(DirLister, InvalidUtf8IsRepairedWhileTheFileIsStillReached) {
    TempDir tmp;
    testsupport::write_file(tmp.sub("bad\xff\xfe.txt"), "abc");
    testsupport::write_file(tmp.sub("cut\xc3"), "abcd");
    testsupport::write_file(tmp.sub("na\xc3\xafve"), "ab");
    symlink_or_fail("t\xfe", tmp.sub("link"));

    auto l = dir_lister::read(tmp.path(), false);
    struct Case {
        std::string name;
        Kind kind;
        int64_t size;
        std::string link_target;
    };
    const std::vector<Case> cases = {
        {"bad\xEF\xBF\xBD\xEF\xBF\xBD.txt", Kind::File, 3, ""},
        {"cut\xEF\xBF\xBD", Kind::File, 4, ""},
        {"na\xc3\xafve", Kind::File, 2, ""},
        {"link", Kind::BrokenSymlink, 2, "t\xEF\xBF\xBD"},
    };
    ASSERT_EQ(l.entries.size(), cases.size() + 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FsEntry* e = find(l, c.name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(int(e->kind), int(c.kind));
        EXPECT_EQ(e->size, c.size);
        EXPECT_EQ(e->link_target, c.link_target);
        EXPECT_NE(e->owner, "");
    }
    EXPECT_EQ(l.total_bytes, 9);
}

TEST(DirLister, FoldersThatCannotBeOpenedReportTheSystemError) {
    TempDir tmp;
    testsupport::write_file(tmp.sub("file"), "x");
    struct Case {
        std::string path;
        int code;
    };
    const std::vector<Case> cases = {
        {tmp.sub("missing"), ENOENT},
        {tmp.sub("file"), ENOTDIR},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto l = dir_lister::read(c.path, true);
        EXPECT_EQ(l.path, c.path);
        EXPECT_EQ(l.error_code, c.code);
        EXPECT_EQ(l.error, strerror(c.code));
        EXPECT_TRUE(l.entries.empty());
        EXPECT_EQ(l.file_count + l.dir_count, 0);

        auto raw = fsops::list_dir_raw(c.path);
        EXPECT_EQ(raw.error, c.path + ": " + strerror(c.code));
        EXPECT_TRUE(raw.entries.empty());
    }
}

TEST(DirLister, MissingRightsGiveEaccesAndUnreadableStatusGivesSpecialRows) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    TempDir tmp;
    const std::string closed = tmp.sub("closed");
    testsupport::make_dir(closed, 0700);
    testsupport::write_file(closed + "/secret", "x");
    // Readable but not searchable: the names can be listed, their status cannot be read.
    const std::string noexec = tmp.sub("noexec");
    testsupport::make_dir(noexec, 0744);
    testsupport::write_file(noexec + "/f", "abc");
    testsupport::make_dir(noexec + "/d");
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);

    std::string out = as_nobody([&] {
        auto l = dir_lister::read(closed, true);
        std::string s = std::to_string(l.error_code) + "|" + l.error + "|" + std::to_string(l.entries.size());
        auto raw = fsops::list_dir_raw(closed);
        s += "|" + raw.error + "|" + std::to_string(raw.entries.size());
        return s;
    });
    EXPECT_EQ(out, std::to_string(EACCES) + "|" + strerror(EACCES) + "|0|" + closed + ": " +
                       strerror(EACCES) + "|0");

    out = as_nobody([&] {
        auto l = dir_lister::read(noexec, false);
        std::string s = std::to_string(l.error_code) + ";" + std::to_string(l.file_count) + ";" +
                        std::to_string(l.dir_count) + ";" + std::to_string(l.total_bytes);
        std::vector<std::string> rows;
        for (const auto& e : l.entries)
            rows.push_back(e.name + ":" + std::to_string(int(e.kind)) + ":" + std::to_string(e.size) + ":" +
                           e.owner + ":" + std::to_string(e.mtime));
        std::sort(rows.begin(), rows.end());
        for (const auto& r : rows)
            s += ";" + r;
        return s;
    });
    // The rows are still there so that the user sees them, as Special entries of unknown size.
    EXPECT_EQ(out, "0;0;0;0;..:6:-1::0;d:5:-1::0;f:5:-1::0");
}

TEST(DirLister, StreamFailurePartWayIsReportedNotTakenForTheWholeFolder) {
    FaultGuard guard;
    TempDir tmp;
    for (int i = 0; i < 6; ++i)
        testsupport::write_file(tmp.sub("f" + std::to_string(i)), "xy");

    fault::g_path = tmp.path();
    fault::g_fail_after = 5;
    auto l = dir_lister::read(tmp.path(), false);
    ASSERT_GE(fault::g_names_passed, 3);
    ASSERT_LT(fault::g_names_passed, 6);
    EXPECT_EQ(l.error_code, EIO);
    EXPECT_EQ(l.error, strerror(EIO));
    EXPECT_EQ(int(l.entries.size()), 1 + fault::g_names_passed);
    EXPECT_EQ(l.file_count, fault::g_names_passed);

    auto raw = fsops::list_dir_raw(tmp.path());
    EXPECT_EQ(raw.error, tmp.path() + ": " + strerror(EIO));
    EXPECT_EQ(int(raw.entries.size()), fault::g_names_passed);

    fault::reset();
    l = dir_lister::read(tmp.path(), false);
    EXPECT_EQ(l.error_code, 0);
    EXPECT_EQ(l.file_count, 6);
}

// The raw listing must give the same answers whether or not the file system fills in the entry type.
class RawListing : public ::testing::TestWithParam<bool> {};

TEST_P(RawListing, KindsSizesAndIdentity) {
    FaultGuard guard;
    TempDir tmp;
    const std::string d = tmp.path();
    testsupport::write_file(d + "/f", "hello");
    ASSERT_EQ(link((d + "/f").c_str(), (d + "/f_hard").c_str()), 0);
    testsupport::write_file(d + "/.hidden", "1234");
    testsupport::make_dir(d + "/dir");
    symlink_or_fail("dir", d + "/l");
    ASSERT_EQ(mkfifo((d + "/p").c_str(), 0600), 0);
    testsupport::write_file(d + "/raw\xff", "12");
    struct stat fs;
    ASSERT_EQ(stat((d + "/f").c_str(), &fs), 0);

    fault::g_path = d;
    fault::g_unknown_types = GetParam();
    auto l = fsops::list_dir_raw(d);
    EXPECT_EQ(l.error, "");

    struct Case {
        std::string name;
        bool is_dir, is_symlink, is_special;
        int64_t size;
        uint32_t nlink;
    };
    const std::vector<Case> cases = {
        {"f", false, false, false, 5, 2},       {"f_hard", false, false, false, 5, 2},
        {".hidden", false, false, false, 4, 1}, {"raw\xff", false, false, false, 2, 1},
        {"dir", true, false, false, 0, 1},
    };
    ASSERT_EQ(l.entries.size(), cases.size() + 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fsops::RawEntry* e = find_raw(l, c.name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->is_dir, c.is_dir);
        EXPECT_EQ(e->is_symlink, c.is_symlink);
        EXPECT_EQ(e->is_special, c.is_special);
        if (!c.is_dir) {
            EXPECT_EQ(e->size, c.size);
            EXPECT_EQ(e->nlink, c.nlink);
            EXPECT_EQ(e->device, uint64_t(fs.st_dev));
            EXPECT_NE(e->inode, 0u);
        }
    }
    EXPECT_EQ(find_raw(l, "f")->inode, uint64_t(fs.st_ino));
    EXPECT_EQ(find_raw(l, "f_hard")->inode, uint64_t(fs.st_ino));
    ASSERT_NE(find_raw(l, "l"), nullptr);
    EXPECT_TRUE(find_raw(l, "l")->is_symlink);
    EXPECT_FALSE(find_raw(l, "l")->is_dir);
    ASSERT_NE(find_raw(l, "p"), nullptr);
    EXPECT_TRUE(find_raw(l, "p")->is_special);
    EXPECT_FALSE(find_raw(l, "p")->is_dir);
}

// A copy reads files in the order of the listing: by inode number, whatever order the folder's stream has
// (name hashes on ext4, newest first on tmpfs), so that the disk is read front to back.
TEST_P(RawListing, EntriesComeByInodeNumber) {
    FaultGuard guard;
    TempDir tmp;
    const std::string d = tmp.path();
    std::vector<std::string> names;
    for (int i = 0; i < 60; ++i) {
        names.push_back("file-" + std::to_string(i * 7919 % 1000));
        if (i % 10 == 0)
            testsupport::make_dir(d + "/" + names.back());
        else
            testsupport::write_file(d + "/" + names.back(), "x");
    }
    fault::g_path = d;
    fault::g_unknown_types = GetParam();
    auto l = fsops::list_dir_raw(d);
    EXPECT_EQ(l.error, "");
    ASSERT_EQ(l.entries.size(), names.size());
    uint64_t previous = 0;
    for (const fsops::RawEntry& e : l.entries) {
        struct stat st;
        ASSERT_EQ(lstat((d + "/" + e.name).c_str(), &st), 0) << e.name;
        EXPECT_LT(previous, uint64_t(st.st_ino)) << e.name << " comes after a higher inode number";
        previous = st.st_ino;
        names.erase(std::remove(names.begin(), names.end(), e.name), names.end());
    }
    EXPECT_TRUE(names.empty()) << "not listed: " << names.front();
}

INSTANTIATE_TEST_SUITE_P(TypeByte, RawListing, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Unknown" : "Known"; });

TEST(PermissionString, Table) {
    struct Case {
        Kind kind;
        uint32_t perm;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {Kind::Dir, 01777, "drwxrwxrwt"},       {Kind::File, 04644, "-rwSr--r--"},
        {Kind::File, 04755, "-rwsr-xr-x"},      {Kind::File, 02755, "-rwxr-sr-x"},
        {Kind::File, 02745, "-rwxr-Sr-x"},      {Kind::Dir, 01770, "drwxrwx--T"},
        {Kind::File, 0644, "-rw-r--r--"},       {Kind::File, 0, "----------"},
        {Kind::File, 07777, "-rwsrwsrwt"},      {Kind::File, 07000, "---S--S--T"},
        {Kind::File, 0421, "-r---w---x"},       {Kind::Symlink, 0777, "lrwxrwxrwx"},
        {Kind::SymlinkDir, 0755, "lrwxr-xr-x"}, {Kind::BrokenSymlink, 0777, "lrwxrwxrwx"},
        {Kind::Special, 0660, "srw-rw----"},    {Kind::Parent, 0755, ""},
    };
    for (const auto& c : cases) {
        FsEntry e;
        e.kind = c.kind;
        e.perm = c.perm;
        EXPECT_EQ(dir_lister::permission_string(e), c.expected)
            << "kind " << int(c.kind) << " mode 0" << std::oct << c.perm;
    }
}
