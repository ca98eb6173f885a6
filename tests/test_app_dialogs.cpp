// The dialog frame, its buttons and log lines, and the faults around dialogs and command targets, on an
// App without a window; frames are drawn off-screen with the window's own draw_all.
#include "app_peer.h"
#include "child.h"
#include "config_home.h"
#include "base/logger.h"
#include "config/settings.h"
#include "config_home.h"
#include "temp_dir.h"
#include "ui/app.h"
#include "ui/selftest_script.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <string>
#include <vector>

using testsupport::Canvas;
using testsupport::TempDir;

namespace {

[[maybe_unused]] ::testing::Environment* const g_home = testsupport::ConfigHome::install("app-dialogs-home");

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        SettingsStore::instance().mutable_get() = Settings{};
        for (const char* d : {"music", "photos"})
            testsupport::make_dir(dir.sub(d));
        for (const char* f : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"})
            testsupport::write_file(dir.sub(f), "x");
        peer.pane(false).navigate_to(dir.path(), true);
        peer.pane(true).navigate_to(other.path(), true);
        peer.layout().visible_rows = 20;
        Log::instance().clear();
    }

    void run(const std::string& script) {
        for (const std::string& step : selftest_script::split(script))
            EXPECT_TRUE(app.run_self_test_step(step)) << step;
    }
    void frame(int w = 1200, int h = 800) {
        Canvas canvas(w, h);
        canvas.draw(app);
    }
    std::vector<std::string> lines(const std::string& part) {
        std::vector<std::string> out;
        for (const auto& e : Log::instance().recent())
            if (e.text.find(part) != std::string::npos) out.push_back(e.text);
        return out;
    }
    Pane& left() { return peer.pane(false); }

    TempDir dir{"dialogs-left"};
    TempDir other{"dialogs-right"};
    App app;
    AppTestPeer peer{app};
};

} // namespace

TEST_F(Dialogs, OpeningLogsTheDialogItsChoicesAndItsTitleAndClosingLogsItsName) {
    run("NewFolder");
    frame();
    frame();
    EXPECT_EQ(lines("dialog opened:"),
              std::vector<std::string>{"dialog opened: NewFolder \u2014 2 Auswahlen [New folder]"});
    std::vector<std::string> options = lines("  option ");
    ASSERT_EQ(options.size(), 2u);
    // The kind is padded to 28 columns.
    EXPECT_EQ(options[0], "  option Overlay#OverlayOk" + std::string(28 - 17, ' ') + " OK");
    EXPECT_EQ(options[1], "  option Overlay#OverlayCancel" + std::string(28 - 21, ' ') + " Cancel");
    run("key:Escape");
    frame();
    EXPECT_EQ(lines("dialog closed:"), std::vector<std::string>{"dialog closed: NewFolder"});

    run("key:ctrl+d");
    frame();
    EXPECT_EQ(lines("dialog opened: Message").back(), "dialog opened: Message \u2014 1 Auswahl [Bookmarks]");
}

TEST_F(Dialogs, ButtonAcceleratorsTakeTheFirstFreeLetterOfEachLabel) {
    run("cursor:a.txt;key:space;key:Delete");
    ASSERT_EQ(app.overlay(), App::Overlay::ConfirmDelete);
    frame();
    std::map<char, Action> want = {
        {'C', Action::OverlayCancel}, {'D', Action::DeletePermanent}, {'M', Action::DeleteToTrash}};
    EXPECT_EQ(peer.overlay_accels(), want);
    run("key:alt+c");
    EXPECT_EQ(app.overlay(), App::Overlay::None);
    EXPECT_EQ(lines("dialog accel:"), std::vector<std::string>{"dialog accel: Alt+C \u2192 OverlayCancel"});
}

TEST_F(Dialogs, PanelSizesFollowTheContent) {
    struct Case {
        int selected;
        double height;
    } cases[] = {{1, 121 + 68}, {2, 138 + 68}, {3, 155 + 68}, {5, 155 + 68 + 20}};
    for (const Case& c : cases) {
        left().clear_selection();
        for (int i = 0; i < c.selected; ++i)
            left().toggle_selection(3 + i);
        peer.overlay() = App::Overlay::ConfirmDelete;
        double w = 0, h = 0;
        peer.draw_overlay_panel(w, h);
        EXPECT_EQ(w, 560);
        EXPECT_EQ(h, c.height) << c.selected << " selected";
    }
    app.show_message("t", "short", false);
    frame();
    double w = 0, h = 0;
    Canvas canvas(1200, 800);
    peer.cr() = canvas.cr();
    peer.draw_overlay_panel(w, h);
    EXPECT_EQ(h, 150);
    peer.overlay_text() = std::string(600, 'x');
    peer.draw_overlay_panel(w, h);
    EXPECT_GT(h, 150 + 24);
    peer.cr() = nullptr;
}

TEST_F(Dialogs, ASmallWindowShrinksThePanel) {
    peer.overlay() = App::Overlay::Settings;
    peer.overlay_title() = "Settings";
    Canvas canvas(500, 400);
    canvas.draw(app);
    // Panel of 460 x 360 from (20, 20): its face is the bar colour just inside, the veil just outside.
    EXPECT_EQ(canvas.hex(30, 200), app.palette().bar);
    EXPECT_NE(canvas.hex(10, 200), app.palette().bar);
    EXPECT_EQ(canvas.hex(470, 200), app.palette().bar);
}

TEST_F(Dialogs, KeysNeverReachThePanesBehindADialog) {
    run("cursor:a.txt;key:space;NewFolder;key:Delete;key:F5;key:F2;key:ctrl+a;key:Down");
    EXPECT_TRUE(lines("action: Delete").empty());
    EXPECT_TRUE(lines("action: CopyToOther").empty());
    EXPECT_TRUE(lines("action: Rename").empty());
    EXPECT_FALSE(left().renaming());
    EXPECT_EQ(left().selected_paths(), std::vector<std::string>{dir.sub("a.txt")});
    EXPECT_EQ(app.overlay(), App::Overlay::NewFolder);
}

TEST_F(Dialogs, TheDeleteKeyTypesNothingIntoANameField) {
    run("NewFile;type:ab;key:Left;key:Delete;key:Tab;type:\xc3\xa9;OverlayOk");
    EXPECT_TRUE(testsupport::exists(dir.sub("a\xc3\xa9"
                                            "b")));
}

TEST_F(Dialogs, RenameActsOnTheOnlySelectedEntryNotOnTheCursorRow) {
    run("key:Home;key:Down;key:shift+Down;key:space");
    const Pane& p = left();
    ASSERT_EQ(p.selected_paths().size(), 1u);
    int selected_row = 1, cursor_row = 2;
    ASSERT_EQ(p.cursor(), cursor_row);
    ASSERT_TRUE(p.is_selected(selected_row));
    run("key:F2");
    EXPECT_EQ(p.rename_index(), selected_row);
}

TEST_F(Dialogs, NamesThatAreNotUtf8AreRenamedByTheirStoredName) {
    const std::string stored = "bad\xff.txt";
    testsupport::write_file(dir.sub(stored), "keep");
    left().reload(true);
    run("cursor:" + stored + ";key:F2;key:Home;key:Delete;key:Delete;key:Delete;key:Delete;key:Return");
    EXPECT_FALSE(testsupport::exists(dir.sub(stored)));
    EXPECT_EQ(testsupport::read_file(dir.sub(".txt")), "keep");
}

TEST_F(Dialogs, TrashWithNothingSelectedShowsTheNothingMessage) {
    run("DeleteToTrash");
    EXPECT_EQ(app.overlay(), App::Overlay::Message);
    EXPECT_EQ(app.overlay_title(), "Nothing found");
    EXPECT_EQ(lines("action refused: DeleteToTrash").size(), 1u);
}

TEST_F(Dialogs, AcceleratorsOfTheDialogBeforeDoNothingInTheNextOne) {
    run("cursor:a.txt;key:space;key:Delete");
    frame();
    ASSERT_EQ(peer.overlay_accels().count('D'), 1u);
    run("OverlayCancel;NewFolder;key:alt+d");
    EXPECT_EQ(app.overlay(), App::Overlay::NewFolder);
    EXPECT_TRUE(lines("action: DeletePermanent").empty());
    // The same holds when something opens a dialog without going through set_overlay.
    run("OverlayCancel;key:Delete");
    frame();
    peer.overlay() = App::Overlay::GoToPath;
    run("key:alt+d");
    EXPECT_TRUE(lines("action: DeletePermanent").empty());
}

TEST_F(Dialogs, AnEditedPathIsNormalisedBeforeTheFolderInUseCheck) {
    run("key:ctrl+l");
    peer.path_buffer() = dir.path() + "/photos/../music/.//";
    run("key:Return");
    ASSERT_EQ(left().path(), dir.sub("music"));
    run("pane:right;key:ctrl+l");
    peer.path_buffer() = dir.path() + "/music/..";
    run("key:Return;cursor:music;key:space;key:Delete");
    EXPECT_EQ(app.overlay_text(),
              "This folder is open in one of the panes. Go somewhere else first, then delete it.");
}

TEST_F(Dialogs, EveryActionOnEmptyPanesWithAndWithoutADialogLogsAndNeverCrashes) {
    TempDir empty_left{"empty-left"}, empty_right{"empty-right"};
    for (bool with_dialog : {false, true}) {
        for (int i = 0; i < kActionCount; ++i) {
            left().navigate_to(empty_left.path(), true);
            peer.pane(true).navigate_to(empty_right.path(), true);
            if (with_dialog) app.show_message("t", "text", false);
            Log::instance().clear();
            auto action = static_cast<Action>(i);
            app.perform(action, 0);
            frame();
            if (action == Action::None) {
                EXPECT_TRUE(lines("action: ").empty());
                continue;
            }
            // Clearing the log takes the command's own line with it.
            std::string want = action == Action::LogClear
                                   ? std::string("log cleared by the user")
                                   : std::string("action: ") + action_name(action) + " [";
            EXPECT_EQ(lines(want).size(), 1u) << action_name(action);
            app.perform(Action::OverlayCancel);
            peer.path_edit() = -1;
        }
    }
}

namespace {

// Ticks as the window's timer does until `done` holds or `seconds` have passed.
template <typename Done> bool tick_until(AppTestPeer& peer, Done done, double seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        peer.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

TEST_F(Dialogs, ACopyStoppedUnderItsConflictDialogStillOpensTheErrorList) {
    // Files must be unreadable, so the copy runs as nobody; the folders are opened up for that user.
    testsupport::write_file(dir.sub("0locked"), "x");
    ASSERT_EQ(chmod(dir.sub("0locked").c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(other.path().c_str(), 0777), 0);
    testsupport::write_file(other.sub("a.txt"), "old");
    left().navigate_to(dir.path(), true);
    peer.pane(true).navigate_to(other.path(), true);
    std::string failures = testsupport::in_child([&] {
        testsupport::Checks checks;
        if (!testsupport::drop_to_nobody()) return std::string("cannot become nobody");
        copy_engine::Engine& engine = copy_engine::instance();
        // The unreadable file fails first; the worker then waits on the question about a.txt.
        run("select:0locked;select:a.txt;CopyToOther");
        checks.expect(tick_until(peer, [&] { return app.overlay() == App::Overlay::Conflict; }),
                      "the conflict dialog opens");
        checks.equal(engine.snapshot().failures_total, size_t(1), "one failure before the question");
        // Stopped from elsewhere than the dialog: the question is gone, the dialog with it.
        engine.cancel();
        checks.expect(tick_until(peer, [&] { return !engine.is_running(); }), "the copy stops");
        peer.tick();
        checks.equal(app.overlay(), App::Overlay::Errors, "the error list opens at the end of the job");
        checks.expect(peer.result().valid && peer.result().cancelled && peer.result().failures == 1,
                      "the result line counts the failure of the cancelled copy");
        return checks.failures;
    });
    EXPECT_EQ(failures, "");
}
