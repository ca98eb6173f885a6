// Work started from the panes, run by the real program: transfers and their result line, conflicts,
// deletes to the trash and for good, duplicates and links, and a transfer held by a read that hangs.
#include "fs_mounts.h"
#include "harness.h"
#include "ui/theme.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
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

// The run's result lines, each expected to begin with its text in `starts`.
std::vector<std::string> expect_results(const Tavrin& t, const std::vector<std::string>& starts) {
    std::vector<std::string> results = t.lines_with("result: ");
    EXPECT_EQ(results.size(), starts.size()) << t.log();
    for (size_t i = 0; i < results.size() && i < starts.size(); ++i)
        EXPECT_EQ(results[i].rfind(starts[i], 0), 0u) << results[i];
    return results;
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
    // A one-file copy ends long before the next tick; it still gets exactly one result line. Within one
    // file system the move is a rename, which still counts as an entry done.
    expect_results(f.t, {"result: Copied \u00b7 1 files, 5 bytes, 0 failed", "result: Moved \u00b7 1 files"});
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
    expect_results(f.t, {"result: Moved \u00b7 5 files"});
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

TEST(Conflicts, ADoublePressAnswersOnlyTheQuestionShown) {
    Fixture f;
    for (const char* n : {"x1", "x2"}) {
        testsupport::write_file(f.src + "/" + n, "new");
        testsupport::write_file(f.dst + "/" + n, "old");
    }
    f.t.put_config("settings.json", "{\"thread_count\": 1}");
    ASSERT_TRUE(f.run("select:x1;select:x2;CopyToOther"));
    ASSERT_TRUE(f.t.wait_log("conflict: " + f.src + "/x1", 10));
    ASSERT_TRUE(f.t.wait_log("dialog opened: Conflict", 10));
    // Two presses of Skip as one: the second comes before the next question can have been drawn.
    f.t.press("--delay 0 alt+k alt+k");
    ASSERT_TRUE(f.t.wait_log("conflict: " + f.src + "/x2", 10)) << "the second question was never asked";
    const int second = f.t.line_index("conflict: " + f.src + "/x2");
    for (double waited = 0; f.t.line_index("dialog opened: Conflict", second) < 0 && waited < 10; waited += 0.05)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(f.t.line_index("dialog opened: Conflict", second), 0);
    f.t.press("alt+o");
    ASSERT_TRUE(f.t.wait_log("result: Copied", 10)) << f.t.log();
    EXPECT_EQ(testsupport::read_file(f.dst + "/x1"), "old");
    EXPECT_EQ(testsupport::read_file(f.dst + "/x2"), "new");
    std::vector<std::string> answers = f.t.lines_with("conflict answer: ");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], "conflict answer: skip for " + f.dst + "/x1");
    EXPECT_EQ(answers[1], "conflict answer: overwrite for " + f.dst + "/x2");
    EXPECT_TRUE(f.t.lines_with("dialog accel: Alt+K").size() == 1u) << f.t.log();
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

TEST(Deletes, OnATmpfsTheMissingTrashIsListedAsTheFailure) {
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    testsupport::write_file(tmp.sub("t.txt"), "t");
    Fixture f;
    ASSERT_TRUE(f.run("select:t.txt;DeleteToTrash", tmp.path(), f.dst));
    EXPECT_TRUE(testsupport::exists(tmp.sub("t.txt")));
    EXPECT_EQ(f.t.lines_with("This location has no trash").size() >= 1, true);
    // The list opens on the tick that sees the job end and is logged when it is first drawn, which on a
    // loaded machine can come after the script's last step.
    EXPECT_TRUE(f.t.wait_log("dialog opened: Errors", 10));
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

// Holds reads of held.bin until the copy is cancelled, and the removal of doomed* until `release` exists.
void hold_work(Fixture& f, const std::string& release) {
    testsupport::write_file(f.src + "/held.bin", std::string(256 * 1024, 'h'));
    f.t.set_env("LD_PRELOAD", TAVRIN_BUILD_DIR "/shims/engine_block_read.so");
    f.t.set_env("TAVRIN_BLOCK_PATH", "held.bin");
    f.t.set_env("TAVRIN_BLOCK_UNLINK_PATH", "doomed");
    f.t.set_env("TAVRIN_BLOCK_UNLINK_RELEASE", release);
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TEST(HeldTransfer, PanelShowsWorkInThePaletteEscapeCancelsAndTheMovedSourceStays) {
    // A move across file systems copies first; the read of the held file hangs until the cancel.
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    Fixture f;
    hold_work(f, f.t.home() + "/release");
    ASSERT_TRUE(f.t.start({"--left=" + f.src, "--right=" + tmp.path(), "--active=left",
                           "--action=cursor:held.bin;MoveToOther"}));
    ASSERT_TRUE(f.t.wait_log("transfer start", 10));
    const Palette p = Palette::light();
    const int w = f.t.geometry().width, y = 30 + 64; // the panel's top: under the menu bar and header
    ASSERT_GT(w, 600);
    // The panel, the current file and the header's percentage come with different ticks after the scan;
    // shoot until one frame shows them all (or the time is up and the checks below say what is missing).
    const auto checks = [&](const std::string& s) {
        return std::vector<std::pair<bool, const char*>>{
            {e2e::pixel_at(s, w / 2 - 100, y + 19) == p.progress_track, "the empty track"},
            {e2e::pixel_at(s, w / 2, y) == p.divider, "the divider above the panel"},
            {e2e::pixel_at(s, w / 2, y + 70) == p.bar, "the panel's fill"},
            {e2e::has_colour(s, w - 80, y + 10, 70, 18, p.danger), "the cancel button's label"},
            {e2e::has_colour(s, 10, y + 32, 110, 16, p.text), "files done / total"},
            {e2e::has_colour(s, w - 110, y + 33, 100, 14, p.dim), "the worker threads"},
            {e2e::has_colour(s, 10, y + 50, 50, 14, p.secondary), "\"Moving: \""},
            {e2e::has_colour(s, 60, y + 50, 400, 14, p.text), "the current file"},
            // The header's right end shows the running copy: its percentage in the bright fill colour.
            {e2e::has_colour(s, w - 200, 30 + 28, 190, 26, p.progress_fill_2), "the header's \"0 %\""},
        };
    };
    const auto all_shown = [&](const std::string& s) {
        for (const auto& [ok, what] : checks(s))
            if (!ok) return false;
        return true;
    };
    std::string shot;
    for (double end = seconds_now() + 20; seconds_now() < end;) {
        shot = f.t.screenshot(f.t.home() + "/running.png");
        if (!shot.empty() && all_shown(shot)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_FALSE(shot.empty());
    for (const auto& [ok, what] : checks(shot))
        EXPECT_TRUE(ok) << what;

    f.t.press("Escape");
    ASSERT_TRUE(f.t.wait_log("result: ", 10)) << f.t.log();
    const double ended = seconds_now();
    const std::string held = f.t.screenshot(f.t.home() + "/held.png");
    ASSERT_FALSE(held.empty());
    // Still the full height, now the cancelled result: the warning bar at the left, the title in its colour.
    // The band starts to collapse half a second before the hold ends; a shot that came later than that
    // on a loaded machine proves nothing about it.
    if (seconds_now() - ended < 1.9) {
        EXPECT_EQ(e2e::pixel_at(held, 2, y + 70), p.warn);
        EXPECT_NE(e2e::pixel_at(held, w / 2, y + 70), p.pane);
    } else {
        std::cerr << "screenshot too late to see the held panel at full height\n";
    }
    EXPECT_TRUE(e2e::has_colour(held, 28, y + 8, 100, 40, p.warn)) << "\"Cancelled\"";
    // The header no longer reports running work.
    EXPECT_FALSE(e2e::has_colour(held, w - 200, 30 + 28, 190, 26, p.progress_fill_2));
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, ended + 3.2 - seconds_now())));
    const std::string later = f.t.screenshot(f.t.home() + "/later.png");
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(e2e::pixel_at(later, 2, y + 17), p.warn) << "the result line stays";
    EXPECT_NE(e2e::pixel_at(later, 2, y + 70), p.warn) << "the panel collapsed after the hold";

    EXPECT_EQ(f.t.lines_with("result: Moved \u00b7 0 files, 0 bytes, 0 failed, cancelled").size(), 1u);
    EXPECT_EQ(testsupport::read_file(f.src + "/held.bin").size(), 256u * 1024);
    EXPECT_FALSE(testsupport::exists(tmp.sub("held.bin")));
}

TEST(HeldTransfer, ACancelledMoveKeepsEverySourceItHasNotFinished) {
    testsupport::ScopedMount tmp = testsupport::ScopedMount::tmpfs("8m");
    if (!tmp.ok()) GTEST_SKIP() << tmp.skip_reason();
    Fixture f;
    hold_work(f, f.t.home() + "/release");
    const std::string bundle = f.src + "/bundle";
    testsupport::make_dir(bundle);
    testsupport::write_file(bundle + "/one", "one");
    testsupport::write_file(bundle + "/two", "two");
    // Each small file with its content; the fixture made a.txt and photo.jpg.
    const std::vector<std::pair<std::string, std::string>> small = {
        {"/a.txt", "alpha"}, {"/photo.jpg", "jpeg"}, {"/bundle/one", "one"}, {"/bundle/two", "two"}};
    testsupport::write_file(bundle + "/held.bin", std::string(64 * 1024, 'h'));
    ASSERT_TRUE(f.t.start({"--left=" + f.src, "--right=" + tmp.path(), "--active=left",
                           "--action=select:a.txt;select:photo.jpg;select:bundle;&MoveToOther"}));
    ASSERT_TRUE(f.t.wait_log("transfer start", 10));
    // Some files get through before the held one stops the move; then it is cancelled.
    ASSERT_TRUE(f.t.wait_log("copied " + f.src, 30)) << f.t.log();
    f.t.press("Escape");
    ASSERT_TRUE(f.t.wait_log("result: Moved", 10)) << f.t.log();
    // The unfinished file and the folder that holds it stay whole where they were.
    EXPECT_EQ(testsupport::read_file(bundle + "/held.bin"), std::string(64 * 1024, 'h'));
    EXPECT_FALSE(testsupport::exists(tmp.sub("bundle/held.bin")));
    // Every other file is in exactly one place, whole: moved, or not touched yet.
    for (const auto& [name, content] : small) {
        const bool at_source = testsupport::exists(f.src + name), at_target = testsupport::exists(tmp.path() + name);
        EXPECT_NE(at_source, at_target) << name;
        EXPECT_EQ(testsupport::read_file((at_source ? f.src : tmp.path()) + name), content) << name;
    }
    EXPECT_EQ(f.t.lines_with("cancelled").size() >= 1, true);
}

TEST(HeldTransfer, OneTransferAtATimeBesideADeleteAndOnlyEscapeReachesThePanes) {
    Fixture f;
    const std::string release = f.t.home() + "/release";
    hold_work(f, release);
    testsupport::write_file(f.src + "/cur.txt", "cursor");
    testsupport::make_dir(f.src + "/doomed");
    testsupport::write_file(f.src + "/doomed/doomed-file", "d");
    // Sorted: doomed/, a.txt, cur.txt, held.bin, photo.jpg. The keys would take the cursor from cur.txt
    // to photo.jpg; the final F5 copies whatever is under it.
    ASSERT_TRUE(f.t.start(
        {"--left=" + f.src, "--right=" + f.dst, "--active=left",
         "--action=select:doomed;&DeletePermanent;&SelectNone;&cursor:a.txt;CopyToOther;SelectNone;"
         "select:held.bin;cursor:cur.txt;&CopyToOther;&wait:300;&CopyToOther;&wait:300;&OverlayCancel;"
         "&key:Up;&key:Home;&key:Down;&key:End;key:Escape;SelectNone;key:F5"}));
    // The copy runs and ends while the delete is held.
    ASSERT_TRUE(f.t.wait_log("result: Copied", 30)) << f.t.log();
    EXPECT_TRUE(f.t.lines_with("result: Deleted").empty());
    EXPECT_TRUE(testsupport::exists(f.src + "/doomed"));
    testsupport::write_file(release, "");
    ASSERT_TRUE(f.t.wait_log("selftest: done", 60)) << f.t.log();

    EXPECT_EQ(testsupport::read_file(f.dst + "/a.txt"), "alpha");
    EXPECT_FALSE(testsupport::exists(f.src + "/doomed"));
    EXPECT_EQ(f.t.lines_with("[Still busy]").size(), 1u);
    // The steps written with "&" went on while the work ran; none sat out the self-test's time limit.
    EXPECT_TRUE(f.t.lines_with("still busy after").empty());
    // a.txt, the held file, and the cursor's file at the end: the busy refusal started nothing.
    EXPECT_EQ(f.t.lines_with("transfer start").size(), 3u);
    EXPECT_EQ(f.t.lines_with("result: Copied \u00b7 0 files, 0 bytes, 0 failed, cancelled").size(), 1u);
    EXPECT_FALSE(testsupport::exists(f.dst + "/held.bin"));
    EXPECT_EQ(testsupport::read_file(f.dst + "/cur.txt"), "cursor") << f.t.log();
    EXPECT_FALSE(testsupport::exists(f.dst + "/photo.jpg"));
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
    // The waits let each list be drawn (and so logged with its buttons) before it is dismissed.
    ASSERT_TRUE(f.run("select:a.txt;select:secret;CopyToOther;wait:300;DismissErrors;SelectNone;select:tree;"
                      "DeletePermanent;wait:300;DismissErrors;SelectNone;select:secret;CopyToOther;wait:300;"
                      "DismissErrors"));
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
    // No elevation client in this build: Close is the list's only button.
    EXPECT_EQ(f.t.lines_with("option Overlay#DismissErrors").size(), 3u);
    EXPECT_TRUE(f.t.lines_with("option Overlay#RetryAsAdmin").empty());

    std::vector<std::string> results =
        expect_results(f.t, {"result: Copied \u00b7 1 files, 5 bytes, 1 failed", "result: Deleted \u00b7 ",
                             "result: Copied \u00b7 0 files, 0 bytes, 1 failed"});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_NE(results[1].find(", 1 failed"), std::string::npos) << results[1];
}
