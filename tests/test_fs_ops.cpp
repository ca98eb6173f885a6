#include "fs/fs_ops.h"

#include "child.h"
#include "fs_mounts.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::TempDir;
using testsupport::write_file;

namespace {

std::string sys(const std::string& path, int code) {
    return path + ": " + strerror(code);
}

// Runs `fn` in a child process that has dropped to the user "nobody" and returns its result; tests run
// as root, which the permission checks would otherwise never refuse.
std::string as_nobody(const std::function<std::string()>& fn) {
    return testsupport::in_child([&] { return testsupport::drop_to_nobody() ? fn() : "<setuid failed>"; });
}

uid_t nobody_uid() {
    struct passwd* pw = getpwnam("nobody");
    return pw ? pw->pw_uid : 65534;
}

gid_t nobody_gid() {
    struct passwd* pw = getpwnam("nobody");
    return pw ? pw->pw_gid : 65534;
}

struct FailCase {
    const char* name;
    std::function<std::string(const TempDir&)> op;
    std::string rel_path; // the path the message must name, relative to the temp dir
    int code;
};

} // namespace

TEST(FsOpsErrors, MessagesNameThePathAndKeepTheCode) {
    TempDir dir;
    write_file(dir.sub("file"), "x");
    testsupport::make_dir(dir.sub("full"));
    write_file(dir.sub("full/inside"), "x");
    const std::vector<FailCase> cases = {
        {"remove missing file", [](const TempDir& d) { return fsops::remove_file(d.sub("none")); }, "none",
         ENOENT},
        {"make_dir over a file", [](const TempDir& d) { return fsops::make_dir(d.sub("file"), 0755); },
         "file", EEXIST},
        {"remove_dir of a full folder", [](const TempDir& d) { return fsops::remove_dir(d.sub("full")); },
         "full", ENOTEMPTY},
        {"remove_dir of a file", [](const TempDir& d) { return fsops::remove_dir(d.sub("file")); }, "file",
         ENOTDIR},
        {"rename names its source",
         [](const TempDir& d) { return fsops::rename_path(d.sub("none"), d.sub("other")); }, "none", ENOENT},
        {"symlink names the link",
         [](const TempDir& d) { return fsops::make_symlink(d.sub("none"), d.sub("file")); }, "file", EEXIST},
        {"hard link of a missing file",
         [](const TempDir& d) { return fsops::make_hardlink(d.sub("none"), d.sub("l")); }, "l", ENOENT},
        {"read_link of a regular file",
         [](const TempDir& d) {
             std::string t;
             return fsops::read_link(d.sub("file"), t);
         },
         "file", EINVAL},
        {"remove_recursive of nothing",
         [](const TempDir& d) { return fsops::remove_recursive(d.sub("none")); }, "none", ENOENT},
        {"make_dirs through a file",
         [](const TempDir& d) { return fsops::make_dirs(d.sub("file/sub/deeper"), 0755); }, "file", EEXIST},
    };
    for (const auto& c : cases) {
        std::string msg = c.op(dir);
        EXPECT_EQ(msg, sys(dir.sub(c.rel_path), c.code)) << c.name;
        EXPECT_EQ(fsops::last_error_code(), c.code) << c.name;
    }
}

TEST(FsOpsErrors, LastErrorSurvivesSuccessAndStaysPerThread) {
    TempDir dir;
    EXPECT_FALSE(fsops::remove_file(dir.sub("none")).empty());
    EXPECT_EQ(fsops::make_dir(dir.sub("new"), 0755), "");
    EXPECT_EQ(fsops::last_error_code(), ENOENT) << "a success must not reset the code";

    int other = -1;
    std::thread t([&] {
        write_file(dir.sub("f"), "x");
        EXPECT_FALSE(fsops::make_dir(dir.sub("f"), 0755).empty()) << "a file is in the way";
        other = fsops::last_error_code();
    });
    t.join();
    EXPECT_EQ(other, EEXIST);
    EXPECT_EQ(fsops::last_error_code(), ENOENT);
}

TEST(FsOpsErrors, PermissionDeniedForAnUnprivilegedUser) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755); // traversable, not writable by others
    std::string target = dir.sub("blocked");
    std::string got = as_nobody([&] {
        std::string msg = fsops::make_dir(target, 0755);
        return msg + "|" + std::to_string(fsops::last_error_code());
    });
    EXPECT_EQ(got, sys(target, EACCES) + "|" + std::to_string(EACCES));
}

TEST(FsOpsErrors, TransientCodes) {
    const std::vector<std::pair<int, bool>> cases = {
        {EINTR, true},     {EIO, true},           {EAGAIN, true},       {EBUSY, true},      {ETXTBSY, true},
        {ENETDOWN, true},  {ENETUNREACH, true},   {ECONNABORTED, true}, {ECONNRESET, true}, {ETIMEDOUT, true},
        {EHOSTDOWN, true}, {EHOSTUNREACH, true},  {ESTALE, true},       {EREMOTEIO, true},  {0, false},
        {ENOSPC, false},   {EACCES, false},       {EPERM, false},       {ENOENT, false},    {EROFS, false},
        {EDQUOT, false},   {ENAMETOOLONG, false}, {ECANCELED, false},   {-1, false},
    };
    for (auto [code, transient] : cases)
        EXPECT_EQ(fsops::is_transient(code), transient) << "errno " << code << " " << strerror(code);
}

TEST(FsOpsStat, KindsSizesTimesAndModes) {
    TempDir dir;
    write_file(dir.sub("file"), "hello", 04755);
    chmod(dir.sub("file").c_str(), 04755);
    struct timespec times[2] = {{1000, 0}, {1234567890, 999}};
    utimensat(AT_FDCWD, dir.sub("file").c_str(), times, 0);
    testsupport::make_dir(dir.sub("sub"), 01777);
    symlink("file", dir.sub("link").c_str());
    symlink("missing", dir.sub("dangling").c_str());
    struct stat st;
    ::stat(dir.path().c_str(), &st);

    fsops::Stat f = fsops::lstat_path(dir.sub("file"));
    EXPECT_TRUE(f.exists && f.is_regular);
    EXPECT_FALSE(f.is_dir || f.is_symlink);
    EXPECT_EQ(f.size, 5);
    EXPECT_EQ(f.mtime, 1234567890);
    EXPECT_EQ(f.perm, 04755u);
    EXPECT_EQ(f.device, uint64_t(st.st_dev));

    fsops::Stat d = fsops::stat_path(dir.sub("sub"));
    EXPECT_TRUE(d.exists && d.is_dir);
    EXPECT_EQ(d.perm, 01777u);

    fsops::Stat l = fsops::lstat_path(dir.sub("link"));
    EXPECT_TRUE(l.exists && l.is_symlink);
    EXPECT_FALSE(l.is_regular);
    fsops::Stat followed = fsops::stat_path(dir.sub("link"));
    EXPECT_TRUE(followed.is_regular);
    EXPECT_FALSE(followed.is_symlink);
    EXPECT_EQ(followed.size, 5);

    EXPECT_TRUE(fsops::exists(dir.sub("dangling")));
    EXPECT_FALSE(fsops::stat_path(dir.sub("dangling")).exists);
    EXPECT_FALSE(fsops::exists(dir.sub("none")));

    fsops::Stat none = fsops::lstat_path(dir.sub("none"));
    EXPECT_FALSE(none.exists || none.is_dir || none.is_symlink || none.is_regular);
    EXPECT_EQ(none.size + none.mtime + none.perm + int64_t(none.device), 0);
}

TEST(FsOpsCreate, MakeDirAndMakeDirs) {
    TempDir dir;
    mode_t old = umask(0);
    EXPECT_EQ(fsops::make_dir(dir.sub("a"), 0700), "");
    EXPECT_EQ(fsops::lstat_path(dir.sub("a")).perm, 0700u);
    EXPECT_EQ(fsops::make_dir(dir.sub("a"), 0755), "") << "an existing folder is fine";

    EXPECT_EQ(fsops::make_dirs(dir.sub("x/y/z/"), 0750), "");
    for (const char* p : {"x", "x/y", "x/y/z"}) {
        EXPECT_TRUE(fsops::stat_path(dir.sub(p)).is_dir) << p;
        EXPECT_EQ(fsops::stat_path(dir.sub(p)).perm, 0750u) << p;
    }
    EXPECT_EQ(fsops::make_dirs(dir.sub("x/y/z"), 0750), "") << "all levels already there";
    umask(old);

    const std::vector<std::string> invalid = {"", "relative/path", "./x"};
    for (const auto& p : invalid) {
        EXPECT_EQ(fsops::make_dirs(p, 0755), "invalid path: " + p) << p;
        EXPECT_EQ(fsops::last_error_code(), EINVAL);
    }
}

TEST(FsOpsRemove, RecursiveRemovesEverythingAndCountsEachItem) {
    TempDir dir;
    TempDir outside;
    write_file(outside.sub("keep"), "precious");
    testsupport::make_dir(dir.sub("t"));
    testsupport::make_dir(dir.sub("t/a"));
    testsupport::make_dir(dir.sub("t/a/b"));
    testsupport::make_dir(dir.sub("t/empty"));
    write_file(dir.sub("t/1"), "1");
    write_file(dir.sub("t/a/2"), "2");
    write_file(dir.sub("t/a/b/3"), "3");
    symlink(outside.path().c_str(), dir.sub("t/a/link-to-dir").c_str());
    mkfifo(dir.sub("t/fifo").c_str(), 0644);

    int removed = 0;
    EXPECT_EQ(fsops::remove_recursive(dir.sub("t"), [&] { ++removed; }), "");
    EXPECT_FALSE(fsops::exists(dir.sub("t")));
    EXPECT_EQ(removed, 9); // 4 folders, 3 files, the link and the pipe
    EXPECT_EQ(testsupport::read_file(outside.sub("keep")), "precious") << "links are removed, never followed";

    symlink(outside.path().c_str(), dir.sub("dirlink").c_str());
    EXPECT_EQ(fsops::remove_recursive(dir.sub("dirlink")), "");
    EXPECT_FALSE(fsops::exists(dir.sub("dirlink")));
    EXPECT_TRUE(fsops::exists(outside.sub("keep")));
}

TEST(FsOpsRemove, RecursiveGoesOnPastAFailureAndReportsTheFirst) {
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    std::string root = dir.sub("t");
    testsupport::make_dir(root);
    testsupport::make_dir(root + "/a");
    testsupport::make_dir(root + "/locked");
    testsupport::make_dir(root + "/z");
    write_file(root + "/a/f", "x");
    write_file(root + "/locked/stuck", "x");
    write_file(root + "/z/f", "x");
    // Everything belongs to nobody except "locked", which nobody may read but not change.
    for (const char* p : {"", "/a", "/a/f", "/z", "/z/f"})
        ASSERT_EQ(lchown((root + p).c_str(), nobody_uid(), nobody_gid()), 0) << p;

    std::string got = as_nobody([&] {
        int removed = 0;
        std::string msg = fsops::remove_recursive(root, [&] { ++removed; });
        return msg + "|" + std::to_string(removed);
    });
    EXPECT_EQ(got, sys(root + "/locked/stuck", EACCES) + "|4");
    EXPECT_TRUE(fsops::exists(root + "/locked/stuck"));
    EXPECT_FALSE(fsops::exists(root + "/a"));
    EXPECT_FALSE(fsops::exists(root + "/z"));
}

TEST(FsOpsRename, RenameAndCrossDevice) {
    TempDir dir;
    write_file(dir.sub("from"), "data");
    EXPECT_FALSE(fsops::rename_would_cross_device(dir.sub("from"), dir.sub("to")));
    EXPECT_EQ(fsops::rename_path(dir.sub("from"), dir.sub("to")), "");
    EXPECT_EQ(testsupport::read_file(dir.sub("to")), "data");

    // The exclusive rename takes a free name and never replaces a taken one.
    write_file(dir.sub("other"), "other");
    EXPECT_EQ(fsops::rename_exclusive(dir.sub("to"), dir.sub("other")),
              dir.sub("to") + ": " + strerror(EEXIST));
    EXPECT_EQ(fsops::last_error_code(), EEXIST);
    EXPECT_EQ(testsupport::read_file(dir.sub("other")), "other");
    EXPECT_EQ(fsops::rename_exclusive(dir.sub("to"), dir.sub("free")), "");
    EXPECT_EQ(fsops::rename_path(dir.sub("free"), dir.sub("to")), "");

    EXPECT_TRUE(fsops::rename_would_cross_device(dir.sub("none"), dir.sub("x"))) << "unknown source";
    EXPECT_TRUE(fsops::rename_would_cross_device(dir.sub("to"), dir.sub("missing/x"))) << "unknown folder";
    auto tmp = testsupport::ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(tmp);
    EXPECT_TRUE(fsops::rename_would_cross_device(dir.sub("to"), tmp.sub("x")));
    EXPECT_FALSE(fsops::rename_would_cross_device(dir.sub("to"), dir.sub("sub-not-there-yet")));
}

TEST(FsOpsLinks, ReadLinkOfShortRelativeDanglingAndLongTexts) {
    TempDir dir;
    const std::vector<std::string> texts = {"file",
                                            "../up/there",
                                            "/absolute/missing",
                                            std::string(1023, 'a'),
                                            std::string(1024, 'b'),
                                            std::string(4000, 'c')};
    int i = 0;
    for (const auto& text : texts) {
        std::string link = dir.sub("l" + std::to_string(i++));
        ASSERT_EQ(fsops::make_symlink(text, link), "");
        std::string got;
        EXPECT_EQ(fsops::read_link(link, got), "");
        EXPECT_EQ(got, text) << "text of " << text.size() << " bytes";
    }
    std::string untouched = "before";
    EXPECT_FALSE(fsops::read_link(dir.sub("none"), untouched).empty());
    EXPECT_EQ(untouched, "before");
}

TEST(FsOpsLinks, ReplaceKeepsTheOldEntryUntilTheNewOneExists) {
    TempDir dir;
    write_file(dir.sub("old"), "old");
    write_file(dir.sub("src"), "src");
    EXPECT_EQ(fsops::replace_with_symlink("src", dir.sub("old")), "");
    std::string text;
    EXPECT_EQ(fsops::read_link(dir.sub("old"), text), "");
    EXPECT_EQ(text, "src");

    EXPECT_EQ(fsops::replace_with_hardlink(dir.sub("src"), dir.sub("old")), "");
    struct stat a, b;
    lstat(dir.sub("src").c_str(), &a);
    lstat(dir.sub("old").c_str(), &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    // Linking a name to the file it already names changes nothing and leaves no spare name behind.
    EXPECT_EQ(fsops::replace_with_hardlink(dir.sub("src"), dir.sub("old")), "");
    EXPECT_EQ(fsops::replace_with_symlink("x", dir.sub("new")), "") << "nothing there before";

    // A folder in the way is not replaced, and the temporary link does not stay.
    testsupport::make_dir(dir.sub("folder"));
    write_file(dir.sub("folder/content"), "x");
    EXPECT_EQ(fsops::replace_with_symlink("src", dir.sub("folder")), sys(dir.sub("folder"), EISDIR));
    EXPECT_EQ(fsops::replace_with_hardlink(dir.sub("src"), dir.sub("folder")),
              sys(dir.sub("folder"), EISDIR));
    for (auto& e : std::vector<std::string>{"old", "src", "new", "folder"})
        EXPECT_TRUE(fsops::exists(dir.sub(e))) << e;
    std::string listing = testsupport::capture("ls -A '" + dir.path() + "'");
    EXPECT_EQ(listing, "folder\nnew\nold\nsrc\n");
}

TEST(FsOpsWholeFiles, WriteReplacingPutsTheNewContentInWhole) {
    struct Case {
        const char* name;
        const char* old_content;  // null: no file before
        std::string leftover_tmp; // a ".tmp" from an earlier crash, or empty for none
        std::string content;
        bool sync;
    };
    const std::vector<Case> cases = {
        {"new file", nullptr, "", "hello\n", false},
        {"new file, synced", nullptr, "", "hello\n", true},
        {"shorter than before", "a much longer old content\n", "", "short", true},
        {"longer than before", "old", "", std::string(100000, 'y'), false},
        {"empty", "old content", "", "", true},
        {"bytes with NUL", "old", "", std::string("a\0b\xff", 4), false},
        {"over a larger leftover tmp", "old", std::string(50000, 'x'), "fresh", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.sub("store.txt");
        if (c.old_content) write_file(path, c.old_content);
        if (!c.leftover_tmp.empty()) write_file(path + ".tmp", c.leftover_tmp);
        EXPECT_EQ(fsops::write_file_replacing(path, c.content, c.sync), "") << c.name;
        EXPECT_EQ(testsupport::read_file(path), c.content) << c.name;
        EXPECT_FALSE(fsops::exists(path + ".tmp")) << c.name;
    }
}

TEST(FsOpsWholeFiles, FailedWriteLeavesTheOldFileAndNoTemporary) {
    for (bool sync : {false, true}) {
        TempDir dir;
        const std::string path = dir.sub("store.txt");
        write_file(path, "old");
        // The temporary file lands on a device that is always full, so the data cannot be written.
        ASSERT_EQ(symlink("/dev/full", (path + ".tmp").c_str()), 0);
        EXPECT_EQ(fsops::write_file_replacing(path, std::string(70000, 'n'), sync),
                  sys(path + ".tmp", ENOSPC))
            << "sync " << sync;
        EXPECT_EQ(fsops::last_error_code(), ENOSPC);
        EXPECT_EQ(testsupport::read_file(path), "old") << "sync " << sync;
        EXPECT_FALSE(fsops::exists(path + ".tmp")) << "sync " << sync;
    }

    // A folder where the file should be: the rename fails, the folder stays and the temporary goes.
    TempDir dir;
    testsupport::make_dir(dir.sub("store.txt"));
    EXPECT_EQ(fsops::write_file_replacing(dir.sub("store.txt"), "x", false),
              sys(dir.sub("store.txt"), EISDIR));
    EXPECT_TRUE(fsops::stat_path(dir.sub("store.txt")).is_dir);
    EXPECT_FALSE(fsops::exists(dir.sub("store.txt.tmp")));
}

TEST(FsOpsWholeFiles, UnwritableFolderForAnUnprivilegedUser) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755); // readable by others, not writable
    const std::string path = dir.sub("store.txt");
    write_file(path, "old", 0666);
    const std::string got = as_nobody([&] { return fsops::write_file_replacing(path, "new", true); });
    EXPECT_EQ(got, sys(path + ".tmp", EACCES));
    EXPECT_EQ(testsupport::read_file(path), "old");
    EXPECT_FALSE(fsops::exists(path + ".tmp"));
}

TEST(FsOpsWholeFiles, ReadFileWholeOrLeavesTheOutputAlone) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 5000; ++i)
        big += std::to_string(i) + (i % 7 == 0 ? std::string(1, '\0') : "\n");
    write_file(dir.sub("big"), big);
    write_file(dir.sub("empty"), "");
    testsupport::make_dir(dir.sub("folder"));

    std::string out = "stale";
    EXPECT_EQ(fsops::read_file(dir.sub("big"), out), "");
    EXPECT_EQ(out, big) << "larger than one read, with NUL bytes";
    EXPECT_EQ(fsops::read_file(dir.sub("empty"), out), "");
    EXPECT_EQ(out, "");

    const std::vector<std::pair<std::string, int>> failures = {{"missing", ENOENT}, {"folder", EISDIR}};
    for (const auto& [rel, code] : failures) {
        out = "kept";
        EXPECT_EQ(fsops::read_file(dir.sub(rel), out), sys(dir.sub(rel), code)) << rel;
        EXPECT_EQ(out, "kept") << rel;
    }
}

TEST(FsOpsSpace, FreeAndTotalOfASmallTmpfs) {
    auto tmp = testsupport::ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(tmp);
    int64_t total = 0, free = 0;
    ASSERT_TRUE(fsops::disk_space(tmp.path(), total, free));
    EXPECT_EQ(total, 1 << 20);
    EXPECT_EQ(free, total);
    EXPECT_EQ(fsops::free_space(tmp.path()), free);
    write_file(tmp.sub("f"), std::string(256 * 1024, 'x'));
    EXPECT_EQ(fsops::free_space(tmp.path()), total - 256 * 1024);

    int64_t t = 7, f = 7;
    EXPECT_FALSE(fsops::disk_space(tmp.sub("none"), t, f));
    EXPECT_EQ(fsops::free_space(tmp.sub("none")), -1);
}

TEST(FsOpsNames, Validity) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"file.txt", true},
        {".hidden", true},
        {"...", true},
        {"name with spaces", true},
        {"\xc3\xa9t\xc3\xa9", true},
        {std::string(255, 'n'), true},
        {std::string(256, 'n'), false},
        {"", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {"/", false},
        {std::string("nul\0byte", 8), false},
    };
    for (const auto& [name, valid] : cases)
        EXPECT_EQ(fsops::is_valid_name(name), valid) << "name of " << name.size() << " bytes: " << name;
}

TEST(FsOpsNames, PartialCopyNames) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {".photo.jpg.tavrin-part-a1B2c3", true},
        {".a.tavrin-part-ZZZZZZ", true},
        {"..tavrin-part-ZZZZZZ", false}, // no name before the marker
        {"photo.jpg.tavrin-part-a1B2c3", false},
        {".photo.jpg.tavrin-part-a1B2c", false},
        {".photo.jpg.tavrin-part-a1B2c3.bak", false},
        {".tavrin-part-a1B2c3", false},
        {".photo.jpg.tavrin-part-a1B2-3", false},
        {".photo.jpg", false},
    };
    for (const auto& [name, partial] : cases)
        EXPECT_EQ(fsops::is_partial_copy_name(name), partial) << name;
}

TEST(FsOpsMeasure, CountsFilesFoldersLinksAndBytes) {
    TempDir dir;
    TempDir big;
    write_file(big.sub("large"), std::string(100000, 'x'));
    std::string t = dir.sub("t");
    testsupport::make_dir(t);
    testsupport::make_dir(t + "/sub");
    testsupport::make_dir(t + "/sub/deeper");
    write_file(t + "/a", std::string(10, 'a'));
    write_file(t + "/sub/b", std::string(200, 'b'));
    write_file(t + "/sub/deeper/c", "");
    symlink(big.path().c_str(), (t + "/sub/link").c_str());

    fsops::TreeSize s = fsops::measure_tree(t);
    EXPECT_EQ(s.bytes, 210);
    EXPECT_EQ(s.files, 4); // the link counts as a file of 0 bytes and is not followed
    EXPECT_EQ(s.dirs, 3);
    EXPECT_EQ(s.unreadable, 0);

    fsops::TreeSize one = fsops::measure_tree(t + "/sub/b");
    EXPECT_EQ(one.files, 1);
    EXPECT_EQ(one.bytes, 200);
    fsops::TreeSize none = fsops::measure_tree(t + "/none");
    EXPECT_EQ(none.files + none.dirs + none.bytes + none.unreadable, 0);
}

TEST(FsOpsMeasure, UnreadableFolderForAnUnprivilegedUser) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string t = dir.sub("t");
    testsupport::make_dir(t);
    testsupport::make_dir(t + "/closed", 0700);
    write_file(t + "/closed/hidden", "xxxx");
    write_file(t + "/open", "yy", 0644);
    std::string got = as_nobody([&] {
        fsops::TreeSize s = fsops::measure_tree(t);
        return std::to_string(s.files) + " " + std::to_string(s.dirs) + " " + std::to_string(s.bytes) + " " +
               std::to_string(s.unreadable);
    });
    EXPECT_EQ(got, "1 2 2 1");
}

TEST(FsOpsMeasure, ProgressEverySixtyFourEntriesWithRunningTotals) {
    TempDir dir;
    testsupport::make_dir(dir.sub("t"));
    for (int i = 0; i < 200; ++i)
        write_file(dir.sub("t/f" + std::to_string(i)), "abc");
    struct Call {
        int64_t bytes, files, dirs;
    };
    for (int round = 0; round < 2; ++round) { // a second walk starts again from zero
        std::vector<Call> calls;
        fsops::TreeSize s = fsops::measure_tree(dir.sub("t"), {}, [&](int64_t b, int64_t f, int64_t d) {
            calls.push_back({b, f, d});
        });
        EXPECT_EQ(s.files, 200);
        ASSERT_EQ(calls.size(), 4u) << "after 64, 128 and 192 entries and at the end";
        EXPECT_EQ(calls[0].files, 64);
        EXPECT_EQ(calls[0].bytes, 64 * 3);
        EXPECT_EQ(calls[0].dirs, 1);
        EXPECT_EQ(calls[2].files, 192);
        EXPECT_EQ(calls[3].files, 200);
        EXPECT_EQ(calls[3].bytes, 600);
    }
}

TEST(FsOpsMeasure, KeepGoingStopsTheWalk) {
    TempDir dir;
    testsupport::make_dir(dir.sub("t"));
    for (int i = 0; i < 50; ++i)
        write_file(dir.sub("t/f" + std::to_string(i)), "x");
    int asked = 0;
    fsops::TreeSize s = fsops::measure_tree(dir.sub("t"), [&] { return ++asked <= 10; });
    EXPECT_EQ(s.files, 10);
    EXPECT_EQ(s.dirs, 1);
}

TEST(FsOpsMeasure, ConcurrentWalksKeepTheirOwnTotals) {
    TempDir dir;
    for (int w = 0; w < 2; ++w) {
        testsupport::make_dir(dir.sub("t" + std::to_string(w)));
        for (int i = 0; i < 300 * (w + 1); ++i)
            write_file(dir.sub("t" + std::to_string(w) + "/f" + std::to_string(i)), "x");
    }
    std::atomic<int64_t> last[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int rep = 0; rep < 5; ++rep)
                fsops::measure_tree(dir.sub("t" + std::to_string(w)), {},
                                    [&](int64_t, int64_t files, int64_t) { last[w] = files; });
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(last[0], 300);
    EXPECT_EQ(last[1], 600);
}

// Starting to read a file that is not in the cache brings it in without waiting; one that is there
// already is only reported.
TEST(FsOpsReadAhead, BringsAnUncachedFileIntoTheCacheAndReportsACachedOne) {
    TempDir dir;
    const std::string path = dir.sub("data");
    write_file(path, std::string(64 * 1024, 'd'));
    testsupport::drop_from_cache(path);
    if (testsupport::first_page_cached(path)) GTEST_SKIP() << "this file system keeps the file in memory";
    EXPECT_FALSE(fsops::start_reading(path));
    bool cached = false;
    for (int i = 0; i < 500 && !cached; ++i) {
        cached = testsupport::first_page_cached(path);
        if (!cached) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(cached) << "the data did not come into the cache";
    EXPECT_TRUE(fsops::start_reading(path));
    EXPECT_FALSE(fsops::start_reading(dir.sub("missing")));
}
