// Work started from the panes, run by the real program: transfers and their result line, conflicts,
// deletes to the trash and for good, duplicates and links, and a transfer held by a read that hangs.
#include "fs_mounts.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <signal.h>
#include <sys/stat.h>
#include <thread>

using e2e::Tavrin;

namespace {

std::vector<std::string> lines_with(const Tavrin& t, const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& l : t.log_lines())
        if (l.find(needle) != std::string::npos) out.push_back(l.substr(l.find("] ") + 2));
    return out;
}

// Index of the first log line containing `needle`, or -1.
int line_index(const Tavrin& t, const std::string& needle) {
    std::vector<std::string> lines = t.log_lines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos) return int(i);
    return -1;
}

// Two folders, one per pane: "src" on the left with a few files, "dst" on the right.
struct Fixture {
    Tavrin t;
    std::string src, dst;
    Fixture() : src(t.home() + "/src"), dst(t.home() + "/dst") {
        testsupport::make_dir(src);
        testsupport::make_dir(dst);
        testsupport::write_file(src + "/a.txt", "alpha");
        testsupport::write_file(src + "/photo.jpg", "jpeg");
    }
    bool run(const std::string& script, const std::string& left = "", const std::string& right = "") {
        if (!t.start({"--left=" + (left.empty() ? src : left), "--right=" + (right.empty() ? dst : right),
                      "--active=left", "--action=" + script}))
            return false;
        return t.wait_log("selftest: done", 60);
    }
    ~Fixture() {
        if (t.running()) {
            t.signal(SIGTERM);
            t.wait_exit(5);
        }
    }
};

} // namespace

TEST(Transfers, F5CopiesReportsOnceAndReloadsAndF6Moves) {
    Fixture f;
    ASSERT_TRUE(f.run("cursor:a.txt;key:F5;cursor:photo.jpg;key:F6"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.txt"), "alpha");
    EXPECT_TRUE(testsupport::exists(f.src + "/a.txt"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/photo.jpg"), "jpeg");
    EXPECT_FALSE(testsupport::exists(f.src + "/photo.jpg"));
    EXPECT_EQ(lines_with(f.t, "transfer start").size(), 2u);
    EXPECT_EQ(lines_with(f.t, "transfer done").size(), 2u);
    // A one-file copy ends long before the next tick; it still gets exactly one result line.
    std::vector<std::string> results = lines_with(f.t, "result: ");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], "result: Copied \u00b7 1 files, 5 bytes, 0 failed");
    // Within one file system the move is a rename, which still counts as an entry done.
    EXPECT_EQ(results[1].rfind("result: Moved \u00b7 1 files", 0), 0u) << results[1];
}

TEST(Transfers, MoveOfManyRenamedEntriesCountsThemAll) {
    Fixture f;
    for (int i = 0; i < 5; ++i)
        testsupport::write_file(f.src + "/m" + std::to_string(i), "m");
    ASSERT_TRUE(f.run("select:m0;select:m1;select:m2;select:m3;select:m4;MoveToOther"));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(testsupport::exists(f.dst + "/m" + std::to_string(i)));
        EXPECT_FALSE(testsupport::exists(f.src + "/m" + std::to_string(i)));
    }
    std::vector<std::string> results = lines_with(f.t, "result: ");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].rfind("result: Moved \u00b7 5 files", 0), 0u) << results[0];
}

TEST(Transfers, RefusedForTheSameFolderAndForAVanishedTarget) {
    Fixture f;
    const std::string gone = f.t.home() + "/gone";
    testsupport::make_dir(gone);
    ASSERT_TRUE(f.t.start({"--left=" + f.src, "--right=" + gone, "--active=left",
                           "--action=wait:1500;cursor:a.txt;CopyToOther"}));
    ASSERT_TRUE(f.t.wait_log("selftest: -> wait:1500", 10));
    testsupport::remove_tree(gone);
    ASSERT_TRUE(f.t.wait_log("selftest: done", 30));
    // The engine would have made the vanished folder again.
    EXPECT_FALSE(testsupport::exists(gone));
    EXPECT_EQ(lines_with(f.t, "transfer refused: target " + gone).size(), 1u);
    EXPECT_TRUE(lines_with(f.t, "transfer start").empty());

    Fixture g;
    ASSERT_TRUE(g.run("cursor:a.txt;CopyToOther", g.src, g.src));
    EXPECT_EQ(lines_with(g.t, "[Same folder]").size(), 1u);
    EXPECT_TRUE(lines_with(g.t, "transfer start").empty());
}

TEST(Conflicts, EachAnswerByItsLetterAndByItsAction) {
    Fixture f;
    testsupport::write_file(f.dst + "/a.txt", "old");
    // Letters: the lower row takes S (Stop everything), O (Overwrite), K (Skip); the upper row then gets
    // E (Keep both), R (Rename the old one) and N (Only if newer).
    ASSERT_TRUE(
        f.run("cursor:a.txt;key:F5;wait:300;key:Return;key:alt+e;key:F5;wait:300;key:alt+r;"
              "key:F5;wait:300;key:alt+k;key:F5;wait:300;ConflictOverwrite;key:F5;wait:300;key:alt+s"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.1.txt"), "alpha");
    // Rename the old one: the old file moves aside and the incoming one takes the name.
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.txt"), "alpha");
    std::vector<std::string> answers = lines_with(f.t, "conflict answer: ");
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[0].rfind("conflict answer: rename_new", 0), 0u);
    EXPECT_EQ(answers[1].rfind("conflict answer: rename_existing", 0), 0u);
    EXPECT_EQ(answers[2].rfind("conflict answer: skip", 0), 0u);
    EXPECT_EQ(answers[3].rfind("conflict answer: overwrite", 0), 0u);
    EXPECT_EQ(answers[4].rfind("conflict answer: cancel", 0), 0u);
    // Return answers nothing; each question opened the dialog once, with all six answers offered.
    EXPECT_EQ(lines_with(f.t, "dialog opened: Conflict").size(), 5u);
    EXPECT_EQ(lines_with(f.t, "option Overlay#ConflictOverwriteIfNewer").size(), 5u);
    EXPECT_EQ(lines_with(f.t, "option Overlay#ConflictToggleAll").size(), 5u);
    EXPECT_EQ(lines_with(f.t, "result: Copied").size(), 5u);
}

TEST(Conflicts, ForAllRemainingAsksOnceAndAnAnswerOutsideTheDialogIsDropped) {
    Fixture f;
    for (const char* n : {"x1", "x2", "x3"}) {
        testsupport::write_file(f.src + "/" + n, "new");
        testsupport::write_file(f.dst + "/" + n, "old");
    }
    ASSERT_TRUE(
        f.run("ConflictSkip;select:x1;select:x2;select:x3;CopyToOther;ConflictToggleAll;ConflictOverwrite"));
    for (const char* n : {"x1", "x2", "x3"})
        EXPECT_EQ(testsupport::read_file(f.dst + "/" + n), "new");
    EXPECT_EQ(lines_with(f.t, "dialog opened: Conflict").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "conflict answer: overwrite (all remaining)").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "conflict answer skip dropped").size(), 1u);
}

TEST(Conflicts, AQuestionWaitsWhileANameIsBeingTyped) {
    Fixture f;
    testsupport::write_file(f.dst + "/a.txt", "old");
    ASSERT_TRUE(f.run("NewFolder;type:typed;cursor:a.txt;CopyToOther;wait:400;key:Return;wait:300;ConflictRenameNew"));
    EXPECT_TRUE(testsupport::exists(f.src + "/typed"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.1.txt"), "alpha");
    int closed = line_index(f.t, "dialog closed: NewFolder");
    int opened = line_index(f.t, "conflict: " + f.src + "/a.txt");
    ASSERT_GE(closed, 0);
    EXPECT_GT(opened, closed);
}

TEST(Deletes, ToTrashPermanentlyWithoutConfirmationAndInUse) {
    Fixture f;
    testsupport::write_file(f.src + "/b.txt", "b");
    testsupport::make_dir(f.src + "/shown");
    ASSERT_TRUE(f.t.start({"--left=" + f.src, "--right=" + f.src + "/shown", "--active=left",
                           "--action=select:a.txt;key:Delete;key:F5;key:Return;select:photo.jpg;key:Delete;"
                           "DeletePermanent;select:shown;key:Delete"}));
    ASSERT_TRUE(f.t.wait_log("selftest: done", 30));
    const std::string trash = f.t.home() + "/.local/share/Trash";
    EXPECT_FALSE(testsupport::exists(f.src + "/a.txt"));
    EXPECT_EQ(testsupport::read_file(trash + "/files/a.txt"), "alpha");
    EXPECT_TRUE(testsupport::exists(trash + "/info/a.txt.trashinfo"));
    EXPECT_FALSE(testsupport::exists(f.src + "/photo.jpg"));
    EXPECT_FALSE(testsupport::exists(trash + "/files/photo.jpg"));
    // The F5 pressed over the confirmation never reached the panes.
    EXPECT_TRUE(lines_with(f.t, "transfer start").empty());
    EXPECT_TRUE(testsupport::exists(f.src + "/shown"));
    EXPECT_EQ(lines_with(f.t, "delete refused: " + f.src + "/shown").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "result: Deleted").size(), 2u);

    Fixture g;
    g.t.put_config("settings.json", "{\"confirm_delete\": false, \"delete_to_trash\": false}");
    ASSERT_TRUE(g.run("select:a.txt;key:Delete"));
    EXPECT_FALSE(testsupport::exists(g.src + "/a.txt"));
    EXPECT_TRUE(lines_with(g.t, "dialog opened: ConfirmDelete").empty());
}

TEST(Deletes, TmpfsHasNoTrashAndAnUnreadableFolderIsListed) {
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    testsupport::write_file(tmp.sub("t.txt"), "t");
    Fixture f;
    ASSERT_TRUE(f.run("select:t.txt;DeleteToTrash", tmp.path(), f.dst));
    EXPECT_TRUE(testsupport::exists(tmp.sub("t.txt")));
    EXPECT_EQ(lines_with(f.t, "This location has no trash").size() >= 1, true);
    EXPECT_EQ(lines_with(f.t, "dialog opened: Errors").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "result: Deleted \u00b7 1 files, 0 bytes, 1 failed").size(), 1u);
}

TEST(DuplicatesAndLinks, CloneBesideAndLinksOnTheOtherSide) {
    Fixture f;
    ASSERT_TRUE(f.run("cursor:photo.jpg;Clone;select:a.txt;select:photo.jpg;MakeLink"));
    EXPECT_EQ(testsupport::read_file(f.src + "/photo.1.jpg"), "jpeg");
    EXPECT_EQ(testsupport::capture("readlink " + f.dst + "/a.txt"), f.src + "/a.txt\n");
    EXPECT_EQ(testsupport::capture("readlink " + f.dst + "/photo.jpg"), f.src + "/photo.jpg\n");
    EXPECT_EQ(lines_with(f.t, "result: Copied \u00b7 1 files").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "result: Create link on the other side \u00b7 2 files, 0 bytes, 0 failed [dst]")
                  .size(),
              1u);
}

TEST(HeldTransfer, PanelShowsWorkEscapeCancelsAndTheMovedSourceStays) {
    // A move across file systems copies first; the read of the held file hangs until the cancel.
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    Fixture f;
    testsupport::write_file(f.src + "/held.bin", std::string(256 * 1024, 'h'));
    f.t.set_env("LD_PRELOAD", TAVRIN_BUILD_DIR "/shims/engine_block_read.so");
    f.t.set_env("TAVRIN_BLOCK_PATH", "held.bin");
    ASSERT_TRUE(f.t.start({"--left=" + f.src, "--right=" + tmp.path(), "--active=left",
                           "--action=cursor:held.bin;MoveToOther"}));
    ASSERT_TRUE(f.t.wait_log("transfer start", 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const std::string shot = f.t.screenshot(f.t.home() + "/running.png");
    ASSERT_FALSE(shot.empty());
    // The band under the header (menu 30 + header 64) is the panel's bar colour, not the pane's.
    const std::string bar = e2e::pixel_at(shot, 400, 30 + 64 + 70);
    const std::string pane_px = e2e::pixel_at(shot, 400, 30 + 64 + 76 + 200);
    EXPECT_NE(bar, pane_px);
    f.t.press("Escape");
    ASSERT_TRUE(f.t.wait_log("result: ", 10)) << f.t.log();
    EXPECT_EQ(lines_with(f.t, "result: Moved \u00b7 0 files").size(), 1u);
    EXPECT_EQ(lines_with(f.t, "cancelled").size() >= 1, true);
    EXPECT_EQ(testsupport::read_file(f.src + "/held.bin").size(), 256u * 1024);
}
