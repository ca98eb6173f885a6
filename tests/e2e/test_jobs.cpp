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

// The lines each error list showed when it opened, in order: "error list: N failed" followed by one
// "  failed: " line per entry.
std::vector<std::vector<std::string>> error_lists(const Tavrin& t) {
    std::vector<std::vector<std::string>> lists;
    for (const std::string& l : t.log_lines()) {
        if (l.find("error list: ") != std::string::npos)
            lists.emplace_back();
        else if (!lists.empty() && l.find("  failed: ") != std::string::npos)
            lists.back().push_back(l.substr(l.find("  failed: ") + 10));
    }
    return lists;
}

bool any_contains(const std::vector<std::string>& lines, const std::string& needle) {
    for (const std::string& l : lines)
        if (l.find(needle) != std::string::npos) return true;
    return false;
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
        return t.run_script({"--left=" + (left.empty() ? src : left),
                             "--right=" + (right.empty() ? dst : right), "--active=left"},
                            script);
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
    EXPECT_EQ(f.t.lines_with("transfer start").size(), 2u);
    EXPECT_EQ(f.t.lines_with("transfer done").size(), 2u);
    // A one-file copy ends long before the next tick; it still gets exactly one result line.
    std::vector<std::string> results = f.t.lines_with("result: ");
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
    std::vector<std::string> results = f.t.lines_with("result: ");
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
    EXPECT_EQ(f.t.lines_with("transfer refused: target " + gone).size(), 1u);
    EXPECT_TRUE(f.t.lines_with("transfer start").empty());

    Fixture g;
    ASSERT_TRUE(g.run("cursor:a.txt;CopyToOther", g.src, g.src));
    EXPECT_EQ(g.t.lines_with("[Same folder]").size(), 1u);
    EXPECT_TRUE(g.t.lines_with("transfer start").empty());
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
    std::vector<std::string> answers = f.t.lines_with("conflict answer: ");
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[0].rfind("conflict answer: rename_new", 0), 0u);
    EXPECT_EQ(answers[1].rfind("conflict answer: rename_existing", 0), 0u);
    EXPECT_EQ(answers[2].rfind("conflict answer: skip", 0), 0u);
    EXPECT_EQ(answers[3].rfind("conflict answer: overwrite", 0), 0u);
    EXPECT_EQ(answers[4].rfind("conflict answer: cancel", 0), 0u);
    // Return answers nothing; each question opened the dialog once, with all six answers offered.
    EXPECT_EQ(f.t.lines_with("dialog opened: Conflict").size(), 5u);
    EXPECT_EQ(f.t.lines_with("option Overlay#ConflictOverwriteIfNewer").size(), 5u);
    EXPECT_EQ(f.t.lines_with("option Overlay#ConflictToggleAll").size(), 5u);
    EXPECT_EQ(f.t.lines_with("result: Copied").size(), 5u);
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
    EXPECT_EQ(f.t.lines_with("dialog opened: Conflict").size(), 1u);
    EXPECT_EQ(f.t.lines_with("conflict answer: overwrite (all remaining)").size(), 1u);
    EXPECT_EQ(f.t.lines_with("conflict answer skip dropped").size(), 1u);
}

TEST(Conflicts, AQuestionWaitsWhileANameIsBeingTyped) {
    Fixture f;
    testsupport::write_file(f.dst + "/a.txt", "old");
    ASSERT_TRUE(f.run("NewFolder;type:typed;cursor:a.txt;CopyToOther;wait:400;key:Return;wait:300;ConflictRenameNew"));
    EXPECT_TRUE(testsupport::exists(f.src + "/typed"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.1.txt"), "alpha");
    int closed = f.t.line_index("dialog closed: NewFolder");
    int opened = f.t.line_index("conflict: " + f.src + "/a.txt");
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
    EXPECT_TRUE(f.t.lines_with("transfer start").empty());
    EXPECT_TRUE(testsupport::exists(f.src + "/shown"));
    EXPECT_EQ(f.t.lines_with("delete refused: " + f.src + "/shown").size(), 1u);
    EXPECT_EQ(f.t.lines_with("result: Deleted").size(), 2u);

    Fixture g;
    g.t.put_config("settings.json", "{\"confirm_delete\": false, \"delete_to_trash\": false}");
    ASSERT_TRUE(g.run("select:a.txt;key:Delete"));
    EXPECT_FALSE(testsupport::exists(g.src + "/a.txt"));
    EXPECT_TRUE(g.t.lines_with("dialog opened: ConfirmDelete").empty());
}

TEST(Deletes, TmpfsHasNoTrashAndAnUnreadableFolderIsListed) {
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    testsupport::write_file(tmp.sub("t.txt"), "t");
    Fixture f;
    ASSERT_TRUE(f.run("select:t.txt;DeleteToTrash", tmp.path(), f.dst));
    EXPECT_TRUE(testsupport::exists(tmp.sub("t.txt")));
    EXPECT_EQ(f.t.lines_with("This location has no trash").size() >= 1, true);
    EXPECT_EQ(f.t.lines_with("dialog opened: Errors").size(), 1u);
    EXPECT_EQ(f.t.lines_with("result: Deleted \u00b7 1 files, 0 bytes, 1 failed").size(), 1u);
}

TEST(DuplicatesAndLinks, CloneBesideAndLinksOnTheOtherSide) {
    Fixture f;
    ASSERT_TRUE(f.run("cursor:photo.jpg;Clone;select:a.txt;select:photo.jpg;MakeLink"));
    EXPECT_EQ(testsupport::read_file(f.src + "/photo.1.jpg"), "jpeg");
    EXPECT_EQ(testsupport::capture("readlink " + f.dst + "/a.txt"), f.src + "/a.txt\n");
    EXPECT_EQ(testsupport::capture("readlink " + f.dst + "/photo.jpg"), f.src + "/photo.jpg\n");
    EXPECT_EQ(f.t.lines_with("result: Copied \u00b7 1 files").size(), 1u);
    EXPECT_EQ(f.t.lines_with("result: Create link on the other side \u00b7 2 files, 0 bytes, 0 failed [dst]")
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
    EXPECT_EQ(f.t.lines_with("result: Moved \u00b7 0 files").size(), 1u);
    EXPECT_EQ(f.t.lines_with("cancelled").size() >= 1, true);
    EXPECT_EQ(testsupport::read_file(f.src + "/held.bin").size(), 256u * 1024);
}

TEST(Failures, AsAnUnprivilegedUserEachErrorListShowsOnlyItsOwnJob) {
    Fixture f;
    f.t.run_as_nobody();
    const std::string secret = f.src + "/secret", tree = f.src + "/tree";
    testsupport::write_file(secret, "s");
    for (const char* d : {"", "/sub", "/locked"})
        testsupport::make_dir(tree + d);
    for (const char* file : {"/f1", "/sub/g", "/locked/inner"})
        testsupport::write_file(tree + file, "x");
    // Owned by nobody once the program starts, and still unreadable to its owner.
    ASSERT_EQ(chmod(secret.c_str(), 0), 0);
    ASSERT_EQ(chmod((tree + "/locked").c_str(), 0), 0);
    // A failed copy, a failed delete, then a failed copy again: each list opens by itself and is closed.
    ASSERT_TRUE(f.run("select:a.txt;select:secret;CopyToOther;DismissErrors;SelectNone;select:tree;"
                      "DeletePermanent;DismissErrors;SelectNone;select:secret;CopyToOther;DismissErrors"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/a.txt"), "alpha");
    EXPECT_FALSE(testsupport::exists(f.dst + "/secret"));
    // Everything of the folder but the part nobody could read is gone.
    EXPECT_FALSE(testsupport::exists(tree + "/f1"));
    EXPECT_FALSE(testsupport::exists(tree + "/sub"));
    EXPECT_TRUE(testsupport::exists(tree + "/locked/inner"));

    std::vector<std::vector<std::string>> lists = error_lists(f.t);
    ASSERT_EQ(lists.size(), 3u) << f.t.log();
    ASSERT_EQ(lists[0].size(), 1u);
    EXPECT_EQ(lists[0][0].rfind(secret + " \u2014 ", 0), 0u) << lists[0][0];
    EXPECT_NE(lists[0][0].find("ermission denied"), std::string::npos) << lists[0][0];
    // The delete's list does not carry the copy's failure along, nor the other way round.
    ASSERT_EQ(lists[1].size(), 1u);
    EXPECT_TRUE(any_contains(lists[1], tree + "/locked")) << lists[1][0];
    ASSERT_EQ(lists[2].size(), 1u);
    EXPECT_TRUE(any_contains(lists[2], secret)) << lists[2][0];
    EXPECT_FALSE(any_contains(lists[2], "locked"));
    EXPECT_EQ(f.t.lines_with("dialog opened: Errors").size(), 3u);
    EXPECT_EQ(f.t.lines_with("dialog closed: Errors").size(), 3u);

    std::vector<std::string> results = f.t.lines_with("result: ");
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], "result: Copied \u00b7 1 files, 5 bytes, 1 failed");
    EXPECT_EQ(results[1].rfind("result: Deleted \u00b7 ", 0), 0u) << results[1];
    EXPECT_NE(results[1].find(", 1 failed"), std::string::npos) << results[1];
    EXPECT_EQ(results[2], "result: Copied \u00b7 0 files, 0 bytes, 1 failed");
}
