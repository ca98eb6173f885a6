#include "fs/fs_ops.h"

#include "fs_mounts.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::ScopedMount;
using testsupport::TempDir;

namespace {

constexpr int64_t MiB = 1 << 20;

std::string sys(const std::string& path, int code) {
    return path + ": " + strerror(code);
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

void write_at(int fd, int64_t off, const std::string& data) {
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), off), ssize_t(data.size()));
}

// A file of `size` bytes whose only data are the given pieces; everything else is a hole.
void make_sparse(const std::string& path, int64_t size,
                 const std::vector<std::pair<int64_t, int64_t>>& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    unsigned seed = 1;
    for (auto [off, len] : data)
        write_at(fd, off, random_bytes(size_t(len), seed++));
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

std::vector<std::string> partial_files(const std::string& dir) {
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (fsops::is_partial_copy_name(e->d_name)) found.emplace_back(e->d_name);
        closedir(d);
    }
    return found;
}

bool same_contents(const std::string& a, const std::string& b) {
    return testsupport::run("cmp -s '" + a + "' '" + b + "'") == 0;
}

// Records every progress call; with stop_after >= 0 it cancels once that many bytes were reported (0: at
// the first call).
struct Progress {
    std::vector<int64_t> calls;
    int64_t stop_after = -1;
    int64_t sum() const {
        int64_t s = 0;
        for (int64_t c : calls)
            s += c;
        return s;
    }
    fsops::CopyProgress fn() {
        return [this](int64_t n) {
            calls.push_back(n);
            return stop_after < 0 || (stop_after > 0 && sum() < stop_after);
        };
    }
};

void set_times(const std::string& path, timespec atime, timespec mtime) {
    const timespec t[2] = {atime, mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

// Compares the copy's metadata with the source's as it was before the copy: reading a file (the copy
// itself, or a comparison of contents) may move its access time.
void expect_same_metadata(const struct stat& a, const std::string& dst, const std::string& label) {
    struct stat b = stat_of(dst);
    EXPECT_EQ(a.st_mode & 07777, b.st_mode & 07777) << label;
    EXPECT_EQ(a.st_size, b.st_size) << label;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << label;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << label;
    EXPECT_EQ(a.st_atim.tv_sec, b.st_atim.tv_sec) << label;
    EXPECT_EQ(a.st_atim.tv_nsec, b.st_atim.tv_nsec) << label;
}

struct ContentCase {
    const char* name;
    int64_t size;
    mode_t mode;
};

const std::vector<ContentCase> kContentCases = {
    {"empty", 0, 0644},
    {"one byte", 1, 0600},
    {"odd", 4095, 04755},      // set-user-ID
    {"one chunk", MiB, 02750}, // set-group-ID
    {"chunk and a byte", MiB + 1, 01777},
    {"several chunks", 3 * MiB + 17, 06711},
    {"no rights at all", 5000, 0000},
};

// Copies every case from `src_dir` to `dst_dir` and checks contents, metadata and progress.
void copy_table(const std::string& src_dir, const std::string& dst_dir, const std::string& label) {
    unsigned seed = 7;
    for (const auto& c : kContentCases) {
        std::string src = src_dir + "/src-" + std::to_string(seed);
        testsupport::write_file(src, random_bytes(size_t(c.size), seed));
        ASSERT_EQ(chmod(src.c_str(), c.mode), 0);
        // Both ways of putting a copy in place: renamed over a name, or linked in under a free one.
        for (fsops::Placement place : {fsops::Placement::Overwrite, fsops::Placement::NewName}) {
            const bool fresh = place == fsops::Placement::NewName;
            std::string what = label + ": " + c.name + (fresh ? " (new name)" : "");
            std::string dst = dst_dir + "/dst-" + std::to_string(seed) + (fresh ? "-new" : "");
            // Again for each copy: comparing the contents of the one before read the source.
            set_times(src, {1500000000, 123456789}, {1600000000, 987654321});
            struct stat before = stat_of(src);
            Progress p;
            bool cloned = true;
            EXPECT_EQ(fsops::copy_file(src, dst, p.fn(), &cloned, place), "") << what;
            EXPECT_FALSE(cloned) << what;
            expect_same_metadata(before, dst, what);
            // The access time lies before the change time, so any read under relatime would move it.
            struct stat after = stat_of(src);
            EXPECT_EQ(before.st_atim.tv_sec, after.st_atim.tv_sec) << what << ": source read";
            EXPECT_EQ(before.st_atim.tv_nsec, after.st_atim.tv_nsec) << what;
            EXPECT_TRUE(same_contents(src, dst)) << what;
            EXPECT_EQ(p.sum(), c.size) << what;
            for (int64_t n : p.calls) {
                EXPECT_GE(n, 0) << what;
                EXPECT_LE(n, MiB) << what << ": progress at least once per MiB";
            }
        }
        ++seed;
    }
    EXPECT_TRUE(partial_files(dst_dir).empty()) << label;
}

} // namespace

TEST(CopyFile, ContentsModesAndTimesOnOneFileSystem) {
    TempDir dir;
    copy_table(dir.path(), dir.path(), "disk");
}

TEST(CopyFile, ContentsModesAndTimesWithinTmpfs) {
    auto tmp = ScopedMount::tmpfs("64m");
    SKIP_UNLESS_MOUNTED(tmp);
    copy_table(tmp.path(), tmp.path(), "tmpfs");
}

// Between file systems the kernel copy is refused and the reads and writes take over.
TEST(CopyFile, ContentsModesAndTimesAcrossFileSystems) {
    TempDir dir;
    auto tmp = ScopedMount::tmpfs("64m");
    SKIP_UNLESS_MOUNTED(tmp);
    copy_table(dir.path(), tmp.path(), "disk to tmpfs");
    copy_table(tmp.path(), dir.path(), "tmpfs to disk");
}

TEST(CopyFile, SparseFilesKeepTheirHoles) {
    TempDir dir;
    auto tmp = ScopedMount::tmpfs("64m");
    struct Case {
        const char* name;
        int64_t size;
        std::vector<std::pair<int64_t, int64_t>> data;
    };
    const std::vector<Case> cases = {
        {"data, hole, data, trailing hole", 48 * MiB, {{0, MiB}, {20 * MiB, 64 * 1024}}},
        {"leading hole", 16 * MiB, {{8 * MiB, 2 * MiB + 4096}}},
        {"only a hole", 32 * MiB, {}},
        {"data at the very end", 8 * MiB, {{8 * MiB - 4096, 4096}}},
    };
    std::vector<std::pair<std::string, std::string>> places = {{dir.path(), dir.path()}};
    if (tmp.ok()) places.push_back({dir.path(), tmp.path()});
    int n = 0;
    for (const auto& [from_dir, to_dir] : places) {
        for (const auto& c : cases) {
            std::string label =
                std::string(c.name) + (from_dir == to_dir ? " (same file system)" : " (to tmpfs)");
            std::string src = from_dir + "/sparse" + std::to_string(n);
            std::string dst = to_dir + "/copy" + std::to_string(n++);
            make_sparse(src, c.size, c.data);
            Progress p;
            ASSERT_EQ(fsops::copy_file(src, dst, p.fn()), "") << label;
            EXPECT_TRUE(same_contents(src, dst)) << label;
            EXPECT_EQ(p.sum(), c.size) << label << ": holes count as progress";
            int64_t src_blocks = stat_of(src).st_blocks, dst_blocks = stat_of(dst).st_blocks;
            EXPECT_LE(dst_blocks, src_blocks + src_blocks / 10 + 8) << label << ": allocated blocks";
            EXPECT_EQ(stat_of(dst).st_size, c.size) << label;
            remove(dst.c_str());
        }
    }
}

// Reserving the whole size of a sparse file would need far more than the target has.
TEST(CopyFile, LargeSparseFileFitsOnASmallTarget) {
    TempDir dir;
    auto tmp = ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(tmp);
    std::string src = dir.sub("huge-sparse");
    make_sparse(src, 1024 * MiB, {{0, 64 * 1024}, {512 * MiB, 64 * 1024}});
    Progress p;
    EXPECT_EQ(fsops::copy_file(src, tmp.sub("copy"), p.fn()), "");
    EXPECT_EQ(p.sum(), 1024 * MiB);
    EXPECT_TRUE(same_contents(src, tmp.sub("copy")));
    EXPECT_LE(stat_of(tmp.sub("copy")).st_blocks * 512, 256 * 1024);
}

// The copy is owned by the one who copies; set-user-ID and set-group-ID travel only with the same owner
// and group, or copying another user's program as root would hand out root's rights.
TEST(CopyFile, SetIdBitsOnlyWhereOwnerAndGroupStayTheSame) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the source another owner";
    struct Case {
        const char* name;
        mode_t mode;
        uid_t uid;
        gid_t gid;
        mode_t expect;
    };
    const std::vector<Case> cases = {
        {"own file keeps both", 06755, 0, 0, 06755},
        {"other owner loses set-user-ID", 06755, 65534, 0, 02755},
        {"other group loses set-group-ID", 06755, 0, 65534, 04755},
        {"other owner and group lose both", 07755, 65534, 65534, 01755},
    };
    TempDir dir;
    for (const auto& c : cases) {
        std::string src = dir.path() + "/src";
        std::string dst = dir.path() + "/dst";
        testsupport::write_file(src, "program");
        ASSERT_EQ(chown(src.c_str(), c.uid, c.gid), 0) << c.name;
        ASSERT_EQ(chmod(src.c_str(), c.mode), 0) << c.name;
        ASSERT_EQ(fsops::copy_file(src, dst), "") << c.name;
        struct stat st = stat_of(dst);
        EXPECT_EQ(0u, st.st_uid) << c.name;
        EXPECT_EQ(c.expect, st.st_mode & 07777) << c.name << ": " << std::oct << (st.st_mode & 07777);
        unlink(src.c_str());
        unlink(dst.c_str());
    }
}

TEST(CopyFile, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.sub("pipe").c_str(), 0644), 0);
    testsupport::make_dir(dir.sub("folder"));
    // Also when a walk saw a regular file there a moment ago: the pipe put in its place is opened without
    // waiting for a writer and refused by its own status.
    fsops::CopyHints walked;
    walked.source_is_regular = true;
    for (const fsops::CopyHints& hints : {fsops::CopyHints{}, walked}) {
        for (const char* name : {"pipe", "folder"}) {
            Progress p;
            EXPECT_EQ(fsops::copy_file(dir.sub(name), dir.sub("out"), p.fn(), nullptr,
                                       fsops::Placement::NewName, hints),
                      "not a regular file (pipe, socket or device)")
                << name;
            EXPECT_FALSE(testsupport::exists(dir.sub("out"))) << name;
            EXPECT_TRUE(p.calls.empty()) << name;
        }
    }
    EXPECT_EQ(fsops::clone_file(dir.sub("pipe"), dir.sub("out")), "not a regular file");
    EXPECT_TRUE(partial_files(dir.path()).empty());
}

// A walk's status may be old by the time a file is copied: the copy takes size, mode and times from the
// file as opened, and gets its mode whatever the umask would have made of it at creation.
TEST(CopyFile, WalkedSourceGetsTheStatusItHasWhenOpened) {
    TempDir dir;
    testsupport::write_file(dir.sub("src"), "as walked", 0644);
    fsops::CopyHints hints;
    hints.source_is_regular = true;
    struct stat opened {};
    hints.opened = &opened;
    // Written to after the walk: a later size and modification time.
    testsupport::write_file(dir.sub("src"), "as written after the walk", 0644);
    set_times(dir.sub("src"), {1500000000, 5}, {1600000000, 7});
    struct stat now = stat_of(dir.sub("src"));
    EXPECT_EQ(
        fsops::copy_file(dir.sub("src"), dir.sub("copy"), {}, nullptr, fsops::Placement::NewName, hints), "");
    EXPECT_EQ(opened.st_ino, now.st_ino);
    EXPECT_EQ(opened.st_size, now.st_size);
    expect_same_metadata(now, dir.sub("copy"), "copy of the changed file");
    EXPECT_EQ(testsupport::read_file(dir.sub("copy")), "as written after the walk");

    // The umask takes bits off a new file; the copy must still end with the source's.
    struct Case {
        mode_t umask_value;
        mode_t mode;
    };
    for (Case c : {Case{077, 0644}, Case{022, 0666}, Case{0, 0751}, Case{027, 0400}}) {
        std::string name = "m" + std::to_string(c.mode);
        testsupport::write_file(dir.sub(name), "x", c.mode);
        ASSERT_EQ(chmod(dir.sub(name).c_str(), c.mode), 0);
        mode_t old = umask(c.umask_value);
        std::string err = fsops::copy_file(dir.sub(name), dir.sub(name + ".copy"), {}, nullptr,
                                           fsops::Placement::NewName, hints);
        umask(old);
        EXPECT_EQ(err, "");
        EXPECT_EQ(stat_of(dir.sub(name + ".copy")).st_mode & 07777, c.mode) << std::oct << c.mode;
    }
    EXPECT_TRUE(partial_files(dir.path()).empty());
}

TEST(CopyFile, MessagesNameTheFileAtFault) {
    TempDir dir;
    testsupport::write_file(dir.sub("src"), "data");
    EXPECT_EQ(fsops::copy_file(dir.sub("none"), dir.sub("out")), sys(dir.sub("none"), ENOENT));
    EXPECT_EQ(fsops::last_error_code(), ENOENT);
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), dir.sub("missing/out")), sys(dir.sub("missing/out"), ENOENT));
    testsupport::make_dir(dir.sub("folder"));
    testsupport::write_file(dir.sub("folder/inside"), "x");
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), dir.sub("folder")), sys(dir.sub("folder"), EISDIR));
    EXPECT_EQ(testsupport::read_file(dir.sub("folder/inside")), "x");
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), "/"), sys("/", EISDIR));
    EXPECT_TRUE(partial_files(dir.path()).empty());
}

TEST(CopyFile, OverwriteReplacesTheEntryNotWhatALinkPointsTo) {
    TempDir dir;
    testsupport::write_file(dir.sub("src"), "new contents", 0640);
    testsupport::write_file(dir.sub("old"), "old and longer contents", 0777);
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), dir.sub("old")), "");
    EXPECT_EQ(testsupport::read_file(dir.sub("old")), "new contents");
    EXPECT_EQ(stat_of(dir.sub("old")).st_mode & 07777, 0640u);

    testsupport::write_file(dir.sub("elsewhere"), "must stay");
    ASSERT_EQ(symlink("elsewhere", dir.sub("link").c_str()), 0);
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), dir.sub("link")), "");
    EXPECT_TRUE(S_ISREG(stat_of(dir.sub("link")).st_mode));
    EXPECT_EQ(testsupport::read_file(dir.sub("elsewhere")), "must stay");

    // Copying a file onto itself leaves it whole.
    EXPECT_EQ(fsops::copy_file(dir.sub("src"), dir.sub("src")), "");
    EXPECT_EQ(testsupport::read_file(dir.sub("src")), "new contents");
}

// A copy to a new name never replaces what took that name while the copy ran: a file, a dangling link or
// a folder, on disk and on a tmpfs.
TEST(CopyFile, NewNameTakenDuringTheCopyIsNeverReplaced) {
    TempDir disk;
    auto tmp = ScopedMount::tmpfs("32m");
    std::vector<std::string> dirs = {disk.path()};
    if (tmp.ok())
        dirs.push_back(tmp.path());
    else
        std::fprintf(stderr, "tmpfs case skipped: %s\n", tmp.skip_reason().c_str());
    for (const std::string& d : dirs) {
        std::string src = d + "/src";
        testsupport::write_file(src, random_bytes(size_t(3 * MiB), 11));
        for (const char* kind : {"file", "link", "folder"}) {
            SCOPED_TRACE(d + " " + kind);
            std::string dst = d + "/taken-" + kind;
            bool taken = false;
            auto intrude = [&](int64_t) {
                if (!taken && kind[0] == 'f') testsupport::write_file(dst, "theirs");
                if (!taken && kind[0] == 'l') {
                    EXPECT_EQ(0, symlink("nowhere", dst.c_str()));
                }
                if (!taken && kind[0] == 'd') testsupport::make_dir(dst);
                taken = true;
                return true;
            };
            EXPECT_EQ(sys(dst, EEXIST),
                      fsops::copy_file(src, dst, intrude, nullptr, fsops::Placement::NewName));
            EXPECT_EQ(EEXIST, fsops::last_error_code());
            struct stat st = stat_of(dst);
            const bool kept = kind[0] == 'f'   ? testsupport::read_file(dst) == "theirs"
                              : kind[0] == 'l' ? S_ISLNK(st.st_mode)
                                               : S_ISDIR(st.st_mode);
            EXPECT_TRUE(kept) << "what took the name was replaced";
        }
        EXPECT_TRUE(partial_files(d).empty());
    }
}

// A worker holds the folders it copies out of and into; a file elsewhere (a neighbour whose name starts
// the same, a subfolder) still goes where its path says, and a name taken meanwhile is never replaced.
TEST(CopyFile, HeldFoldersPlaceEachFileWhereItsPathSays) {
    TempDir t;
    for (const char* d : {"src", "src/a", "src/ab", "dst", "dst/x", "dst/x/y", "dst/xy"})
        testsupport::make_dir(t.sub(d));
    testsupport::write_file(t.sub("src/a/f"), "eff", 0640);
    testsupport::write_file(t.sub("src/ab/g"), "gee");
    fsops::FolderHandle from, into;
    ASSERT_TRUE(from.hold_parent_of(t.sub("src/a/f")));
    ASSERT_TRUE(into.hold_parent_of(t.sub("dst/x/f")));
    fsops::CopyHints hints;
    hints.source_folder = &from;
    hints.target_folder = &into;
    const auto copy = [&](const std::string& a, const std::string& b) {
        return fsops::copy_file(t.sub(a), t.sub(b), {}, nullptr, fsops::Placement::NewName, hints);
    };
    EXPECT_EQ("", copy("src/a/f", "dst/x/f"));
    EXPECT_EQ("eff", testsupport::read_file(t.sub("dst/x/f")));
    EXPECT_EQ(0640u, stat_of(t.sub("dst/x/f")).st_mode & 07777);
    EXPECT_EQ("", copy("src/ab/g", "dst/xy/g"));
    EXPECT_EQ("gee", testsupport::read_file(t.sub("dst/xy/g")));
    EXPECT_FALSE(testsupport::exists(t.sub("dst/x/g")));
    EXPECT_EQ("", copy("src/a/f", "dst/x/y/f"));
    EXPECT_EQ("eff", testsupport::read_file(t.sub("dst/x/y/f")));
    // Taken by the time the copy is done: the copy is dropped.
    testsupport::write_file(t.sub("dst/x/taken"), "theirs");
    EXPECT_EQ(sys(t.sub("dst/x/taken"), EEXIST), copy("src/a/f", "dst/x/taken"));
    EXPECT_EQ("theirs", testsupport::read_file(t.sub("dst/x/taken")));
    // The held folder renamed meanwhile keeps receiving its files under its new name.
    ASSERT_EQ(0, rename(t.sub("dst/x").c_str(), t.sub("dst/moved").c_str()));
    EXPECT_EQ("", copy("src/a/f", "dst/x/late"));
    EXPECT_EQ("eff", testsupport::read_file(t.sub("dst/moved/late")));
    EXPECT_TRUE(partial_files(t.sub("dst/moved")).empty());
    // A folder that cannot be held leaves nothing held.
    EXPECT_FALSE(into.hold_parent_of(t.sub("nowhere/f")));
    const char* name = nullptr;
    EXPECT_EQ(-1, into.lookup(t.sub("nowhere/f"), name));
}

TEST(CopyFile, CancelLeavesNothingNewAndTheOldTargetIntact) {
    TempDir dir;
    std::string src = dir.sub("src");
    testsupport::write_file(src, random_bytes(size_t(8 * MiB), 3));
    struct Case {
        const char* name;
        int64_t stop_after; // bytes reported before the callback says stop
        bool old_target;
    };
    const std::vector<Case> cases = {
        {"at the start", 0, false},
        {"at the start over a file", 0, true},
        {"mid-copy", 2 * MiB, false},
        {"mid-copy over a file", 2 * MiB, true},
        {"on the last chunk over a file", 8 * MiB - 1, true},
    };
    for (const auto& c : cases) {
        std::string dst = dir.sub("dst");
        remove(dst.c_str());
        if (c.old_target) testsupport::write_file(dst, "the old version");
        Progress p;
        p.stop_after = c.stop_after;
        EXPECT_EQ(fsops::copy_file(src, dst, p.fn()), fsops::kCopyCancelled) << c.name;
        EXPECT_EQ(fsops::last_error_code(), ECANCELED) << c.name;
        if (c.old_target)
            EXPECT_EQ(testsupport::read_file(dst), "the old version") << c.name;
        else
            EXPECT_FALSE(testsupport::exists(dst)) << c.name;
        EXPECT_TRUE(partial_files(dir.path()).empty()) << c.name;
    }
}

// A small new file is created under its name and must give the name back whenever it does not complete:
// on a cancel, on a full disk, and never by removing a copy that an overwrite has put there meanwhile.
TEST(CopyFile, SmallNewFileOwnsItsNameOnlyWhileItIsBeingCopied) {
    TempDir dir;
    const std::string src = dir.sub("src");
    const std::string data = random_bytes(size_t(64 * 1024), 21);
    testsupport::write_file(src, data);
    const auto copy = [&](const std::string& dst, const fsops::CopyProgress& progress) {
        return fsops::copy_file(src, dst, progress, nullptr, fsops::Placement::NewName);
    };

    // Taken before the copy starts: the file, the dangling link or the folder stays.
    testsupport::write_file(dir.sub("file"), "theirs");
    ASSERT_EQ(0, symlink("nowhere", dir.sub("link").c_str()));
    testsupport::make_dir(dir.sub("folder"));
    for (const char* name : {"file", "link", "folder"}) {
        EXPECT_EQ(sys(dir.sub(name), EEXIST), copy(dir.sub(name), {})) << name;
        EXPECT_EQ(EEXIST, fsops::last_error_code()) << name;
    }
    EXPECT_EQ("theirs", testsupport::read_file(dir.sub("file")));
    EXPECT_TRUE(S_ISLNK(stat_of(dir.sub("link")).st_mode));
    EXPECT_TRUE(S_ISDIR(stat_of(dir.sub("folder")).st_mode));

    // Stopped before and after its data: the name is free again.
    for (int64_t stop_after : {int64_t(0), int64_t(1)}) {
        Progress p;
        p.stop_after = stop_after;
        EXPECT_EQ(fsops::kCopyCancelled, copy(dir.sub("stopped"), p.fn())) << stop_after;
        EXPECT_FALSE(testsupport::exists(dir.sub("stopped"))) << stop_after;
    }

    // An overwrite renamed over the name while this copy ran, which then stops: the overwrite stays.
    const std::string dst = dir.sub("contested");
    auto overwrite_then_stop = [&](int64_t) {
        testsupport::write_file(dst + ".other", "the overwrite");
        EXPECT_EQ(0, rename((dst + ".other").c_str(), dst.c_str()));
        return false;
    };
    EXPECT_EQ(fsops::kCopyCancelled, copy(dst, overwrite_then_stop));
    EXPECT_EQ("the overwrite", testsupport::read_file(dst));

    // Completed: the whole file under its name, and nothing else left in the folder.
    EXPECT_EQ("", copy(dir.sub("done"), {}));
    EXPECT_EQ(data, testsupport::read_file(dir.sub("done")));
    EXPECT_TRUE(partial_files(dir.path()).empty());

    // The disk fills up while its data is written.
    auto tmp = ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(tmp);
    const int64_t filler = fsops::free_space(tmp.path()) - 16 * 1024;
    testsupport::write_file(tmp.sub("filler"), std::string(size_t(filler), 'x'));
    const int64_t free_before = fsops::free_space(tmp.path());
    EXPECT_EQ(sys(tmp.sub("new"), ENOSPC), copy(tmp.sub("new"), {}));
    EXPECT_FALSE(testsupport::exists(tmp.sub("new")));
    EXPECT_EQ(free_before, fsops::free_space(tmp.path()));
}

// A copy killed at any moment leaves the old target or the complete new one, never a mix or a stump.
TEST(CopyFile, KilledMidCopyLeavesTheOldTargetWhole) {
    TempDir dir;
    std::string src = dir.sub("big");
    std::string dst = dir.sub("target");
    const std::string source = random_bytes(size_t(48 * MiB), 11);
    const std::string old = "the old version of the target\n";
    testsupport::write_file(src, source);
    for (int delay_ms : {-1, 0, 2, 10, 40}) {
        testsupport::write_file(dst, old);
        int sync[2];
        ASSERT_EQ(pipe(sync), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(sync[0]);
            int64_t done = 0;
            bool told = false;
            // Killed mid-copy by the parent; the result is never reached.
            static_cast<void>(fsops::copy_file(src, dst, [&](int64_t n) {
                done += n;
                if (delay_ms < 0 && done >= 8 * MiB && !told) {
                    told = write(sync[1], "x", 1) == 1;
                    usleep(200 * 1000); // stay mid-copy until the parent kills us
                }
                return true;
            }));
            _exit(0);
        }
        close(sync[1]);
        if (delay_ms < 0) {
            char c;
            ASSERT_EQ(read(sync[0], &c, 1), 1);
        } else {
            usleep(useconds_t(delay_ms) * 1000);
        }
        close(sync[0]);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        std::string now = testsupport::read_file(dst);
        if (delay_ms < 0) {
            EXPECT_EQ(now, old) << "killed mid-copy";
        } else {
            EXPECT_TRUE(now == old || now == source)
                << "killed after " << delay_ms << " ms: " << now.size() << " bytes at the target";
        }
        for (const auto& stray : partial_files(dir.path()))
            remove(dir.sub(stray).c_str());
    }
}

TEST(CopyFile, FullTargetFailsWithNoSpaceAndLeavesNoPartialFile) {
    TempDir dir;
    auto tmp = ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(tmp);
    testsupport::write_file(dir.sub("big"), random_bytes(size_t(3 * MiB), 5));
    testsupport::write_file(tmp.sub("old"), "old contents");
    for (const char* target : {"new", "old"}) {
        Progress p;
        EXPECT_EQ(fsops::copy_file(dir.sub("big"), tmp.sub(target), p.fn()), sys(tmp.sub(target), ENOSPC))
            << target;
        EXPECT_EQ(fsops::last_error_code(), ENOSPC) << target;
        EXPECT_FALSE(fsops::is_transient(fsops::last_error_code()));
    }
    EXPECT_FALSE(testsupport::exists(tmp.sub("new")));
    EXPECT_EQ(testsupport::read_file(tmp.sub("old")), "old contents");
    EXPECT_TRUE(partial_files(tmp.path()).empty());
    EXPECT_EQ(fsops::free_space(tmp.path()), MiB - 4096) << "the space of the failed copy is given back";
}

// ext2 cannot preallocate, so the shortage shows only when the data is written.
TEST(CopyFile, TargetFullWhileWritingFailsWithNoSpaceAndLeavesNoPartialFile) {
    TempDir dir;
    auto ext2 = ScopedMount::loop_image("mkfs.ext2 -q -F", 2);
    SKIP_UNLESS_MOUNTED(ext2);
    testsupport::write_file(dir.sub("big"), random_bytes(size_t(4 * MiB), 6));
    testsupport::write_file(ext2.sub("old"), "old contents");
    int64_t free_before = fsops::free_space(ext2.path());
    for (const char* target : {"new", "old"}) {
        Progress p;
        EXPECT_EQ(fsops::copy_file(dir.sub("big"), ext2.sub(target), p.fn()), sys(ext2.sub(target), ENOSPC))
            << target;
        EXPECT_EQ(fsops::last_error_code(), ENOSPC) << target;
        EXPECT_GT(p.sum(), 0) << target << ": data moved before the disk filled up";
    }
    EXPECT_FALSE(testsupport::exists(ext2.sub("new")));
    EXPECT_EQ(testsupport::read_file(ext2.sub("old")), "old contents");
    EXPECT_TRUE(partial_files(ext2.path()).empty());
    EXPECT_EQ(fsops::free_space(ext2.path()), free_before);
}

TEST(CopyFile, ReflinkCloneOnXfs) {
    auto xfs = ScopedMount::xfs_reflink();
    SKIP_UNLESS_MOUNTED(xfs);
    TempDir dir;
    std::string src = xfs.sub("src");
    testsupport::write_file(src, random_bytes(size_t(16 * MiB), 9));
    ASSERT_EQ(chmod(src.c_str(), 04750), 0);
    set_times(src, {1400000000, 1}, {1500000000, 999999999});
    int64_t free_before = fsops::free_space(xfs.path());
    struct stat before = stat_of(src);

    Progress p;
    bool cloned = false;
    EXPECT_EQ(fsops::copy_file(src, xfs.sub("copy"), p.fn(), &cloned), "");
    EXPECT_TRUE(cloned);
    EXPECT_EQ(p.calls, std::vector<int64_t>{16 * MiB}) << "the size in one call";
    expect_same_metadata(before, xfs.sub("copy"), "clone");
    EXPECT_EQ(fsops::clone_file(src, xfs.sub("clone")), "");
    expect_same_metadata(before, xfs.sub("clone"), "clone_file");
    EXPECT_TRUE(same_contents(src, xfs.sub("copy")));
    EXPECT_TRUE(same_contents(src, xfs.sub("clone")));
    EXPECT_GT(fsops::free_space(xfs.path()), free_before - MiB) << "clones share the blocks";

    // From another file system the clone is refused; an existing target stays as it was.
    testsupport::write_file(dir.sub("outside"), random_bytes(size_t(MiB), 4));
    testsupport::write_file(xfs.sub("existing"), "keep me");
    EXPECT_EQ(fsops::clone_file(dir.sub("outside"), xfs.sub("existing")), strerror(EXDEV));
    EXPECT_EQ(testsupport::read_file(xfs.sub("existing")), "keep me");
    EXPECT_NE(fsops::clone_file(dir.sub("outside"), xfs.sub("fresh")), "");
    EXPECT_FALSE(testsupport::exists(xfs.sub("fresh")));

    cloned = true;
    EXPECT_EQ(fsops::copy_file(dir.sub("outside"), xfs.sub("existing"), {}, &cloned), "");
    EXPECT_FALSE(cloned);
    EXPECT_TRUE(same_contents(dir.sub("outside"), xfs.sub("existing")));
    EXPECT_TRUE(partial_files(xfs.path()).empty());

    // What that pair of file systems refused is given up for that pair only: within the XFS the next
    // copy is a clone again, also when the target's device is given.
    cloned = false;
    fsops::CopyHints hints;
    hints.target_device = stat_of(xfs.path()).st_dev;
    EXPECT_EQ(fsops::copy_file(dir.sub("outside"), xfs.sub("again"), {}, &cloned), "");
    EXPECT_FALSE(cloned);
    struct stat now = stat_of(src); // the comparisons above have read it
    EXPECT_EQ(fsops::copy_file(src, xfs.sub("copy2"), {}, &cloned, fsops::Placement::NewName, hints), "");
    EXPECT_TRUE(cloned);
    expect_same_metadata(now, xfs.sub("copy2"), "clone after a refused pair");
}

TEST(CopyFile, ParallelCopiesOnSeveralThreads) {
    TempDir dir;
    auto tmp = ScopedMount::tmpfs("128m");
    std::string other = tmp.ok() ? tmp.path() : dir.path();
    constexpr int kThreads = 4, kFiles = 3;
    for (int i = 0; i < kThreads * kFiles; ++i)
        testsupport::write_file(dir.sub("s" + std::to_string(i)), random_bytes(size_t(MiB + 1000 * i), i));
    std::vector<std::string> results(kThreads * kFiles);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int f = 0; f < kFiles; ++f) {
                int i = t * kFiles + f;
                // Half the copies cross to the tmpfs, so that the switch away from the kernel copy
                // happens while other threads are copying.
                std::string to = (i % 2 ? other : dir.path()) + "/d" + std::to_string(i);
                results[i] =
                    fsops::copy_file(dir.sub("s" + std::to_string(i)), to, [](int64_t) { return true; });
            }
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads * kFiles; ++i) {
        EXPECT_EQ(results[i], "") << i;
        std::string to = (i % 2 ? other : dir.path()) + "/d" + std::to_string(i);
        EXPECT_TRUE(same_contents(dir.sub("s" + std::to_string(i)), to)) << i;
    }
}
