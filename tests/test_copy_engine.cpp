#include "base/logger.h"
#include "child.h"
#include "engine/copy_engine.h"
#include "fs/fs_ops.h"
#include "fs_mounts.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using copy_engine::ConflictAction;
using copy_engine::Engine;
using copy_engine::Operation;
using copy_engine::Progress;
using testsupport::ScopedMount;
using testsupport::TempDir;

namespace {

// The engine logs through the application log; keep it out of the user's configuration folder.
TempDir& config_home() {
    static TempDir dir("engine-config");
    return dir;
}
const bool g_config_set = [] {
    setenv("XDG_CONFIG_HOME", config_home().path().c_str(), 1);
    return true;
}();

constexpr const char* kTimedOut = "timed out — the source or target stopped responding";

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Drives a transfer as the interface does (snapshot, watchdog, callback) until it has finished, then reaps.
Progress run_to_end(Engine& engine, const std::function<void(Engine&, const Progress&)>& on_tick = {},
                    double limit_seconds = 60) {
    auto t0 = std::chrono::steady_clock::now();
    bool gave_up = false;
    for (;;) {
        Progress p = engine.snapshot();
        engine.watchdog_tick();
        if (on_tick) on_tick(engine, p);
        if (p.finished && !p.running) break;
        if (!gave_up && seconds_since(t0) > limit_seconds) {
            ADD_FAILURE() << "the transfer did not end within " << limit_seconds << " s";
            engine.cancel();
            gave_up = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    engine.reap();
    return engine.snapshot();
}

Progress copy_and_wait(const std::vector<std::string>& sources, const std::string& target,
                       Operation op = Operation::Copy, int threads = 2,
                       ConflictAction rule = ConflictAction::Overwrite) {
    Engine engine;
    EXPECT_TRUE(engine.start(sources, target, op, threads, rule));
    return run_to_end(engine);
}

std::string failures_text(const Progress& p) {
    std::string out;
    for (const auto& f : p.failures)
        out += f.path + " [" + f.target + "]: " + f.message + " (attempts " + std::to_string(f.attempts) +
               ", code " + std::to_string(f.code) + ")\n";
    return out;
}

bool log_contains(const std::string& text) {
    for (const auto& e : Log::instance().recent())
        if (e.text.find(text) != std::string::npos) return true;
    return false;
}

void set_times(const std::string& path, timespec atime, timespec mtime) {
    timespec t[2] = {atime, mtime};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW))
        << path << ": " << strerror(errno);
}

timespec ts(time_t sec, long nsec) {
    timespec t{};
    t.tv_sec = sec;
    t.tv_nsec = nsec;
    return t;
}

void write_pattern(const std::string& path, size_t bytes, unsigned seed) {
    std::string data(bytes, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ull * (seed + 1);
    for (size_t i = 0; i < bytes; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&data[i], &x, std::min<size_t>(8, bytes - i));
    }
    testsupport::write_file(path, data);
}

void make_fifo(const std::string& path) {
    ASSERT_EQ(0, mkfifo(path.c_str(), 0644)) << path;
}

void make_socket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) << strerror(errno);
    close(fd);
}

// One entry of a tree as a user would compare it.
struct Node {
    char type = '?'; // f file, d folder, l link, s special
    uint32_t mode = 0;
    std::string content; // file data or link text
    timespec atime{};
    timespec mtime{};
    uint64_t inode = 0;
    uint64_t nlink = 1;
};
using Tree = std::map<std::string, Node>; // relative path -> node

void scan_into(const std::string& root, const std::string& rel, Tree& out) {
    std::string path = rel.empty() ? root : root + "/" + rel;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        ADD_FAILURE() << "lstat " << path;
        return;
    }
    Node n;
    n.mode = st.st_mode & 07777;
    n.atime = st.st_atim;
    n.mtime = st.st_mtim;
    n.inode = st.st_ino;
    n.nlink = st.st_nlink;
    if (S_ISREG(st.st_mode)) {
        n.type = 'f';
        n.content = testsupport::read_file(path);
    } else if (S_ISLNK(st.st_mode)) {
        n.type = 'l';
        char buf[4096];
        ssize_t len = readlink(path.c_str(), buf, sizeof buf);
        n.content.assign(buf, len > 0 ? static_cast<size_t>(len) : 0);
    } else if (S_ISDIR(st.st_mode)) {
        n.type = 'd';
    } else {
        n.type = 's';
    }
    out[rel] = n;
    if (n.type == 'd') {
        std::vector<std::string> names;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            closedir(d);
        }
        for (const auto& name : names)
            scan_into(root, rel.empty() ? name : rel + "/" + name, out);
    }
}

Tree scan_tree(const std::string& root) {
    Tree t;
    scan_into(root, "", t);
    return t;
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string time_text(const timespec& t) {
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// Compares a copied tree with the tree the source had; `specials_expected` says whether pipes and sockets
// should be there (a rename moves them along; a copy reports and leaves them).
void expect_same_tree(const Tree& want, const Tree& got, bool specials_expected) {
    std::map<uint64_t, std::set<std::string>> want_groups;
    for (const auto& [rel, n] : want) {
        SCOPED_TRACE("entry '" + rel + "'");
        auto it = got.find(rel);
        if (n.type == 's' && !specials_expected) {
            EXPECT_TRUE(it == got.end()) << "special file was copied";
            continue;
        }
        if (it == got.end()) {
            ADD_FAILURE() << "missing in the copy";
            continue;
        }
        const Node& g = it->second;
        EXPECT_EQ(n.type, g.type);
        EXPECT_EQ(n.content, g.content);
        if (n.type != 'l') {
            EXPECT_EQ(n.mode, g.mode) << std::oct << n.mode << " vs " << g.mode;
        }
        if (n.type != 's') {
            EXPECT_TRUE(same_time(n.mtime, g.mtime)) << time_text(n.mtime) << " vs " << time_text(g.mtime);
            EXPECT_TRUE(same_time(n.atime, g.atime)) << time_text(n.atime) << " vs " << time_text(g.atime);
        }
        if (n.type == 'f' && n.nlink > 1) want_groups[n.inode].insert(rel);
    }
    for (const auto& [rel, g] : got)
        EXPECT_TRUE(want.count(rel)) << "unexpected entry in the copy: " << rel;
    // Hard-link groups: the names of one source inode share one target inode, and groups stay apart.
    std::set<uint64_t> seen;
    for (const auto& [ino, names] : want_groups) {
        std::set<uint64_t> inodes;
        for (const auto& rel : names)
            if (got.count(rel)) inodes.insert(got.at(rel).inode);
        EXPECT_EQ(1u, inodes.size()) << "hard-link group of " << *names.begin() << " was split";
        for (uint64_t i : inodes)
            EXPECT_TRUE(seen.insert(i).second) << "two hard-link groups were joined";
    }
}

// A tree with everything a user's folder can hold. Access times lie in the future: setting times moves
// the change time to now, and under relatime a read then updates any access time older than that.
// Distinct times in the past for every entry but special files, each access time newer than its
// modification time, so that reading a file or listing a folder (relatime) leaves them as they are.
void set_past_times(const std::string& root) {
    Tree t = scan_tree(root);
    time_t base = time(nullptr) - 3600;
    long ns = 123456789;
    std::vector<std::string> rels;
    for (const auto& [rel, n] : t)
        if (n.type != 's') rels.push_back(rel);
    // Deepest first, so that a folder's times are set after its contents stopped changing.
    std::sort(rels.begin(), rels.end(), [](const std::string& a, const std::string& b) { return a > b; });
    for (const auto& rel : rels) {
        std::string p = rel.empty() ? root : root + "/" + rel;
        set_times(p, ts(base + 7200, ns + 1), ts(base, ns));
        base += 7;
        ns += 1111;
    }
}

void build_rich_tree(const std::string& root) {
    using testsupport::make_dir;
    using testsupport::write_file;
    make_dir(root);
    make_dir(root + "/sub");
    make_dir(root + "/sub/deep");
    make_dir(root + "/emptydir");
    make_dir(root + "/emptydir/nested_empty");
    make_dir(root + "/rodir");
    make_dir(root + "/other");
    write_file(root + "/plain.txt", "hello world\n");
    write_file(root + "/empty.bin", "");
    write_file(root + "/setuid", "#!/bin/sh\n", 0755);
    write_file(root + "/setgid", "#!/bin/sh\n", 0755);
    write_file(root + "/sticky", "sticky\n", 0644);
    write_file(root + "/readonly.txt", "read only\n", 0644);
    write_pattern(root + "/big.bin", 3 * 1024 * 1024 + 17, 7);
    {
        int fd = open((root + "/sparse.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(4, pwrite(fd, "data", 4, 1 << 20));
        ASSERT_EQ(4, pwrite(fd, "tail", 4, (8 << 20) - 4));
        close(fd);
    }
    write_file(root + "/rodir/inside.txt", "inside a read-only folder\n");
    write_file(root + "/sub/hard1", "linked content\n");
    ASSERT_EQ(0, link((root + "/sub/hard1").c_str(), (root + "/sub/deep/hard2").c_str()));
    ASSERT_EQ(0, link((root + "/sub/hard1").c_str(), (root + "/other/hard3").c_str()));
    write_file(root + "/other/pair_a", "second group\n");
    ASSERT_EQ(0, link((root + "/other/pair_a").c_str(), (root + "/pair_b").c_str()));
    ASSERT_EQ(0, symlink("../../plain.txt", (root + "/sub/deep/link_rel").c_str()));
    ASSERT_EQ(0, symlink("/nonexistent/absolute", (root + "/sub/abs_dangling").c_str()));
    ASSERT_EQ(0, symlink("no/such/file", (root + "/dangling").c_str()));
    ASSERT_EQ(0, symlink("sub", (root + "/dirlink").c_str()));
    make_fifo(root + "/fifo");
    make_socket(root + "/sub/sock");

    ASSERT_EQ(0, chmod((root + "/setuid").c_str(), 04755));
    ASSERT_EQ(0, chmod((root + "/setgid").c_str(), 02755));
    ASSERT_EQ(0, chmod((root + "/sticky").c_str(), 01644));
    ASSERT_EQ(0, chmod((root + "/readonly.txt").c_str(), 0444));
    ASSERT_EQ(0, chmod((root + "/sub").c_str(), 02775));
    ASSERT_EQ(0, chmod((root + "/sub/deep").c_str(), 01777));
    ASSERT_EQ(0, chmod((root + "/emptydir").c_str(), 0700));

    set_past_times(root);
    ASSERT_EQ(0, chmod((root + "/rodir").c_str(), 0555));
}

std::string mode_name(Operation op) {
    return op == Operation::Move ? "move" : "copy";
}

// ---------------------------------------------------------------------------------------------------

struct TreeCase {
    const char* name;
    Operation op;
    int threads;
    bool to_tmpfs; // another file system: no rename, every file copied
};

class CopiedTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(CopiedTree, EqualsItsSource) {
    const TreeCase& c = GetParam();
    TempDir tmp("engine-tree");
    std::string src = tmp.sub("tree");
    build_rich_tree(src);
    Tree before = scan_tree(src);

    std::optional<ScopedMount> mount;
    std::string target_dir;
    if (c.to_tmpfs) {
        mount.emplace(ScopedMount::tmpfs("64m"));
        SKIP_UNLESS_MOUNTED(*mount);
        target_dir = mount->path();
    } else {
        target_dir = tmp.sub("out");
        testsupport::make_dir(target_dir);
    }

    Progress p = copy_and_wait({src}, target_dir, c.op, c.threads);
    Tree after = scan_tree(target_dir + "/tree");
    bool renamed = c.op == Operation::Move && !c.to_tmpfs;
    expect_same_tree(before, after, renamed);

    EXPECT_FALSE(p.cancelled);
    EXPECT_TRUE(p.finished);
    EXPECT_FALSE(p.running);
    EXPECT_EQ(p.files_total, p.files_done);
    EXPECT_EQ(p.bytes_total, p.bytes_done);
    std::set<std::string> failed;
    for (const auto& f : p.failures) {
        failed.insert(f.path);
        EXPECT_EQ("not a regular file (pipe, socket or device)", f.message);
    }
    if (renamed) {
        EXPECT_TRUE(failed.empty()) << failures_text(p);
        EXPECT_FALSE(testsupport::exists(src));
        EXPECT_EQ(0, p.files_copied) << "a move within one file system is one rename";
    } else {
        EXPECT_EQ((std::set<std::string>{src + "/fifo", src + "/sub/sock"}), failed) << failures_text(p);
        EXPECT_EQ(2u, p.failures_total);
    }
    if (c.op == Operation::Move && c.to_tmpfs) {
        // Only what could not be moved is left: the special files and the folders holding them.
        Tree left = scan_tree(src);
        std::set<std::string> rels;
        for (const auto& [rel, n] : left)
            rels.insert(rel);
        EXPECT_EQ((std::set<std::string>{"", "fifo", "sub", "sub/sock"}), rels);
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, CopiedTree,
                         ::testing::Values(TreeCase{"copy_one_worker", Operation::Copy, 1, false},
                                           TreeCase{"copy_four_workers", Operation::Copy, 4, false},
                                           TreeCase{"copy_to_tmpfs", Operation::Copy, 3, true},
                                           TreeCase{"move_same_fs", Operation::Move, 2, false},
                                           TreeCase{"move_to_tmpfs", Operation::Move, 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A tree wide and deep enough for folders to be listed on several threads while it is measured: every
// entry is counted once, and every folder listed then is walked and copied.
TEST(CopyEngine, WideTreeIsMeasuredOnceAndCopiedWhole) {
    TempDir tmp("engine-wide");
    const std::string src = tmp.sub("tree");
    int64_t files = 0;
    int64_t bytes = 0;
    std::vector<std::string> level{src};
    testsupport::make_dir(src);
    for (int depth = 0; depth < 4; ++depth) {
        std::vector<std::string> next;
        for (const std::string& dir : level) {
            for (int f = 0; f < 5; ++f) {
                const int size = 100 * depth + 7 * f;
                write_pattern(dir + "/f" + std::to_string(f), size, static_cast<unsigned>(files));
                files += 1;
                bytes += size;
            }
            ASSERT_EQ(0, symlink("f0", (dir + "/link").c_str()));
            files += 1;
            if (depth == 3) continue;
            for (int d = 0; d < 4; ++d) {
                next.push_back(dir + "/d" + std::to_string(d));
                testsupport::make_dir(next.back());
            }
        }
        level = std::move(next);
    }
    testsupport::make_dir(src + "/d1/d2/empty");
    set_past_times(src);
    const Tree before = scan_tree(src);
    testsupport::make_dir(tmp.sub("out"));

    Progress p = copy_and_wait({src}, tmp.sub("out"), Operation::Copy, 1);
    EXPECT_EQ(files, p.files_total);
    EXPECT_EQ(bytes, p.bytes_total);
    EXPECT_EQ(files, p.files_done);
    EXPECT_EQ(bytes, p.bytes_done);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    expect_same_tree(before, scan_tree(tmp.sub("out/tree")), false);
}

// Times set in the past, as a restored backup has them: the change time is then newer than the access
// time, and under relatime the first read of a file or listing of a folder would move it. The copy
// must carry the times the source had before the transfer began.
TEST(CopyEngine, PastAccessTimesOfFilesAndFoldersSurviveTheCopy) {
    for (Operation op : {Operation::Copy, Operation::Move}) {
        SCOPED_TRACE(mode_name(op));
        TempDir tmp("engine-atime");
        std::string src = tmp.sub("old");
        for (const char* d : {"old", "old/a", "old/a/b", "old/empty"})
            testsupport::make_dir(tmp.sub(d));
        testsupport::write_file(src + "/f.txt", "file");
        write_pattern(src + "/a/b/big.bin", 2 * 1024 * 1024 + 5, 3);
        std::vector<std::string> deepest_first = {src + "/a/b/big.bin", src + "/a/b",   src + "/a",
                                                  src + "/empty",       src + "/f.txt", src};
        auto set_all = [&] {
            long ns = 111111111;
            for (const auto& p : deepest_first) {
                set_times(p, ts(1000000000, ns), ts(1100000000, ns + 1));
                ns += 1000;
            }
        };
        set_all();
        Tree before = scan_tree(src);
        set_all(); // reading the tree for the comparison moved the access times
        std::optional<ScopedMount> mount;
        std::string dst = tmp.sub("dst");
        if (op == Operation::Move) {
            // Across file systems, so that the move copies rather than renames.
            mount.emplace(ScopedMount::tmpfs("16m"));
            SKIP_UNLESS_MOUNTED(*mount);
            dst = mount->path();
        } else {
            testsupport::make_dir(dst);
        }
        Progress p = copy_and_wait({src}, dst, op, 2);
        EXPECT_EQ(0u, p.failures_total) << failures_text(p);
        expect_same_tree(before, scan_tree(dst + "/old"), false);
    }
}

TEST(CopyEngine, ReflinkClonesOnXfsAndCountsTheWholeSize) {
    ScopedMount xfs = ScopedMount::xfs_reflink(400);
    SKIP_UNLESS_MOUNTED(xfs);
    testsupport::make_dir(xfs.sub("src"));
    testsupport::make_dir(xfs.sub("dst"));
    write_pattern(xfs.sub("src/a.bin"), 5 * 1024 * 1024 + 3, 1);
    write_pattern(xfs.sub("src/b.bin"), 4096, 2);
    Progress p = copy_and_wait({xfs.sub("src")}, xfs.sub("dst"));
    EXPECT_EQ(2, p.cloned);
    EXPECT_EQ(2, p.files_copied);
    EXPECT_EQ(p.bytes_total, p.bytes_done);
    EXPECT_EQ(5 * 1024 * 1024 + 3 + 4096, p.bytes_done);
    EXPECT_EQ(testsupport::read_file(xfs.sub("src/a.bin")), testsupport::read_file(xfs.sub("dst/src/a.bin")));
}

// ---------------------------------------------------------------------------------------------------
// Conflicts

struct FileConflictCase {
    const char* name;
    ConflictAction action;
    bool existing_newer;
    std::string expect_target;  // content at notes.txt afterwards
    std::string expect_renamed; // content at notes.1.txt, "" when it must not exist
    bool expect_cancelled;
    int64_t expect_copied;
};

class FileConflict : public ::testing::TestWithParam<std::tuple<FileConflictCase, bool>> {};

TEST_P(FileConflict, AppliesTheAnswer) {
    const FileConflictCase& c = std::get<0>(GetParam());
    const bool asked = std::get<1>(GetParam());
    TempDir tmp("engine-conflict");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("src/notes.txt"), "incoming");
    testsupport::write_file(tmp.sub("dst/notes.txt"), "old");
    time_t now = time(nullptr);
    set_times(tmp.sub("src/notes.txt"), ts(now, 0), ts(now - 1000, 0));
    set_times(tmp.sub("dst/notes.txt"), ts(now, 0), ts(c.existing_newer ? now - 10 : now - 5000, 0));

    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("src/notes.txt")}, tmp.sub("dst"), Operation::Copy, 2,
                             asked ? ConflictAction::Ask : c.action));
    int questions = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending) return;
        ++questions;
        EXPECT_EQ(tmp.sub("src/notes.txt"), s.conflict.source_path);
        EXPECT_EQ(tmp.sub("dst/notes.txt"), s.conflict.target_path);
        EXPECT_EQ(8, s.conflict.source_size);
        EXPECT_EQ(3, s.conflict.target_size);
        EXPECT_FALSE(s.conflict.is_dir);
        e.resolve_conflict(c.action, false);
        // The worker clears the question when it wakes; wait for that so it is counted once.
        for (int i = 0; i < 400 && e.snapshot().conflict.pending; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_EQ(asked ? 1 : 0, questions);
    EXPECT_EQ(c.expect_target, testsupport::read_file(tmp.sub("dst/notes.txt")));
    if (c.expect_renamed.empty())
        EXPECT_FALSE(testsupport::exists(tmp.sub("dst/notes.1.txt")));
    else
        EXPECT_EQ(c.expect_renamed, testsupport::read_file(tmp.sub("dst/notes.1.txt")));
    EXPECT_EQ(c.expect_cancelled, p.cancelled);
    EXPECT_EQ(c.expect_copied, p.files_copied);
    EXPECT_EQ(1, p.files_done);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ("incoming", testsupport::read_file(tmp.sub("src/notes.txt")));
}

const FileConflictCase kFileConflicts[] = {
    {"overwrite", ConflictAction::Overwrite, false, "incoming", "", false, 1},
    {"skip", ConflictAction::Skip, false, "old", "", false, 0},
    {"rename_new", ConflictAction::RenameNew, false, "old", "incoming", false, 1},
    {"rename_existing", ConflictAction::RenameExisting, false, "incoming", "old", false, 1},
    {"newer_replaces_older", ConflictAction::OverwriteIfNewer, false, "incoming", "", false, 1},
    {"newer_keeps_newer", ConflictAction::OverwriteIfNewer, true, "old", "", false, 0},
    {"cancel", ConflictAction::Cancel, false, "old", "", true, 0},
};

INSTANTIATE_TEST_SUITE_P(Actions, FileConflict,
                         ::testing::Combine(::testing::ValuesIn(kFileConflicts), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_asked" : "_by_rule");
                         });

struct FolderConflictCase {
    const char* name;
    ConflictAction action;
    // Relative path -> content expected under dst afterwards (every file there is listed).
    std::map<std::string, std::string> expect;
    bool expect_cancelled;
};

class FolderConflict : public ::testing::TestWithParam<std::tuple<FolderConflictCase, bool>> {};

TEST_P(FolderConflict, AppliesTheAnswer) {
    const FolderConflictCase& c = std::get<0>(GetParam());
    const bool asked = std::get<1>(GetParam());
    TempDir tmp("engine-dirconflict");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("src/d"));
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::make_dir(tmp.sub("dst/d"));
    testsupport::write_file(tmp.sub("src/d/x"), "new x");
    testsupport::write_file(tmp.sub("src/d/y"), "y");
    testsupport::write_file(tmp.sub("dst/d/x"), "old x");
    testsupport::write_file(tmp.sub("dst/d/z"), "z");
    time_t now = time(nullptr);
    set_times(tmp.sub("src/d/x"), ts(now, 0), ts(now - 100, 0));
    set_times(tmp.sub("dst/d/x"), ts(now, 0), ts(now - 9000, 0));

    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("src/d")}, tmp.sub("dst"), Operation::Copy, 2,
                             asked ? ConflictAction::Ask : c.action));
    std::vector<bool> asked_dirs;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending) return;
        asked_dirs.push_back(s.conflict.is_dir);
        e.resolve_conflict(c.action, false);
        for (int i = 0; i < 400 && e.snapshot().conflict.pending; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    if (asked) {
        ASSERT_FALSE(asked_dirs.empty());
        EXPECT_TRUE(asked_dirs.front()) << "the folder is asked about first";
        bool merges = c.action != ConflictAction::Skip && c.action != ConflictAction::RenameNew &&
                      c.action != ConflictAction::Cancel;
        // Merging asks again, for the one file that collides.
        EXPECT_EQ(merges ? 2u : 1u, asked_dirs.size());
    }
    std::map<std::string, std::string> got;
    for (const auto& [rel, n] : scan_tree(tmp.sub("dst")))
        if (n.type == 'f') got[rel] = n.content;
    EXPECT_EQ(c.expect, got);
    EXPECT_EQ(c.expect_cancelled, p.cancelled);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
}

const FolderConflictCase kFolderConflicts[] = {
    {"overwrite_merges", ConflictAction::Overwrite, {{"d/x", "new x"}, {"d/y", "y"}, {"d/z", "z"}}, false},
    {"skip", ConflictAction::Skip, {{"d/x", "old x"}, {"d/z", "z"}}, false},
    {"rename_new_keeps_both",
     ConflictAction::RenameNew,
     {{"d/x", "old x"}, {"d/z", "z"}, {"d.1/x", "new x"}, {"d.1/y", "y"}},
     false},
    {"rename_existing_merges",
     ConflictAction::RenameExisting,
     {{"d/x", "new x"}, {"d/x.1", "old x"}, {"d/y", "y"}, {"d/z", "z"}},
     false},
    {"overwrite_if_newer_merges",
     ConflictAction::OverwriteIfNewer,
     {{"d/x", "new x"}, {"d/y", "y"}, {"d/z", "z"}},
     false},
    {"cancel", ConflictAction::Cancel, {{"d/x", "old x"}, {"d/z", "z"}}, true},
};

INSTANTIATE_TEST_SUITE_P(Actions, FolderConflict,
                         ::testing::Combine(::testing::ValuesIn(kFolderConflicts), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_asked" : "_by_rule");
                         });

// A merged folder whose subfolder meets a file of that name at the target: the subfolder is recorded and
// its whole tree counted as dealt with (from what measuring listed), the rest is copied.
TEST(CopyEngine, SubfolderBlockedByAFileIsRecordedAndCounted) {
    TempDir tmp("engine-blocked");
    for (const char* d : {"src", "src/d", "src/d/sub", "src/d/sub/deeper", "dst"})
        testsupport::make_dir(tmp.sub(d));
    testsupport::write_file(tmp.sub("src/d/a"), "a");
    for (const char* f : {"sub/1", "sub/2", "sub/deeper/3"})
        testsupport::write_file(tmp.sub(std::string("src/d/") + f), "four");
    testsupport::make_dir(tmp.sub("dst/d"));
    testsupport::write_file(tmp.sub("dst/d/sub"), "a file in the way");

    Progress p = copy_and_wait({tmp.sub("src/d")}, tmp.sub("dst"), Operation::Copy, 2);
    ASSERT_EQ(1u, p.failures_total) << failures_text(p);
    EXPECT_EQ(tmp.sub("dst/d/sub"), p.failures[0].path);
    EXPECT_EQ("a file with this name is in the way", p.failures[0].message);
    EXPECT_EQ(4, p.files_total);
    EXPECT_EQ(p.files_total, p.files_done);
    EXPECT_EQ(p.bytes_total, p.bytes_done);
    EXPECT_EQ(1, p.files_copied);
    EXPECT_EQ("a", testsupport::read_file(tmp.sub("dst/d/a")));
    EXPECT_EQ("a file in the way", testsupport::read_file(tmp.sub("dst/d/sub")));
}

TEST(CopyEngine, AsksOneQuestionAtATimeAcrossWorkers) {
    TempDir tmp("engine-questions");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::make_dir(tmp.sub("dst/src"));
    const int kFiles = 8;
    for (int i = 0; i < kFiles; ++i) {
        testsupport::write_file(tmp.sub("src/f" + std::to_string(i)), "new " + std::to_string(i));
        testsupport::write_file(tmp.sub("dst/src/f" + std::to_string(i)), "old " + std::to_string(i));
    }
    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("src")}, tmp.sub("dst"), Operation::Copy, 4, ConflictAction::Ask));
    std::vector<std::string> questions;
    std::string last_answered;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending || s.conflict.source_path == last_answered)
            return; // none, or the worker has not taken its answer yet
        if (s.conflict.is_dir) {
            last_answered = s.conflict.source_path;
            e.resolve_conflict(ConflictAction::Overwrite, false); // merge into the existing folder
            return;
        }
        // Give the other workers time to run into their own conflicts before answering.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Progress again = e.snapshot();
        EXPECT_EQ(s.conflict.source_path, again.conflict.source_path) << "an open question was replaced";
        questions.push_back(s.conflict.source_path);
        last_answered = s.conflict.source_path;
        int n = std::stoi(s.conflict.source_path.substr(s.conflict.source_path.rfind('f') + 1));
        e.resolve_conflict(n % 2 == 0 ? ConflictAction::Overwrite : ConflictAction::Skip, false);
    });
    std::set<std::string> distinct(questions.begin(), questions.end());
    EXPECT_EQ(static_cast<size_t>(kFiles), questions.size());
    EXPECT_EQ(static_cast<size_t>(kFiles), distinct.size());
    for (int i = 0; i < kFiles; ++i) {
        std::string want = (i % 2 == 0 ? "new " : "old ") + std::to_string(i);
        EXPECT_EQ(want, testsupport::read_file(tmp.sub("dst/src/f" + std::to_string(i)))) << "file " << i;
    }
    EXPECT_EQ(kFiles / 2, p.files_copied);
    EXPECT_FALSE(p.cancelled);
}

TEST(CopyEngine, AnswerForAllAppliesToLaterFilesAndFolders) {
    struct Case {
        ConflictAction action;
        std::string a_content; // dst/a.txt afterwards
        bool d_new_present;    // dst/D/new.txt (or D.1/new.txt for RenameNew) afterwards
    };
    const std::vector<Case> cases = {
        {ConflictAction::Skip, "old a", false},
        {ConflictAction::Overwrite, "new a", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(copy_engine::conflict_action_name(c.action));
        TempDir tmp("engine-all");
        for (const char* d : {"src", "dst", "src/D", "dst/D"})
            testsupport::make_dir(tmp.sub(d));
        testsupport::write_file(tmp.sub("src/a.txt"), "new a");
        testsupport::write_file(tmp.sub("dst/a.txt"), "old a");
        testsupport::write_file(tmp.sub("src/b.txt"), "new b");
        testsupport::write_file(tmp.sub("dst/b.txt"), "old b");
        testsupport::write_file(tmp.sub("src/D/new.txt"), "n");
        testsupport::write_file(tmp.sub("src/D/same.txt"), "new same");
        testsupport::write_file(tmp.sub("dst/D/same.txt"), "old same");
        Engine engine;
        ASSERT_TRUE(engine.start({tmp.sub("src/a.txt"), tmp.sub("src/D"), tmp.sub("src/b.txt")},
                                 tmp.sub("dst"), Operation::Copy, 3, ConflictAction::Ask));
        int questions = 0;
        Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
            if (!s.conflict.pending) return;
            ++questions;
            e.resolve_conflict(c.action, true);
            for (int i = 0; i < 400 && e.snapshot().conflict.pending; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        EXPECT_EQ(1, questions);
        EXPECT_EQ(c.a_content, testsupport::read_file(tmp.sub("dst/a.txt")));
        std::string b_want = c.action == ConflictAction::Skip ? "old b" : "new b";
        EXPECT_EQ(b_want, testsupport::read_file(tmp.sub("dst/b.txt")));
        EXPECT_EQ(c.d_new_present, testsupport::exists(tmp.sub("dst/D/new.txt")));
        std::string same_want = c.action == ConflictAction::Skip ? "old same" : "new same";
        EXPECT_EQ(same_want, testsupport::read_file(tmp.sub("dst/D/same.txt")));
        EXPECT_FALSE(p.cancelled);
    }
}

TEST(CopyEngine, WorkerWaitingForAnAnswerIsNeverStalled) {
    TempDir tmp("engine-wait");
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("q.txt"), "new");
    testsupport::write_file(tmp.sub("dst/q.txt"), "old");
    Engine engine;
    // Intervals 1/15 and 1/45 of the real ones (still above the 200 ms heartbeat of a waiting worker):
    // the wait stands for more than a minute.
    engine.set_watchdog_intervals(1.0, 2.0);
    ASSERT_TRUE(engine.start({tmp.sub("q.txt")}, tmp.sub("dst"), Operation::Copy, 1, ConflictAction::Ask));
    auto t0 = std::chrono::steady_clock::now();
    bool answered = false;
    bool saw_question = false;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        EXPECT_EQ("", s.stalled_path);
        EXPECT_EQ("", e.watchdog_tick());
        if (s.conflict.pending) saw_question = true;
        if (s.conflict.pending && !answered && seconds_since(t0) > 3.0) {
            answered = true;
            e.resolve_conflict(ConflictAction::Overwrite, false);
        }
    });
    EXPECT_TRUE(saw_question);
    EXPECT_EQ("new", testsupport::read_file(tmp.sub("dst/q.txt")));
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(1, p.files_copied);
}

// From a local disk the data of the next small files is asked for while the worker copies, a window ahead
// and no further: with the worker held by a question on the first file, the next files come into the
// cache and the later ones stay out.
TEST(CopyEngine, ReadsAheadAWindowOfFilesAndNoFurther) {
    TempDir tmp("engine-ahead");
    const fsops::DeviceClass cls = fsops::classify_device(tmp.path());
    if (cls != fsops::DeviceClass::Rotational && cls != fsops::DeviceClass::Ssd &&
        cls != fsops::DeviceClass::Nvme)
        GTEST_SKIP() << "the temporary folder is not on a local disk but on "
                     << fsops::device_class_name(cls);
    if (fsops::cpu_cores() < 2) GTEST_SKIP() << "one core: nothing reads ahead";
    constexpr int kFiles = 300;
    const auto name = [](int i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "f%03d", i);
        return std::string(buf);
    };
    testsupport::make_dir(tmp.sub("src"));
    for (int i = 0; i < kFiles; ++i)
        write_pattern(tmp.sub("src/" + name(i)), 4096, static_cast<unsigned>(i));
    // Chosen one by one, the files are copied in the order given.
    std::vector<std::string> sources;
    for (int i = 0; i < kFiles; ++i)
        sources.push_back(tmp.sub("src/" + name(i)));
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("dst/" + name(0)), "old");
    for (int i = 0; i < kFiles; ++i)
        testsupport::drop_from_cache(tmp.sub("src/" + name(i)));
    if (testsupport::first_page_cached(tmp.sub("src/" + name(kFiles - 1))))
        GTEST_SKIP() << "this file system keeps its files in memory";

    Engine engine;
    ASSERT_TRUE(engine.start(sources, tmp.sub("dst"), Operation::Copy, 1, ConflictAction::Ask));
    auto t0 = std::chrono::steady_clock::now();
    bool answered = false;
    int near = 0;
    int far = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending || answered) return;
        // The file after the one in question is the worker's to open; the 32 after it (half the
        // window) come in. Wait for them, for 10 s at most.
        near = 0;
        for (int i = 2; i <= 33; ++i)
            near += testsupport::first_page_cached(tmp.sub("src/" + name(i))) ? 1 : 0;
        if (near < 32 && seconds_since(t0) < 10) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int i = 100; i < kFiles; ++i)
            far += testsupport::first_page_cached(tmp.sub("src/" + name(i))) ? 1 : 0;
        answered = true;
        e.resolve_conflict(ConflictAction::Skip, false);
    });
    EXPECT_TRUE(answered);
    EXPECT_EQ(32, near) << "files right after the one in question were not read ahead";
    EXPECT_EQ(0, far) << "files beyond the window were read ahead";
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(kFiles - 1, p.files_copied);
    EXPECT_EQ("old", testsupport::read_file(tmp.sub("dst/" + name(0))));
}

// Names of one file chosen one by one (not inside a copied folder) stay one file in the target.
TEST(CopyEngine, HardLinksChosenOneByOneStayTogether) {
    for (Operation op : {Operation::Copy, Operation::Move}) {
        SCOPED_TRACE(mode_name(op));
        TempDir tmp("engine-toplinks");
        testsupport::make_dir(tmp.sub("src"));
        testsupport::write_file(tmp.sub("src/one"), "shared");
        ASSERT_EQ(0, link(tmp.sub("src/one").c_str(), tmp.sub("src/two").c_str()));
        testsupport::write_file(tmp.sub("src/alone"), "alone");
        std::optional<ScopedMount> mount;
        std::string dst = tmp.sub("dst");
        if (op == Operation::Move) {
            mount.emplace(ScopedMount::tmpfs("8m"));
            SKIP_UNLESS_MOUNTED(*mount);
            dst = mount->path();
        } else {
            testsupport::make_dir(dst);
        }
        Progress p =
            copy_and_wait({tmp.sub("src/one"), tmp.sub("src/alone"), tmp.sub("src/two")}, dst, op, 3);
        EXPECT_EQ(0u, p.failures_total) << failures_text(p);
        struct stat a {
        }, b{}, c{};
        ASSERT_EQ(0, lstat((dst + "/one").c_str(), &a));
        ASSERT_EQ(0, lstat((dst + "/two").c_str(), &b));
        ASSERT_EQ(0, lstat((dst + "/alone").c_str(), &c));
        EXPECT_EQ(a.st_ino, b.st_ino) << "the two names were copied apart";
        EXPECT_NE(a.st_ino, c.st_ino);
        EXPECT_EQ("shared", testsupport::read_file(dst + "/two"));
        EXPECT_EQ(op == Operation::Copy, testsupport::exists(tmp.sub("src/two")));
    }
}

TEST(CopyEngine, ReplacesExistingTargetsWithLinksWithoutLeftovers) {
    TempDir tmp("engine-links");
    for (const char* d : {"src", "src/d", "dst", "dst/src", "dst/src/d"})
        testsupport::make_dir(tmp.sub(d));
    testsupport::write_file(tmp.sub("src/d/h1"), "hard");
    ASSERT_EQ(0, link(tmp.sub("src/d/h1").c_str(), tmp.sub("src/h2").c_str()));
    ASSERT_EQ(0, symlink("d/h1", tmp.sub("src/ln").c_str()));
    testsupport::write_file(tmp.sub("dst/src/h2"), "old h2");
    testsupport::write_file(tmp.sub("dst/src/ln"), "old ln");
    testsupport::write_file(tmp.sub("dst/src/d/h1"), "old h1");
    Progress p =
        copy_and_wait({tmp.sub("src")}, tmp.sub("dst"), Operation::Copy, 1, ConflictAction::Overwrite);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    struct stat a {
    }, b{};
    ASSERT_EQ(0, lstat(tmp.sub("dst/src/d/h1").c_str(), &a));
    ASSERT_EQ(0, lstat(tmp.sub("dst/src/h2").c_str(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino) << "hard links kept together over existing files";
    char buf[64] = {};
    ASSERT_GT(readlink(tmp.sub("dst/src/ln").c_str(), buf, sizeof buf - 1), 0);
    EXPECT_STREQ("d/h1", buf);
    for (const auto& [rel, n] : scan_tree(tmp.sub("dst")))
        EXPECT_FALSE(fsops::is_partial_copy_name(rel.substr(rel.rfind('/') + 1))) << rel;
}

TEST(CopyEngine, RefusesSelfCopiesAndVanishedSources) {
    TempDir tmp("engine-self");
    testsupport::make_dir(tmp.sub("a"));
    testsupport::make_dir(tmp.sub("a/sub"));
    testsupport::write_file(tmp.sub("a/f"), "f");
    testsupport::write_file(tmp.sub("photo.jpg"), "jpg");
    ASSERT_EQ(0, symlink(tmp.sub("a/sub").c_str(), tmp.sub("via_link").c_str()));
    struct Case {
        const char* name;
        std::string source;
        std::string target_dir;
        ConflictAction rule;
        std::string message; // "" when it must succeed
    };
    const std::vector<Case> cases = {
        {"into_own_subfolder", tmp.sub("a"), tmp.sub("a/sub"), ConflictAction::Overwrite,
         "cannot copy a folder into itself"},
        {"into_itself_through_a_link", tmp.sub("a"), tmp.sub("via_link"), ConflictAction::Overwrite,
         "cannot copy a folder into itself"},
        {"file_onto_itself", tmp.sub("photo.jpg"), tmp.path(), ConflictAction::Overwrite,
         "cannot copy a folder into itself"},
        {"vanished", tmp.sub("gone"), tmp.sub("a"), ConflictAction::Overwrite, "no longer exists"},
        {"duplicate_beside", tmp.sub("photo.jpg"), tmp.path(), ConflictAction::RenameNew, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Progress p = copy_and_wait({c.source}, c.target_dir, Operation::Copy, 2, c.rule);
        if (c.message.empty()) {
            EXPECT_EQ(0u, p.failures_total) << failures_text(p);
        } else {
            ASSERT_EQ(1u, p.failures.size()) << failures_text(p);
            EXPECT_EQ(c.message, p.failures[0].message);
            EXPECT_EQ(c.source, p.failures[0].path);
        }
    }
    EXPECT_EQ("jpg", testsupport::read_file(tmp.sub("photo.1.jpg")));
    EXPECT_FALSE(testsupport::exists(tmp.sub("a/sub/a")));
}

TEST(CopyEngine, StoresAtMost500FailuresWithTheTrueTotal) {
    TempDir tmp("engine-many");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("dst"));
    for (int i = 0; i < 600; ++i)
        make_fifo(tmp.sub("src/p" + std::to_string(i)));
    Progress p = copy_and_wait({tmp.sub("src")}, tmp.sub("dst"));
    EXPECT_EQ(600u, p.failures_total);
    EXPECT_EQ(500u, p.failures.size());
    EXPECT_EQ(600, p.files_done);
}

TEST(CopyEngine, MoveWithinOneFileSystemIsOneRename) {
    TempDir tmp("engine-rename");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("dst"));
    for (int i = 0; i < 5; ++i)
        testsupport::write_file(tmp.sub("src/f" + std::to_string(i)), std::string(100, 'x'));
    Progress p = copy_and_wait({tmp.sub("src")}, tmp.sub("dst"), Operation::Move);
    EXPECT_FALSE(testsupport::exists(tmp.sub("src")));
    EXPECT_EQ(5, p.files_done);
    EXPECT_EQ(500, p.bytes_done);
    EXPECT_EQ(0, p.files_copied);
    EXPECT_TRUE(log_contains("moved " + tmp.sub("src") + " -> " + tmp.sub("dst/src") + " (rename)"));
}

// ---------------------------------------------------------------------------------------------------
// Progress arithmetic

TEST(Progress, TimeLeftOnlyWhenItCanBeTrusted) {
    struct Case {
        const char* name;
        copy_engine::EstimateInput in;
        double expect; // -1 for none
    };
    const int64_t MiB = 1 << 20;
    const std::vector<Case> cases = {
        {"measuring", {100 * MiB, 0, 10, 0, 10.0 * MiB, 1, true}, -1},
        {"nothing_left", {100 * MiB, 100 * MiB, 10, 10, 10.0 * MiB, 1, false}, -1},
        {"slower_than_1KiB_per_s", {100 * MiB, 0, 2, 0, 1000, 0.5, false}, -1},
        {"few_files_by_bytes", {100 * MiB, 50 * MiB, 4, 1, 10.0 * MiB, 0.001, false}, 5},
        {"file_rate_too_low", {100 * MiB, 50 * MiB, 100, 10, 10.0 * MiB, 0.01, false}, -1},
        {"estimates_agree_takes_larger", {100 * MiB, 50 * MiB, 100, 50, 10.0 * MiB, 5, false}, 10},
        {"within_factor_four", {100 * MiB, 60 * MiB, 100, 20, 10.0 * MiB, 8, false}, 10},
        {"exactly_factor_four", {100 * MiB, 60 * MiB, 100, 20, 10.0 * MiB, 5, false}, 16},
        {"one_huge_file_left_behind_many_small",
         {1000 * MiB, 10 * MiB, 1000, 990, 10.0 * MiB, 100, false},
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(c.expect, copy_engine::estimate_seconds_remaining(c.in), 1e-9);
    }
}

TEST(Progress, RatesAreSmoothed) {
    struct Case {
        double previous, instant, expect;
    };
    const std::vector<Case> cases = {{0, 100, 100}, {100, 200, 140}, {100, 0, 60}, {-1, 50, 50}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(c.expect, copy_engine::smooth_rate(c.previous, c.instant))
            << c.previous << " " << c.instant;
}

TEST(Progress, DefaultsBeforeAnyTransfer) {
    Engine engine;
    Progress p = engine.snapshot();
    EXPECT_FALSE(p.running);
    EXPECT_FALSE(p.finished);
    EXPECT_EQ(-1, p.seconds_remaining);
    EXPECT_EQ(-1, p.target_free);
    EXPECT_EQ(0, p.elapsed_seconds);
    EXPECT_FALSE(p.conflict.pending);
    EXPECT_EQ("", engine.watchdog_tick());
    EXPECT_FALSE(engine.start({}, "/tmp", Operation::Copy, 1, ConflictAction::Ask));
    EXPECT_FALSE(engine.start({"/tmp"}, "", Operation::Copy, 1, ConflictAction::Ask));
}

TEST(Progress, RateAndTimeLeftDuringATransfer) {
    TempDir tmp("engine-rate");
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("stop.txt"), "s");
    testsupport::write_file(tmp.sub("dst/stop.txt"), "s");
    write_pattern(tmp.sub("big.bin"), 64 << 20, 3);
    Engine engine;
    // The conflict on the second source holds the transfer open after the big file is done, so the
    // rate can be read at leisure.
    ASSERT_TRUE(engine.start({tmp.sub("big.bin"), tmp.sub("stop.txt")}, tmp.sub("dst"), Operation::Copy, 1,
                             ConflictAction::Ask));
    double best_rate = 0;
    bool answered = false;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        best_rate = std::max(best_rate, s.bytes_per_second);
        if (s.scanning) {
            EXPECT_EQ(-1, s.seconds_remaining);
        }
        if (s.conflict.pending && !answered && s.elapsed_seconds > 0.7) {
            answered = true;
            e.resolve_conflict(ConflictAction::Skip, false);
        }
    });
    EXPECT_GT(best_rate, 0);
    EXPECT_GT(p.elapsed_seconds, 0.5);
    EXPECT_EQ(-1, p.seconds_remaining);
}

// ---------------------------------------------------------------------------------------------------
// Cancel

TEST(Cancel, DuringMeasuringCopiesNothing) {
    TempDir tmp("engine-cancel-scan");
    testsupport::make_dir(tmp.sub("src"));
    testsupport::make_dir(tmp.sub("dst"));
    for (int d = 0; d < 40; ++d) {
        std::string dir = tmp.sub("src/d" + std::to_string(d));
        testsupport::make_dir(dir);
        for (int f = 0; f < 100; ++f)
            testsupport::write_file(dir + "/f" + std::to_string(f), "x");
    }
    Engine engine;
    ASSERT_TRUE(
        engine.start({tmp.sub("src")}, tmp.sub("dst"), Operation::Copy, 2, ConflictAction::Overwrite));
    bool was_scanning = engine.snapshot().scanning;
    engine.cancel();
    Progress p = run_to_end(engine);
    EXPECT_TRUE(p.finished);
    EXPECT_TRUE(p.cancelled);
    EXPECT_FALSE(p.running);
    EXPECT_EQ(0, p.files_copied);
    if (was_scanning) {
        EXPECT_EQ(1u, scan_tree(tmp.sub("dst")).size()) << "nothing created when cancelled while measuring";
    }
    // The engine takes the next transfer.
    testsupport::write_file(tmp.sub("one.txt"), "1");
    ASSERT_TRUE(engine.start({tmp.sub("one.txt")}, tmp.sub("dst"), Operation::Copy, 1, ConflictAction::Ask));
    Progress next = run_to_end(engine);
    EXPECT_FALSE(next.cancelled);
    EXPECT_EQ(1, next.files_copied);
    EXPECT_EQ("1", testsupport::read_file(tmp.sub("dst/one.txt")));
}

struct LargeFileCase {
    const char* name;
    Operation op;
    bool existing_target; // an older version already at the target, to be replaced
};

class CancelLargeFile : public ::testing::TestWithParam<LargeFileCase> {};

TEST_P(CancelLargeFile, LeavesNothingPartialAndLosesNothing) {
    const LargeFileCase& c = GetParam();
    TempDir tmp("engine-cancel-big");
    ScopedMount mount = ScopedMount::tmpfs("600m");
    SKIP_UNLESS_MOUNTED(mount);
    // Another file system, so that the move really copies.
    std::string dst = mount.path();
    write_pattern(tmp.sub("huge.bin"), 128 << 20, 9);
    std::string original = testsupport::read_file(tmp.sub("huge.bin"));
    if (c.existing_target) testsupport::write_file(dst + "/huge.bin", "previous version");
    Log::instance().clear();

    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("huge.bin")}, dst, c.op, 1, ConflictAction::Overwrite));
    bool cancelled_mid_file = false;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!cancelled_mid_file && s.bytes_done > 0 && s.bytes_done < s.bytes_total) {
            cancelled_mid_file = true;
            e.cancel();
        }
    });
    if (!cancelled_mid_file) GTEST_SKIP() << "the copy ended before it could be cancelled";
    EXPECT_TRUE(p.cancelled);
    EXPECT_TRUE(p.finished);
    EXPECT_EQ(0, p.files_copied);
    EXPECT_EQ(1, p.files_cancelled);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_FALSE(log_contains("copied " + tmp.sub("huge.bin")));
    EXPECT_TRUE(log_contains("cancelled while busy with " + tmp.sub("huge.bin")));
    EXPECT_EQ(original, testsupport::read_file(tmp.sub("huge.bin"))) << "the source stays";
    Tree left = scan_tree(dst);
    if (c.existing_target) {
        EXPECT_EQ(2u, left.size());
        EXPECT_EQ("previous version", testsupport::read_file(dst + "/huge.bin"));
    } else {
        EXPECT_EQ(1u, left.size()) << "no partial file";
    }
}

INSTANTIATE_TEST_SUITE_P(Cancel, CancelLargeFile,
                         ::testing::Values(LargeFileCase{"copy", Operation::Copy, false},
                                           LargeFileCase{"copy_over_existing", Operation::Copy, true},
                                           LargeFileCase{"move", Operation::Move, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Cancel, DuringAMoveOfManyFilesKeepsEveryUnfinishedSource) {
    TempDir tmp("engine-cancel-move");
    ScopedMount mount = ScopedMount::tmpfs("300m");
    SKIP_UNLESS_MOUNTED(mount);
    testsupport::make_dir(tmp.sub("src"));
    std::map<std::string, std::string> originals;
    for (int i = 0; i < 24; ++i) {
        std::string name = "f" + std::to_string(i);
        write_pattern(tmp.sub("src/" + name), (4 << 20) + i, i);
        originals[name] = testsupport::read_file(tmp.sub("src/" + name));
    }
    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("src")}, mount.path(), Operation::Move, 3, ConflictAction::Overwrite));
    bool cancelled = false;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!cancelled && s.files_done >= 3) {
            cancelled = true;
            e.cancel();
        }
    });
    EXPECT_TRUE(p.cancelled);
    EXPECT_TRUE(testsupport::exists(tmp.sub("src"))) << "folders of a cancelled move stay";
    int moved = 0;
    for (const auto& [name, data] : originals) {
        bool in_source = testsupport::exists(tmp.sub("src/" + name));
        bool in_target = testsupport::exists(mount.sub("src/" + name));
        EXPECT_TRUE(in_source || in_target) << name << " was lost";
        if (in_target) {
            EXPECT_EQ(data, testsupport::read_file(mount.sub("src/" + name))) << name << " is partial";
        }
        if (in_source) {
            EXPECT_EQ(data, testsupport::read_file(tmp.sub("src/" + name)));
        }
        moved += !in_source;
    }
    // A file finished just as the cancel came is copied but its source stays.
    EXPECT_LE(moved, p.files_copied);
    for (const auto& [rel, n] : scan_tree(mount.path()))
        EXPECT_FALSE(fsops::is_partial_copy_name(rel.substr(rel.rfind('/') + 1))) << rel;
}

// ---------------------------------------------------------------------------------------------------
// A full target

class DiskFull : public ::testing::TestWithParam<Operation> {};

TEST_P(DiskFull, StopsTheTransferAndKeepsUnfinishedSources) {
    const Operation op = GetParam();
    TempDir tmp("engine-full");
    ScopedMount small = ScopedMount::tmpfs("1m");
    SKIP_UNLESS_MOUNTED(small);
    testsupport::make_dir(tmp.sub("src"));
    std::map<std::string, std::string> originals;
    for (int i = 0; i < 6; ++i) {
        std::string name = "part" + std::to_string(i);
        write_pattern(tmp.sub("src/" + name), 300 * 1024, i);
        originals[name] = testsupport::read_file(tmp.sub("src/" + name));
    }
    Progress p = copy_and_wait({tmp.sub("src")}, small.path(), op, 1);
    EXPECT_TRUE(p.disk_full);
    EXPECT_TRUE(p.cancelled);
    EXPECT_GT(p.space_short, 0);
    bool full_recorded = false;
    for (const auto& f : p.failures)
        full_recorded |= f.code == ENOSPC && f.attempts == 1;
    EXPECT_TRUE(full_recorded) << failures_text(p);
    int complete = 0;
    for (const auto& [name, data] : originals) {
        bool in_target = testsupport::exists(small.sub("src/" + name));
        if (in_target) {
            EXPECT_EQ(data, testsupport::read_file(small.sub("src/" + name))) << name << " is partial";
            ++complete;
        }
        if (op == Operation::Move && !in_target) {
            EXPECT_TRUE(testsupport::exists(tmp.sub("src/" + name))) << name << " was lost";
        }
    }
    EXPECT_LT(complete, 6);
    EXPECT_EQ(complete, p.files_copied);
    for (const auto& [rel, n] : scan_tree(small.path()))
        EXPECT_FALSE(fsops::is_partial_copy_name(rel.substr(rel.rfind('/') + 1))) << rel;
}

INSTANTIATE_TEST_SUITE_P(Operations, DiskFull, ::testing::Values(Operation::Copy, Operation::Move),
                         [](const auto& info) { return mode_name(info.param); });

// ---------------------------------------------------------------------------------------------------
// Faults injected into a separate process: tavrin-copy with a preloaded shim, or this suite re-run.

struct ChildResult {
    int status = -1;
    std::string out;
};

// Runs `argv` with extra environment entries; standard output is captured, standard input is empty.
// With `interrupt_after`, the child gets SIGINT once that many seconds have passed.
ChildResult run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
                      double interrupt_after = -1) {
    ChildResult r;
    int pipefd[2];
    if (pipe(pipefd) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        for (const auto& e : env_extra)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::thread interrupter;
    if (interrupt_after >= 0)
        interrupter = std::thread([pid, interrupt_after] {
            std::this_thread::sleep_for(std::chrono::duration<double>(interrupt_after));
            kill(pid, SIGINT);
        });
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    if (interrupter.joinable()) interrupter.join();
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string su_basename(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string build_path(const std::string& rel) {
    return std::string(TAVRIN_BUILD_DIR) + "/" + rel;
}

// Sanitizer runtimes must come first in the library list; a preloaded shim is allowed in front of them.
std::vector<std::string> preload_env(const std::string& shim) {
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* old = getenv("ASAN_OPTIONS")) asan += std::string(":") + old;
    return {"LD_PRELOAD=" + build_path("shims/" + shim + ".so"), asan};
}

long long json_number(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -999;
    return std::atoll(json.c_str() + at + key.size() + 3);
}

std::vector<std::pair<long long, std::string>> read_fault_log(const std::string& path) {
    std::vector<std::pair<long long, std::string>> events;
    std::istringstream in(testsupport::read_file(path));
    long long t;
    std::string what;
    while (in >> t >> what)
        events.emplace_back(t, what);
    return events;
}

struct RetryCase {
    const char* name;
    int error;
    int window_ms;   // how long opens fail, -1 for ever
    int expect_exit; // of tavrin-copy
    long long expect_retried;
    int expect_attempts; // of the recorded failure, 0 when none
    size_t expect_failing_opens;
};

class Retry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(Retry, TransientErrorsThreeTimesWithPausesOthersOnce) {
    const RetryCase& c = GetParam();
    TempDir tmp("engine-retry");
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("flaky.dat"), "payload");
    testsupport::write_file(tmp.sub("fine.dat"), "fine");
    std::string log = tmp.sub("opens.log");
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_FAULT_PATH=flaky.dat");
    env.push_back("TAVRIN_FAULT_ERRNO=" + std::to_string(c.error));
    env.push_back("TAVRIN_FAULT_WINDOW_MS=" + std::to_string(c.window_ms));
    env.push_back("TAVRIN_FAULT_LOG=" + log);
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child({build_path("tavrin-copy"), "--threads", "2", tmp.sub("flaky.dat"),
                               tmp.sub("fine.dat"), tmp.sub("dst")},
                              env);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(c.expect_exit, r.status);
    EXPECT_EQ(c.expect_retried, json_number(r.out, "retried"));
    EXPECT_EQ("fine", testsupport::read_file(tmp.sub("dst/fine.dat")));
    if (c.expect_attempts) {
        EXPECT_EQ(1, json_number(r.out, "failures_total"));
        EXPECT_NE(std::string::npos, r.out.find("\"attempts\":" + std::to_string(c.expect_attempts) +
                                                ",\"code\":" + std::to_string(c.error)));
        EXPECT_FALSE(testsupport::exists(tmp.sub("dst/flaky.dat")));
    } else {
        EXPECT_EQ("payload", testsupport::read_file(tmp.sub("dst/flaky.dat")));
    }

    // Attempts are told apart by the pauses between them: 0, then 120 ms, then 500 ms.
    std::vector<long long> fails;
    long long pass_at = -1;
    for (const auto& [t, what] : read_fault_log(log)) {
        if (what == "fail")
            fails.push_back(t);
        else if (pass_at < 0)
            pass_at = t;
    }
    ASSERT_EQ(c.expect_failing_opens, fails.size());
    std::vector<long long> attempts = fails;
    if (pass_at >= 0) attempts.push_back(pass_at);
    if (attempts.size() >= 2) {
        EXPECT_GE(attempts[1] - attempts[0], 115);
        EXPECT_LT(attempts[1] - attempts[0], 1000);
    }
    if (attempts.size() >= 3) {
        EXPECT_GE(attempts[2] - attempts[1], 495);
        EXPECT_LT(attempts[2] - attempts[1], 1500);
    }
    if (c.expect_retried == 1) {
        EXPECT_NE(std::string::npos,
                  testsupport::read_file(tmp.sub("config/Tavrin/Tavrin.log")).find("succeeded on attempt 3"));
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, Retry,
                         ::testing::Values(RetryCase{"eio_twice_then_ok", EIO, 550, 0, 1, 0, 2},
                                           RetryCase{"eio_always", EIO, -1, 1, 0, 3, 3},
                                           RetryCase{"ebusy_always", EBUSY, -1, 1, 0, 3, 3},
                                           RetryCase{"eacces_once", EACCES, -1, 1, 0, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Move, TargetThatAppearsBeforeTheRenameIsNeverReplaced) {
    TempDir tmp("engine-race");
    testsupport::make_dir(tmp.sub("dst"));
    testsupport::write_file(tmp.sub("doc.txt"), "moving");
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_RACE_TARGET=" + tmp.sub("dst/doc.txt"));
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child(
        {build_path("tavrin-copy"), "--move", "--conflict", "rename_new", tmp.sub("doc.txt"), tmp.sub("dst")},
        env);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("intruder\n", testsupport::read_file(tmp.sub("dst/doc.txt")));
    EXPECT_EQ("moving", testsupport::read_file(tmp.sub("dst/doc.1.txt")));
    EXPECT_FALSE(testsupport::exists(tmp.sub("doc.txt")));
}

// "Rename the existing file" moves it aside before the copy; a copy that then fails gives it its name
// back, so the target folder looks as it did.
TEST(Conflict, RenameExistingPutsTheOldFileBackWhenTheCopyFails) {
    TempDir tmp("engine-putback");
    for (const char* d : {"src", "dst"})
        testsupport::make_dir(tmp.sub(d));
    testsupport::write_file(tmp.sub("src/notes.txt"), "incoming");
    testsupport::write_file(tmp.sub("dst/notes.txt"), "old");
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_FAULT_PATH=src/notes.txt");
    env.push_back("TAVRIN_FAULT_ERRNO=" + std::to_string(EACCES));
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child({build_path("tavrin-copy"), "--conflict", "rename_existing",
                               tmp.sub("src/notes.txt"), tmp.sub("dst")},
                              env);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(1, json_number(r.out, "failures_total"));
    EXPECT_EQ("old", testsupport::read_file(tmp.sub("dst/notes.txt")));
    EXPECT_FALSE(testsupport::exists(tmp.sub("dst/notes.1.txt")));
}

// A file that another program writes to while it is moved across file systems: the copy holds the
// old data, so deleting the source would lose what was written meanwhile.
TEST(Move, SourceWrittenDuringItsCopyIsKept) {
    TempDir tmp("engine-grow");
    ScopedMount mount = ScopedMount::tmpfs("16m");
    SKIP_UNLESS_MOUNTED(mount);
    testsupport::make_dir(tmp.sub("src"));
    write_pattern(tmp.sub("src/grow.bin"), 3 * 1024 * 1024 + 1, 5);
    testsupport::write_file(tmp.sub("src/calm.txt"), "calm");
    const std::string original = testsupport::read_file(tmp.sub("src/grow.bin"));
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_GROW_PATH=grow.bin");
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child({build_path("tavrin-copy"), "--move", tmp.sub("src"), mount.path()}, env);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(1, json_number(r.out, "failures_total"));
    EXPECT_NE(std::string::npos, r.out.find("changed while it was being moved — the source was kept"));
    ASSERT_TRUE(testsupport::exists(tmp.sub("src/grow.bin"))) << "the only copy of the new data was deleted";
    EXPECT_EQ(original + "written during the copy\n", testsupport::read_file(tmp.sub("src/grow.bin")));
    EXPECT_EQ(original, testsupport::read_file(mount.sub("src/grow.bin")));
    // The file nobody touched is moved as usual.
    EXPECT_FALSE(testsupport::exists(tmp.sub("src/calm.txt")));
    EXPECT_EQ("calm", testsupport::read_file(mount.sub("src/calm.txt")));
}

TEST(Tool, AnswersConflictsFromStandardInput) {
    TempDir tmp("engine-tool");
    for (const char* d : {"src", "dst", "dst/src"})
        testsupport::make_dir(tmp.sub(d));
    for (const char* f : {"a", "b", "c"}) {
        testsupport::write_file(tmp.sub(std::string("src/") + f), std::string("new ") + f);
        testsupport::write_file(tmp.sub(std::string("dst/src/") + f), std::string("old ") + f);
    }
    // The folder (merge), the first file (overwrite), the second file and, through "all", the third.
    testsupport::write_file(tmp.sub("answers"), "overwrite\noverwrite\nrename_existing all\n");
    std::string cmd = "cd " + tmp.path() + " && XDG_CONFIG_HOME=" + tmp.sub("config") + " " +
                      build_path("tavrin-copy") + " --threads 1 src dst < answers; echo \"rc=$?\"";
    std::string out = testsupport::capture(cmd);
    SCOPED_TRACE(out);
    EXPECT_NE(std::string::npos,
              out.find("conflict\t" + tmp.sub("src") + "\t" + tmp.sub("dst/src") + "\tdir\n"));
    std::vector<std::string> asked;
    for (size_t at = out.find("\tfile\n"); at != std::string::npos; at = out.find("\tfile\n", at + 1)) {
        size_t line = out.rfind("conflict\t", at);
        size_t tab = out.find('\t', line + 9);
        asked.push_back(out.substr(line + 9, tab - line - 9));
    }
    ASSERT_EQ(2u, asked.size());
    EXPECT_NE(std::string::npos, out.find("rc=0"));
    EXPECT_EQ(3, json_number(out, "files_copied"));
    std::map<std::string, std::string> got;
    for (const auto& [rel, n] : scan_tree(tmp.sub("dst/src")))
        if (n.type == 'f') got[rel] = n.content;
    std::string first = su_basename(asked[0]);
    std::map<std::string, std::string> want;
    for (const char* f : {"a", "b", "c"}) {
        want[f] = std::string("new ") + f;
        if (first != f) want[std::string(f) + ".1"] = std::string("old ") + f;
    }
    EXPECT_EQ(want, got);
}

// Every printed question gets exactly the next answer line, with several workers meeting conflicts at
// once, a last answer without a line end, and blanks around the words.
TEST(Tool, EachQuestionTakesTheNextAnswerLine) {
    struct Case {
        const char* name;
        int files;
        std::vector<std::string> file_answers; // in question order; the folder is answered "overwrite"
        bool final_newline;
        int expect_questions;
    };
    const std::vector<Case> cases = {
        {"alternating_four_workers",
         10,
         {"overwrite", "skip", "overwrite", "skip", "overwrite", "skip", "overwrite", "skip", "overwrite",
          "skip"},
         true,
         11},
        {"last_answer_without_line_end", 2, {"skip", "overwrite"}, false, 3},
        {"blanks_around_words", 3, {"  skip ", "\toverwrite   all  "}, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp("engine-tool-answers");
        for (const char* d : {"src", "dst", "dst/src"})
            testsupport::make_dir(tmp.sub(d));
        for (int i = 0; i < c.files; ++i) {
            std::string f = "f" + std::to_string(i);
            testsupport::write_file(tmp.sub("src/" + f), "new " + f);
            testsupport::write_file(tmp.sub("dst/src/" + f), "old " + f);
        }
        std::string answers = "overwrite\n";
        for (size_t i = 0; i < c.file_answers.size(); ++i)
            answers += c.file_answers[i] + (i + 1 < c.file_answers.size() || c.final_newline ? "\n" : "");
        testsupport::write_file(tmp.sub("answers"), answers);
        std::string cmd = "cd " + tmp.path() + " && XDG_CONFIG_HOME=" + tmp.sub("config") + " " +
                          build_path("tavrin-copy") + " --threads 4 src dst < answers; echo \"rc=$?\"";
        std::string out = testsupport::capture(cmd);
        SCOPED_TRACE(out);
        std::vector<std::string> asked; // base names of the files, in the order asked
        int questions = 0;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("conflict\t", 0) != 0) continue;
            ++questions;
            if (line.size() > 5 && line.compare(line.size() - 5, 5, "\tfile") == 0) {
                std::string source = line.substr(9, line.find('\t', 9) - 9);
                asked.push_back(su_basename(source));
            }
        }
        EXPECT_EQ(c.expect_questions, questions);
        EXPECT_NE(std::string::npos, out.find("rc=0"));
        EXPECT_EQ(0, json_number(out, "files_cancelled"));
        // A standing "all" answers every file after its question the same way.
        std::string standing;
        std::set<std::string> seen;
        for (size_t i = 0; i < asked.size(); ++i) {
            std::string a = i < c.file_answers.size() ? c.file_answers[i] : standing;
            if (a.find("all") != std::string::npos) standing = a;
            bool overwrite = a.find("overwrite") != std::string::npos;
            seen.insert(asked[i]);
            EXPECT_EQ((overwrite ? "new " : "old ") + asked[i],
                      testsupport::read_file(tmp.sub("dst/src/" + asked[i])))
                << "answer " << i << " (" << a << ")";
        }
        for (int i = 0; i < c.files; ++i) {
            std::string f = "f" + std::to_string(i);
            if (!seen.count(f)) {
                EXPECT_FALSE(standing.empty())
                    << f << " was neither asked about nor covered by an answer for all";
                EXPECT_EQ("new " + f, testsupport::read_file(tmp.sub("dst/src/" + f)));
            }
        }
    }
}

// Sources named through "." or ".." are copied under their real names, never into the target folder
// itself or beside it.
TEST(Tool, DotArgumentsNameTheFolderTheyMean) {
    struct Case {
        const char* name;
        std::string cwd_rel; // working folder below the scratch folder
        std::string source;
        std::string target;
        std::string expect; // file expected afterwards, relative to the scratch folder
    };
    const std::vector<Case> cases = {
        {"dot", "src", ".", "../dst", "dst/src/d/f"},
        {"trailing_slash", "", "src/", "dst/", "dst/src/d/f"},
        {"dot_dot", "src/d", "..", "../../dst", "dst/src/d/f"},
        {"dots_inside", "", "./src/./d/../d/f", "dst/.", "dst/f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp("engine-tool-dots");
        for (const char* d : {"src", "src/d", "dst"})
            testsupport::make_dir(tmp.sub(d));
        testsupport::write_file(tmp.sub("src/d/f"), "f");
        std::string cmd = "cd " + tmp.sub(c.cwd_rel) + " && XDG_CONFIG_HOME=" + tmp.sub("config") + " " +
                          build_path("tavrin-copy") + " --conflict skip " + c.source + " " + c.target +
                          " < /dev/null; echo \"rc=$?\"";
        std::string out = testsupport::capture(cmd);
        SCOPED_TRACE(out);
        EXPECT_NE(std::string::npos, out.find("rc=0"));
        EXPECT_EQ(1, json_number(out, "files_copied"));
        EXPECT_EQ("f", testsupport::read_file(tmp.sub(c.expect)));
        EXPECT_FALSE(testsupport::exists(tmp.sub("d"))) << "copied beside the target";
    }
}

TEST(Tool, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/tmp"},
        {"--conflict", "sometimes", "/a", "/b"},
        {"--threads", "x", "/a", "/b"},
        {"--bogus", "/a", "/b"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {build_path("tavrin-copy")};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildResult r = run_child(argv, {});
        EXPECT_EQ(2, r.status) << ::testing::PrintToString(args);
    }
}

TEST(Tool, SigintCancelsAndLeavesNothingPartial) {
    TempDir tmp("engine-sigint");
    testsupport::make_dir(tmp.sub("dst"));
    write_pattern(tmp.sub("stuck.bin"), 3 << 20, 4);
    std::string original = testsupport::read_file(tmp.sub("stuck.bin"));
    std::vector<std::string> env = preload_env("engine_block_read");
    env.push_back("TAVRIN_BLOCK_PATH=stuck.bin");
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    // The read hangs, so the copy is surely under way when the interrupt comes.
    ChildResult r = run_child({build_path("tavrin-copy"), tmp.sub("stuck.bin"), tmp.sub("dst")}, env, 0.5);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("\"cancelled\":true"));
    EXPECT_EQ(0, json_number(r.out, "files_copied"));
    EXPECT_EQ(1, json_number(r.out, "files_cancelled"));
    EXPECT_EQ(0, json_number(r.out, "failures_total"));
    EXPECT_EQ(1u, scan_tree(tmp.sub("dst")).size()) << "nothing left in the target";
    EXPECT_EQ(original, testsupport::read_file(tmp.sub("stuck.bin")));
}

// Runs the named disabled test of this suite in a child process with `env` added.
ChildResult run_this_suite(const std::string& test, std::vector<std::string> env, const TempDir& dir) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = 0;
    env.push_back("TAVRIN_ENGINE_CHILD_DIR=" + dir.path());
    return run_child({self, "--gtest_also_run_disabled_tests", "--gtest_filter=" + test}, env);
}

void expect_child_passed(const ChildResult& r) {
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("[  PASSED  ] 1 test")) << r.out;
}

// The folder a child run of this suite works in (set by run_this_suite); empty in any other process.
std::string child_root() {
    const char* dir = getenv("TAVRIN_ENGINE_CHILD_DIR");
    return dir ? dir : "";
}

// Re-runs one test of this suite inside a child with a shim that makes reading stuck.bin hang until a
// signal.
void expect_passed_with_a_stuck_read(const std::string& child_test) {
    TempDir tmp("engine-watchdog");
    std::vector<std::string> env = preload_env("engine_block_read");
    env.push_back("TAVRIN_BLOCK_PATH=stuck.bin");
    expect_child_passed(run_this_suite(child_test, env, tmp));
}

// In the child: src/stuck.bin, whose reading hangs, and an empty dst beside it.
void make_stuck_source(const std::string& root) {
    testsupport::make_dir(root + "/src");
    testsupport::make_dir(root + "/dst");
    write_pattern(root + "/src/stuck.bin", 1 << 20, 5);
}

TEST(Watchdog, InterruptsABlockedReadAndTheTransferGoesOn) {
    expect_passed_with_a_stuck_read("WatchdogChild.DISABLED_StalledRead");
}

TEST(WatchdogChild, DISABLED_StalledRead) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the watchdog test's child process";
    make_stuck_source(root);
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        testsupport::write_file(root + "/src/" + name, name);

    Engine engine;
    // The program waits 15 s before reporting and 90 s before interrupting.
    engine.set_watchdog_intervals(0.3, 1.2);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine.start({root + "/src"}, root + "/dst", Operation::Copy, 2, ConflictAction::Overwrite));
    double first_report = -1;
    std::string reported;
    Progress p = run_to_end(
        engine,
        [&](Engine& e, const Progress& s) {
            std::string stalled = e.watchdog_tick();
            if (!stalled.empty() && first_report < 0) {
                first_report = seconds_since(t0);
                reported = stalled;
                EXPECT_EQ(stalled, e.snapshot().stalled_path);
            }
            (void)s;
        },
        30);
    EXPECT_EQ(root + "/src/stuck.bin", reported);
    EXPECT_GE(first_report, 0.3);
    EXPECT_LT(first_report, 1.2);
    EXPECT_FALSE(p.cancelled);
    EXPECT_EQ(3, p.files_copied);
    ASSERT_EQ(1u, p.failures.size()) << failures_text(p);
    EXPECT_EQ(root + "/src/stuck.bin", p.failures[0].path);
    EXPECT_EQ(kTimedOut, p.failures[0].message);
    EXPECT_EQ(1, p.failures[0].attempts);
    EXPECT_FALSE(testsupport::exists(root + "/dst/src/stuck.bin"));
    for (const auto& [rel, node] : scan_tree(root + "/dst"))
        EXPECT_FALSE(fsops::is_partial_copy_name(rel.substr(rel.rfind('/') + 1))) << rel;
    EXPECT_TRUE(log_contains("watchdog: worker"));
    EXPECT_EQ("", p.stalled_path);
}

// The watchdog stops looking when a transfer ends; a stall it reported just before the hung file was given
// up must not stay in the snapshots after the end. Here nothing ticks once the worker has been woken.
TEST(Watchdog, NoStallIsReportedOnceTheTransferHasEnded) {
    expect_passed_with_a_stuck_read("WatchdogChild.DISABLED_StallEndsWithTheTransfer");
}

TEST(WatchdogChild, DISABLED_StallEndsWithTheTransfer) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the watchdog test's child process";
    make_stuck_source(root);
    Engine engine;
    engine.set_watchdog_intervals(0.2, 0.6);
    std::atomic<bool> marked{false};
    engine.set_watchdog_mark_hook([&](size_t) { marked = true; });
    ASSERT_TRUE(engine.start({root + "/src"}, root + "/dst", Operation::Copy, 1, ConflictAction::Overwrite));
    auto t0 = std::chrono::steady_clock::now();
    bool reported = false;
    while (!marked && seconds_since(t0) < 20) {
        reported = !engine.watchdog_tick().empty() || reported;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(marked);
    EXPECT_TRUE(reported) << "the stall was reported before the wake-up";
    ASSERT_TRUE(engine.wait_finished(20000));
    engine.reap();
    Progress p = engine.snapshot();
    EXPECT_EQ("", p.stalled_path);
    EXPECT_EQ(0, p.stalled_seconds);
    ASSERT_EQ(1u, p.failures.size()) << failures_text(p);
    EXPECT_EQ(kTimedOut, p.failures[0].message);
}

// What cannot be read is recorded with the system's code, a folder as much as a file, so that the error
// list can offer it for a retry with more rights.
TEST(Failures, UnreadableFilesAndFoldersCarryTheirErrorCode) {
    TempDir tmp("engine-unreadable");
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    for (const char* d : {"src", "src/locked", "dst"})
        testsupport::make_dir(tmp.sub(d), 0755);
    testsupport::write_file(tmp.sub("src/ok.txt"), "ok");
    testsupport::write_file(tmp.sub("src/secret.txt"), "secret");
    testsupport::write_file(tmp.sub("src/locked/inside.txt"), "inside");
    ASSERT_EQ(0, chmod(tmp.sub("src/secret.txt").c_str(), 0));
    ASSERT_EQ(0, chmod(tmp.sub("src/locked").c_str(), 0));
    ASSERT_EQ(0, chmod(tmp.sub("dst").c_str(), 0777));
    std::string report = testsupport::in_child([&] {
        if (!testsupport::drop_to_nobody()) return std::string("could not drop privileges");
        Engine engine;
        if (!engine.start({tmp.sub("src")}, tmp.sub("dst"), Operation::Copy, 2, ConflictAction::Overwrite))
            return std::string("not started");
        Progress p = run_to_end(engine);
        std::map<std::string, int> codes;
        for (const auto& f : p.failures)
            codes[su_basename(f.path)] = f.code;
        testsupport::Checks c;
        c.equal(codes, std::map<std::string, int>{{"locked", EACCES}, {"secret.txt", EACCES}},
                "failures and codes: " + failures_text(p));
        c.equal(std::string("ok"), testsupport::read_file(tmp.sub("dst/src/ok.txt")), "the readable file");
        return c.failures;
    });
    EXPECT_EQ("", report);
}

// Re-run of this suite inside a child whose lstat of the target folder hangs for two seconds: the
// question about a conflict there must not keep the interface from taking its snapshots meanwhile.
TEST(Conflict, SlowStatusOfTheTargetNeverBlocksSnapshots) {
    TempDir tmp("engine-slowstat");
    std::vector<std::string> env = preload_env("engine_slow_stat");
    env.push_back("TAVRIN_SLOW_STAT_PATH=slowdst");
    expect_child_passed(run_this_suite("SlowStatChild.DISABLED_AskWhileStatHangs", env, tmp));
}

TEST(SlowStatChild, DISABLED_AskWhileStatHangs) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the slow-status test's child process";
    testsupport::make_dir(root + "/slowdst");
    testsupport::write_file(root + "/a.txt", "new");
    testsupport::write_file(root + "/slowdst/a.txt", "old");
    Engine engine;
    ASSERT_TRUE(engine.start({root + "/a.txt"}, root + "/slowdst", Operation::Copy, 1, ConflictAction::Ask));
    // The longest gap between two ticks, each of which takes a snapshot and runs the watchdog.
    double slowest = 0;
    auto last_tick = std::chrono::steady_clock::now();
    uint64_t answered = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        slowest = std::max(slowest, seconds_since(last_tick));
        if (s.conflict.pending && s.conflict.serial != answered) {
            answered = s.conflict.serial;
            e.resolve_conflict(ConflictAction::Overwrite, false);
        }
        last_tick = std::chrono::steady_clock::now();
    });
    EXPECT_LT(slowest, 0.5) << "a tick waited for the file system";
    EXPECT_EQ(1, p.files_copied);
    EXPECT_EQ("new", testsupport::read_file(root + "/slowdst/a.txt"));
}

// The watchdog decides to interrupt a slot whose file then completes on its own; its mark must not land
// on the next file of that worker. The status of the first file's target takes 3 s (a slow share).
TEST(Watchdog, MarkMeantForAFinishedFileSparesTheNext) {
    TempDir tmp("engine-watchdog-serial");
    std::vector<std::string> env = preload_env("engine_slow_stat");
    env.push_back("TAVRIN_SLOW_STAT_PATH=dst/a_slow");
    env.push_back("TAVRIN_SLOW_STAT_MS=3000");
    expect_child_passed(run_this_suite("WatchdogChild.DISABLED_LateMark", env, tmp));
}

TEST(WatchdogChild, DISABLED_LateMark) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the watchdog test's child process";
    testsupport::make_dir(root + "/dst");
    testsupport::write_file(root + "/a_slow.txt", "slow");
    write_pattern(root + "/big.bin", 32 << 20, 9);
    Engine engine;
    // The next file must not look stalled on its own: on a loaded machine (sanitizers, parallel suites)
    // a worker can go half a second without noting progress, so the margin is wide.
    engine.set_watchdog_intervals(0.5, 1.5);
    // Holds the mark back until the worker has started the next file.
    engine.set_watchdog_mark_hook([&](size_t slot) {
        for (int i = 0; i < 1000; ++i) {
            Progress s = engine.snapshot();
            if (slot < s.current_files.size() && s.current_files[slot] == root + "/big.bin") return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ASSERT_TRUE(engine.start({root + "/a_slow.txt", root + "/big.bin"}, root + "/dst", Operation::Copy, 1,
                             ConflictAction::Overwrite));
    Progress p = run_to_end(engine, {}, 30);
    EXPECT_TRUE(log_contains("watchdog: worker 0")) << "the watchdog never acted";
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(2, p.files_copied);
    EXPECT_TRUE(testsupport::read_file(root + "/big.bin") == testsupport::read_file(root + "/dst/big.bin"));
}

// A source folder on a dead share: every call into it hangs, the look-up of the folder itself first.
// The watchdog wakes the worker once per file; that one wake must end the file, not just the first of
// its calls, or the next call hangs for good.
TEST(Watchdog, OneWakeEndsAFileWhoseEveryCallHangs) {
    TempDir tmp("engine-watchdog-folder");
    std::vector<std::string> env = preload_env("engine_block_read");
    env.push_back("TAVRIN_BLOCK_OPEN_PATH=deadshare");
    env.push_back("TAVRIN_BLOCK_OPEN_FOLDERS=1");
    expect_child_passed(run_this_suite("WatchdogChild.DISABLED_DeadFolder", env, tmp));
}

TEST(WatchdogChild, DISABLED_DeadFolder) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the watchdog test's child process";
    for (const char* d : {"/src", "/src/deadshare", "/dst"})
        testsupport::make_dir(root + d);
    testsupport::write_file(root + "/src/deadshare/f.txt", "unreachable");
    testsupport::write_file(root + "/src/ok.txt", "fine");
    Engine engine;
    engine.set_watchdog_intervals(0.3, 1.2);
    ASSERT_TRUE(engine.start({root + "/src"}, root + "/dst", Operation::Copy, 1, ConflictAction::Overwrite));
    Progress p = run_to_end(engine, {}, 20);
    EXPECT_TRUE(p.finished) << "the worker still hangs after the watchdog woke it";
    EXPECT_FALSE(p.cancelled);
    EXPECT_EQ(1, p.files_copied);
    ASSERT_EQ(1u, p.failures.size()) << failures_text(p);
    EXPECT_EQ(root + "/src/deadshare/f.txt", p.failures[0].path);
    EXPECT_EQ(kTimedOut, p.failures[0].message);
    EXPECT_EQ("fine", testsupport::read_file(root + "/dst/src/ok.txt"));
}

// An open that hangs, is interrupted by the watchdog and gives up with EINTR only after the user has
// cancelled: the record says why the file was not copied, not which call was interrupted.
TEST(Watchdog, CancelAfterAStallRecordsTheUnresponsiveDrive) {
    TempDir tmp("engine-watchdog-cancel");
    std::vector<std::string> env = preload_env("engine_block_read");
    env.push_back("TAVRIN_BLOCK_OPEN_PATH=hung.bin");
    env.push_back("TAVRIN_BLOCK_OPEN_LINGER_MS=400");
    expect_child_passed(run_this_suite("WatchdogChild.DISABLED_CancelAfterStall", env, tmp));
}

TEST(WatchdogChild, DISABLED_CancelAfterStall) {
    const std::string root = child_root();
    if (root.empty()) GTEST_SKIP() << "runs only inside the watchdog test's child process";
    testsupport::make_dir(root + "/dst");
    testsupport::write_file(root + "/hung.bin", "never read");
    Engine engine;
    engine.set_watchdog_intervals(0.1, 0.3);
    ASSERT_TRUE(
        engine.start({root + "/hung.bin"}, root + "/dst", Operation::Copy, 1, ConflictAction::Overwrite));
    bool cancelled = false;
    Progress p = run_to_end(
        engine,
        [&](Engine& e, const Progress&) {
            if (!cancelled && log_contains("watchdog: worker 0 stalled")) {
                e.cancel();
                cancelled = true;
            }
        },
        30);
    EXPECT_TRUE(cancelled) << "the watchdog never acted";
    EXPECT_TRUE(p.cancelled);
    ASSERT_EQ(1u, p.failures.size()) << failures_text(p);
    EXPECT_EQ("cancelled — the drive was not responding", p.failures[0].message);
    EXPECT_EQ(1, p.failures[0].attempts);
    EXPECT_FALSE(testsupport::exists(root + "/dst/hung.bin"));
}

// A target that takes no bytes and reports no error: the copy gives up instead of writing for ever.
TEST(Tool, WriteThatTakesNothingFailsInsteadOfSpinning) {
    TempDir tmp("engine-zero-write");
    testsupport::make_dir(tmp.sub("zerodst"));
    write_pattern(tmp.sub("data.bin"), 2 << 20, 6);
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_ZERO_WRITE_PATH=zerodst");
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child(
        {"/usr/bin/timeout", "20", build_path("tavrin-copy"), tmp.sub("data.bin"), tmp.sub("zerodst")}, env);
    SCOPED_TRACE(r.out);
    ASSERT_NE(124, r.status) << "the copy was still writing after 20 s";
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(1, json_number(r.out, "failures_total"));
    EXPECT_NE(std::string::npos, r.out.find("\"code\":" + std::to_string(EIO)));
    EXPECT_EQ(1u, scan_tree(tmp.sub("zerodst")).size()) << "nothing left in the target";
}

// Names with a tab, a line break or a backslash cannot break the question lines: each question is one
// line of four fields, the paths escaped, and each takes its own answer.
TEST(Tool, QuestionsEscapeTabsLineBreaksAndBackslashes) {
    TempDir tmp("engine-tool-escape");
    for (const char* d : {"src", "dst"})
        testsupport::make_dir(tmp.sub(d));
    const std::vector<std::string> names = {"tab\there", "line\nbreak", "back\\slash\\t"};
    for (const auto& n : names) {
        testsupport::write_file(tmp.sub("src/" + n), "new");
        testsupport::write_file(tmp.sub("dst/" + n), "old");
    }
    testsupport::write_file(tmp.sub("answers"), "overwrite\noverwrite\noverwrite\n");
    auto escaped = [](const std::string& p) {
        std::string out;
        for (char c : p)
            out += c == '\t'   ? std::string("\\t")
                   : c == '\n' ? std::string("\\n")
                   : c == '\\' ? std::string("\\\\")
                               : std::string(1, c);
        return out;
    };
    std::vector<std::string> argv = {build_path("tavrin-copy"), "--threads", "1"};
    for (const auto& n : names)
        argv.push_back(tmp.sub("src/" + n));
    argv.push_back(tmp.sub("dst"));
    std::string cmd = "cd " + tmp.path() + " && XDG_CONFIG_HOME=" + tmp.sub("config");
    for (const auto& a : argv)
        cmd += " '" + a + "'";
    cmd += " < answers; echo \"rc=$?\"";
    std::string out = testsupport::capture(cmd);
    SCOPED_TRACE(out);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("conflict\t", 0) == 0) lines.push_back(line);
    ASSERT_EQ(3u, lines.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ("conflict\t" + escaped(tmp.sub("src/" + names[i])) + "\t" +
                      escaped(tmp.sub("dst/" + names[i])) + "\tfile",
                  lines[i]);
        EXPECT_EQ("new", testsupport::read_file(tmp.sub("dst/" + names[i])));
    }
    EXPECT_NE(std::string::npos, out.find("rc=0"));
    ChildResult help = run_child({build_path("tavrin-copy"), "--help"}, {});
    EXPECT_EQ(0, help.status);
}

// A move to another file system removes a source only after its copy has been flushed to the target's
// disk, one flush for a batch of files; a failed flush keeps the sources; a plain copy never flushes.
TEST(Tool, MovesFlushTheTargetInBatchesBeforeRemovingSources) {
    struct Case {
        const char* name;
        bool move;
        int syncfs_errno;
        int expect_syncs;
    };
    const std::vector<Case> cases = {
        {"move", true, 0, 3},
        {"move_flush_fails", true, EIO, 3},
        {"copy", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp("engine-durable");
        ScopedMount mount = ScopedMount::tmpfs("64m");
        SKIP_UNLESS_MOUNTED(mount);
        testsupport::make_dir(tmp.sub("src"));
        const int kFiles = 600; // two full batches of 256 and the rest at the end
        for (int i = 0; i < kFiles; ++i)
            testsupport::write_file(tmp.sub("src/f" + std::to_string(i)), "file " + std::to_string(i));
        std::string log = tmp.sub("sync.log");
        testsupport::write_file(log, "");
        std::vector<std::string> env = preload_env("engine_faults");
        env.push_back("TAVRIN_SYNC_LOG=" + log);
        env.push_back("TAVRIN_SYNCFS_ERRNO=" + std::to_string(c.syncfs_errno));
        env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
        std::vector<std::string> argv = {build_path("tavrin-copy"), "--threads", "4"};
        if (c.move) argv.push_back("--move");
        argv.push_back(tmp.sub("src"));
        argv.push_back(mount.path());
        ChildResult r = run_child(argv, env);
        SCOPED_TRACE(r.out.substr(0, 2000));
        int syncs = 0;
        int unlinks = 0;
        for (const auto& [t, what] : read_fault_log(log)) {
            if (what == "syncfs") ++syncs;
            if (what != "unlink") continue;
            ++unlinks;
            EXPECT_LE(unlinks, 256 * syncs) << "a source was removed before its copy was flushed";
        }
        EXPECT_EQ(c.expect_syncs, syncs);
        const bool sources_kept = !c.move || c.syncfs_errno != 0;
        EXPECT_EQ(sources_kept ? 0 : kFiles, unlinks);
        for (int i = 0; i < kFiles; i += 97) {
            std::string f = "f" + std::to_string(i);
            EXPECT_EQ(sources_kept, testsupport::exists(tmp.sub("src/" + f))) << f;
            EXPECT_EQ("file " + std::to_string(i), testsupport::read_file(mount.sub("src/" + f)));
        }
        EXPECT_EQ(c.syncfs_errno ? 1 : 0, r.status);
        EXPECT_EQ(c.syncfs_errno ? kFiles : 0, json_number(r.out, "failures_total"));
        if (c.syncfs_errno) {
            EXPECT_NE(std::string::npos, r.out.find("\"code\":" + std::to_string(EIO)));
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Name races: several files heading for one name, in one transfer.

// A clone or an in-kernel copy that a pair of file systems refuses is tried about once for that pair
// (once per worker at most, as they start together), not once per file, and a refusal between two file
// systems does not stop either from working between others.
TEST(Tool, RefusedCloneAndKernelCopyAreTriedOncePerPairOfFileSystems) {
    TempDir tmp("engine-pairs");
    ScopedMount mem = ScopedMount::tmpfs("16m");
    SKIP_UNLESS_MOUNTED(mem);
    const int kFiles = 30;
    const int kThreads = 4;
    for (const std::string& dir : {mem.sub("from_memory"), tmp.sub("from_disk")}) {
        testsupport::make_dir(dir);
        for (int i = 0; i < kFiles; ++i)
            testsupport::write_file(dir + "/f" + std::to_string(i), dir + " " + std::to_string(i));
    }
    testsupport::make_dir(tmp.sub("dst"));
    std::string log = tmp.sub("calls.log");
    testsupport::write_file(log, "");
    std::vector<std::string> env = preload_env("engine_faults");
    env.push_back("TAVRIN_CALL_LOG=" + log);
    env.push_back("XDG_CONFIG_HOME=" + tmp.sub("config"));
    ChildResult r = run_child({build_path("tavrin-copy"), "--threads", std::to_string(kThreads),
                               mem.sub("from_memory"), tmp.sub("from_disk"), tmp.sub("dst")},
                              env);
    ASSERT_EQ(0, r.status) << r.out;
    int clones = 0;
    int kernel_copies = 0;
    for (const auto& [t, what] : read_fault_log(log)) {
        clones += what == "ficlone";
        kernel_copies += what == "cfr";
    }
    // Neither tmpfs nor ext4 clones: two pairs that refuse.
    EXPECT_GE(clones, 2);
    EXPECT_LE(clones, 2 * kThreads);
    // From the tmpfs the kernel refuses to copy; on the one file system it copies every file.
    EXPECT_GE(kernel_copies, kFiles);
    EXPECT_LE(kernel_copies, kFiles + kThreads);
    for (const char* dir : {"from_memory", "from_disk"}) {
        std::string from = std::string(dir) == "from_memory" ? mem.sub(dir) : tmp.sub(dir);
        for (int i = 0; i < kFiles; i += 7)
            EXPECT_EQ(from + " " + std::to_string(i),
                      testsupport::read_file(tmp.sub("dst/" + std::string(dir) + "/f" + std::to_string(i))));
    }
}

struct RaceCase {
    const char* name;
    Operation op;
    bool other_fs; // a tmpfs target: a move copies and deletes instead of renaming
};

const RaceCase kRaceCases[] = {
    {"copy_same_fs", Operation::Copy, false},
    {"copy_other_fs", Operation::Copy, true},
    {"move_same_fs", Operation::Move, false},
    {"move_other_fs", Operation::Move, true},
};

std::string race_case_name(const ::testing::TestParamInfo<RaceCase>& info) {
    return info.param.name;
}

// The target folder of a race case: beside the sources, or on a tmpfs of its own.
struct RaceTarget {
    std::optional<ScopedMount> mount;
    std::string dir;
};

RaceTarget race_target(const RaceCase& c, const TempDir& tmp) {
    RaceTarget t;
    if (c.other_fs) {
        t.mount.emplace(ScopedMount::tmpfs("128m"));
        if (t.mount->ok()) t.dir = t.mount->path();
    } else {
        t.dir = tmp.sub("dst");
        testsupport::make_dir(t.dir);
    }
    return t;
}

// The contents of the regular files directly in `dir`, sorted.
std::vector<std::string> contents_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& [rel, n] : scan_tree(dir))
        if (n.type == 'f' && rel.find('/') == std::string::npos) out.push_back(n.content);
    std::sort(out.begin(), out.end());
    return out;
}

class NameRace : public ::testing::TestWithParam<RaceCase> {};

// Sixteen files of each of three names land in one folder at once: each must arrive under a name of
// its own, although none of the names existed when the workers started.
TEST_P(NameRace, EqualNamesFromManySourcesAllArrive) {
    const RaceCase& c = GetParam();
    TempDir tmp("engine-race-names");
    RaceTarget target = race_target(c, tmp);
    if (c.other_fs) SKIP_UNLESS_MOUNTED(*target.mount);
    std::vector<std::string> sources;
    std::vector<std::string> want;
    for (int k = 0; k < 16; ++k) {
        std::string d = tmp.sub("s" + std::to_string(k));
        testsupport::make_dir(d);
        for (int n = 0; n < 3; ++n) {
            std::string f = d + "/x" + std::to_string(n) + ".dat";
            write_pattern(f, 512 * 1024, static_cast<unsigned>(k * 3 + n));
            want.push_back(testsupport::read_file(f));
            sources.push_back(f);
        }
    }
    std::sort(want.begin(), want.end());
    Progress p = copy_and_wait(sources, target.dir, c.op, 8, ConflictAction::RenameNew);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    // A move within one file system renames the first file of each name; the others are copied.
    EXPECT_EQ(c.op == Operation::Move && !c.other_fs ? 45 : 48, p.files_copied);
    EXPECT_EQ(48, p.files_done);
    EXPECT_TRUE(want == contents_in(target.dir)) << "files were lost or replaced one another";
    for (const std::string& s : sources)
        EXPECT_EQ(c.op == Operation::Copy, testsupport::exists(s)) << s;
}

// Two files of one name and no rule: the second is a conflict like any other and is asked about.
TEST_P(NameRace, SecondFileOfANameIsAskedAbout) {
    const RaceCase& c = GetParam();
    TempDir tmp("engine-race-ask");
    RaceTarget target = race_target(c, tmp);
    if (c.other_fs) SKIP_UNLESS_MOUNTED(*target.mount);
    for (const char* d : {"A", "B"}) {
        testsupport::make_dir(tmp.sub(d));
        write_pattern(tmp.sub(std::string(d) + "/x"), 4 << 20, d[0]);
    }
    const std::vector<std::string> want_sorted = [&] {
        std::vector<std::string> v = {testsupport::read_file(tmp.sub("A/x")),
                                      testsupport::read_file(tmp.sub("B/x"))};
        std::sort(v.begin(), v.end());
        return v;
    }();
    Engine engine;
    ASSERT_TRUE(engine.start({tmp.sub("A/x"), tmp.sub("B/x")}, target.dir, c.op, 2, ConflictAction::Ask));
    int questions = 0;
    uint64_t answered = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending || s.conflict.serial == answered) return;
        ++questions;
        answered = s.conflict.serial;
        EXPECT_EQ(target.dir + "/x", s.conflict.target_path);
        e.resolve_conflict(ConflictAction::RenameNew, false);
    });
    EXPECT_EQ(1, questions);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(c.op == Operation::Move && !c.other_fs ? 1 : 2, p.files_copied);
    EXPECT_TRUE(want_sorted == contents_in(target.dir)) << "one of the two files is gone";
}

// A merged folder whose own names (p3.1.jpg) are what "rename the new file" picks for the colliding
// ones (p3.jpg): every incoming file must still arrive.
TEST_P(NameRace, MergeWithRenameNewForAllLosesNothing) {
    const RaceCase& c = GetParam();
    TempDir tmp("engine-race-merge");
    RaceTarget target = race_target(c, tmp);
    if (c.other_fs) SKIP_UNLESS_MOUNTED(*target.mount);
    std::string src = tmp.sub("photos");
    testsupport::make_dir(src);
    testsupport::make_dir(target.dir + "/photos");
    std::vector<std::string> want;
    for (int i = 0; i < 20; ++i) {
        std::string stem = "p" + std::to_string(i);
        for (const char* ext : {".jpg", ".1.jpg", ".2.jpg"}) {
            write_pattern(src + "/" + stem + ext, 128 * 1024, static_cast<unsigned>(want.size()));
            want.push_back(testsupport::read_file(src + "/" + stem + ext));
        }
        testsupport::write_file(target.dir + "/photos/" + stem + ".jpg", "old " + stem);
        want.push_back("old " + stem);
    }
    std::sort(want.begin(), want.end());
    Engine engine;
    ASSERT_TRUE(engine.start({src}, target.dir, c.op, 8, ConflictAction::Ask));
    uint64_t answered = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending || s.conflict.serial == answered) return;
        answered = s.conflict.serial;
        if (s.conflict.is_dir)
            e.resolve_conflict(ConflictAction::Overwrite, false); // merge
        else
            e.resolve_conflict(ConflictAction::RenameNew, true);
    });
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(60, p.files_copied);
    EXPECT_TRUE(want == contents_in(target.dir + "/photos")) << "files were lost in the merge";
    EXPECT_EQ(c.op == Operation::Copy, testsupport::exists(src + "/p0.1.jpg"));
}

// Folders of one name from several sources: the first is created by the transfer, the others merge
// into it, and their files race with the first one's for the same names.
TEST_P(NameRace, MergedFoldersOfOneNameLoseNothing) {
    const RaceCase& c = GetParam();
    TempDir tmp("engine-race-folders");
    RaceTarget target = race_target(c, tmp);
    if (c.other_fs) SKIP_UNLESS_MOUNTED(*target.mount);
    std::vector<std::string> sources;
    std::vector<std::string> want;
    for (int k = 0; k < 8; ++k) {
        std::string d = tmp.sub("s" + std::to_string(k) + "/d");
        testsupport::make_dir(tmp.sub("s" + std::to_string(k)));
        testsupport::make_dir(d);
        for (int n = 0; n < 5; ++n) {
            write_pattern(d + "/x" + std::to_string(n), 256 * 1024, static_cast<unsigned>(100 + k * 5 + n));
            want.push_back(testsupport::read_file(d + "/x" + std::to_string(n)));
        }
        sources.push_back(d);
    }
    std::sort(want.begin(), want.end());
    Engine engine;
    ASSERT_TRUE(engine.start(sources, target.dir, c.op, 8, ConflictAction::Ask));
    uint64_t answered = 0;
    Progress p = run_to_end(engine, [&](Engine& e, const Progress& s) {
        if (!s.conflict.pending || s.conflict.serial == answered) return;
        answered = s.conflict.serial;
        e.resolve_conflict(s.conflict.is_dir ? ConflictAction::Overwrite : ConflictAction::RenameNew,
                           !s.conflict.is_dir);
    });
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    // The answer for all files applies to the folders met later too: those are kept beside as d.1 ...
    std::vector<std::string> got;
    for (const auto& [rel, n] : scan_tree(target.dir))
        if (n.type == 'f') got.push_back(n.content);
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(want == got) << "files were lost: " << got.size() << " of " << want.size() << " arrived";
}

INSTANTIATE_TEST_SUITE_P(Targets, NameRace, ::testing::ValuesIn(kRaceCases), race_case_name);

// ---------------------------------------------------------------------------------------------------
// Depth: trees whose paths are longer than the kernel takes in one piece.

// Everything below the folder `dirfd`, keyed by relative path: "d" for a folder, "f:" + contents,
// "l:" + link text. Walked through descriptors, since the full paths are too long for the kernel.
void walk_at(int dirfd, const std::string& rel, std::map<std::string, std::string>& out) {
    int dup_fd = dup(dirfd);
    DIR* d = fdopendir(dup_fd);
    if (!d) {
        ADD_FAILURE() << "cannot list " << rel.size() << "-byte path";
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    for (const std::string& name : names) {
        std::string key = rel + "/" + name;
        struct stat st {};
        ASSERT_EQ(0, fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW));
        if (S_ISDIR(st.st_mode)) {
            out[key] = "d";
            int sub = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(sub, 0);
            walk_at(sub, key, out);
            close(sub);
        } else if (S_ISLNK(st.st_mode)) {
            char buf[256];
            ssize_t n = readlinkat(dirfd, name.c_str(), buf, sizeof buf);
            out[key] = "l:" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
        } else {
            int fd = openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            close(fd);
            out[key] = "f:" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
}

std::map<std::string, std::string> tree_at(const std::string& path) {
    std::map<std::string, std::string> out;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return out;
    walk_at(fd, "", out);
    close(fd);
    return out;
}

// 30 levels of 200-byte folder names (about 6,000 bytes of path), each with a file; a link and an empty
// folder at the bottom.
void build_deep_tree(const std::string& root) {
    testsupport::make_dir(root);
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < 30; ++level) {
        std::string name = std::string(197, 'd') + "_" + std::to_string(10 + level);
        ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755)) << strerror(errno);
        int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(sub, 0);
        close(fd);
        fd = sub;
        int f = openat(fd, "f.txt", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(f, 0);
        std::string text = "level " + std::to_string(level);
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(f, text.data(), text.size()));
        close(f);
    }
    ASSERT_EQ(0, symlinkat("f.txt", fd, "link"));
    ASSERT_EQ(0, mkdirat(fd, "empty", 0700));
    close(fd);
}

class DeepTree : public ::testing::TestWithParam<RaceCase> {};

TEST_P(DeepTree, CopiesAndMovesWithoutANameTooLong) {
    const RaceCase& c = GetParam();
    TempDir tmp("engine-deep");
    RaceTarget target = race_target(c, tmp);
    if (c.other_fs) SKIP_UNLESS_MOUNTED(*target.mount);
    std::string src = tmp.sub("deep");
    build_deep_tree(src);
    std::map<std::string, std::string> want = tree_at(src);
    ASSERT_EQ(30u * 2 + 2, want.size());
    Progress p = copy_and_wait({src}, target.dir, c.op, 2);
    EXPECT_EQ(0u, p.failures_total) << failures_text(p);
    EXPECT_EQ(31, p.files_done);
    EXPECT_TRUE(want == tree_at(target.dir + "/deep")) << "the copy differs from the tree";
    EXPECT_EQ(c.op == Operation::Copy, testsupport::exists(src));
    // The temporary folders' own removal walks by full paths.
    testsupport::run("rm -rf '" + tmp.path() + "/deep' '" + target.dir + "/deep'");
}

INSTANTIATE_TEST_SUITE_P(Targets, DeepTree, ::testing::ValuesIn(kRaceCases), race_case_name);

} // namespace
