// The real program driven through its self-test script and through real X key events: files on disk,
// log lines, the settings file and the pixels of a dialog.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <signal.h>
#include <thread>

using e2e::Tavrin;

namespace {

// A folder with a few entries, both panes on it.
struct Fixture {
    Tavrin t;
    std::string dir;
    Fixture() : dir(t.home() + "/work") {
        testsupport::make_dir(dir);
        testsupport::make_dir(dir + "/Documents");
        testsupport::make_dir(dir + "/sub");
        testsupport::write_file(dir + "/a.txt", "a");
        testsupport::write_file(dir + "/notes.md", "n");
    }
    bool run(const std::string& script) { return t.run_script({"--left=" + dir, "--right=" + dir}, script, 30); }
};

} // namespace

TEST(SelfTest, RunsStepsLogsEachAndCountsUnknownOnes) {
    Fixture f;
    ASSERT_TRUE(f.run("key:F7;type:made\\;here;key:Return;NewFile;type:empty.txt;OverlayOk;"
                      "cursor:notes.md;key:F2;type:-v2;key:Return;NoSuchThing;key:NoSuchKey;cursor:ghost"));
    EXPECT_TRUE(testsupport::exists(f.dir + "/made;here"));
    EXPECT_EQ(testsupport::read_file(f.dir + "/empty.txt"), "");
    EXPECT_TRUE(testsupport::exists(f.dir + "/notes-v2.md"));
    EXPECT_FALSE(testsupport::exists(f.dir + "/notes.md"));

    std::vector<std::string> steps = f.t.lines_with("selftest: -> ");
    ASSERT_EQ(steps.size(), 13u);
    EXPECT_EQ(steps[1], "selftest: -> type:made;here");
    EXPECT_EQ(f.t.lines_with("selftest: unknown action"),
              (std::vector<std::string>{"selftest: unknown action 'NoSuchThing'",
                                        "selftest: unknown action 'key:NoSuchKey'"}));
    EXPECT_EQ(f.t.lines_with("selftest: no entry"), std::vector<std::string>{"selftest: no entry 'ghost'"});
    EXPECT_EQ(f.t.lines_with("selftest: done"),
              std::vector<std::string>{"selftest: done, 11 executed, 2 unknown"});
    EXPECT_EQ(f.t.lines_with("dialog opened: NewFolder"),
              std::vector<std::string>{"dialog opened: NewFolder \u2014 2 Auswahlen [New folder]"});
    EXPECT_EQ(f.t.lines_with("dialog opened: NewFile"),
              std::vector<std::string>{"dialog opened: NewFile \u2014 2 Auswahlen [New file]"});
    EXPECT_EQ(f.t.lines_with("dialog closed: ").size(), 2u);
    EXPECT_EQ(f.t.lines_with("action: NewFile [" + f.dir + "]").size(), 1u);
    // The program keeps running after its script.
    EXPECT_TRUE(f.t.running());
    EXPECT_TRUE(f.t.signal(SIGTERM));
    EXPECT_EQ(f.t.wait_exit(5), 0);
}

TEST(SelfTest, QuitEndsTheProgramAndTheSettingsHoldTheFolder) {
    Fixture f;
    ASSERT_TRUE(f.t.start(
        {"--left=" + f.dir, "--right=" + f.dir, "--action=cursor:sub;key:Return;wait:300;key:ctrl+q"}));
    EXPECT_EQ(f.t.wait_exit(10), 0);
    EXPECT_NE(f.t.settings().find("\"left_path\": \"" + f.dir + "/sub\""), std::string::npos)
        << f.t.settings();
}

TEST(SelfTest, TheSettingsFileFollowsAFolderChangeWithinATick) {
    Fixture f;
    ASSERT_TRUE(f.run("cursor:Documents;key:Return;wait:250"));
    EXPECT_NE(f.t.settings().find("\"left_path\": \"" + f.dir + "/Documents\""), std::string::npos);
    ASSERT_TRUE(f.t.signal(SIGTERM));
}

TEST(SelfTest, PathBarRefusesAFileAndKeepsEditing) {
    Fixture f;
    ASSERT_TRUE(
        f.run("key:ctrl+l;type:/a.txt;key:Return;key:Escape;key:ctrl+l;type:/../work/sub;key:Return"));
    std::vector<std::string> rejected = f.t.lines_with("path rejected: ");
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].substr(0, rejected[0].find(": ", 15)), "path rejected: " + f.dir + "/a.txt");
    EXPECT_EQ(f.t.lines_with("path bar \u2192 "),
              std::vector<std::string>{"path bar \u2192 " + f.dir + "/sub"});
}

TEST(SelfTest, HistoryTabSwapAndBookmarks) {
    Fixture f;
    ASSERT_TRUE(f.run("cursor:sub;key:Return;key:BackSpace;key:alt+Left;key:alt+Right;key:Tab;key:ctrl+d;"
                      "key:Return;key:Tab;key:ctrl+u"));
    std::vector<std::string> actions = f.t.lines_with("action: ");
    std::vector<std::string> want = {
        "action: GoUp [" + f.dir + "/sub]",      "action: GoBack [" + f.dir + "]",
        "action: GoForward [" + f.dir + "/sub]", "action: BookmarkAdd [" + f.dir + "]",
        "action: OverlayOk [" + f.dir + "]",     "action: SwapPanes [" + f.dir + "]",
    };
    EXPECT_EQ(actions, want);
    EXPECT_NE(testsupport::read_file(f.t.config_file("bookmarks.txt")).find(f.dir), std::string::npos);
}

TEST(SelfTest, DeleteAsksFirstAndItsAcceleratorsAreLogged) {
    Fixture f;
    ASSERT_TRUE(f.run("select:a.txt;select:notes.md;key:Delete"));
    EXPECT_EQ(f.t.lines_with("dialog opened: "),
              std::vector<std::string>{"dialog opened: ConfirmDelete \u2014 3 Auswahlen [Delete]"});
    std::vector<std::string> options = f.t.lines_with("  option ");
    ASSERT_EQ(options.size(), 3u);
    EXPECT_NE(options[0].find("Overlay#DeleteToTrash"), std::string::npos);
    EXPECT_NE(options[2].find("Overlay#OverlayCancel"), std::string::npos);
    // Nothing is deleted by the dialog's opening.
    EXPECT_TRUE(testsupport::exists(f.dir + "/a.txt"));
}

TEST(SelfTest, ShiftExtendsSpaceTogglesAndF2RenamesTheOnlySelectedEntry) {
    Fixture f;
    // Rows: .., Documents, sub, a.txt, notes.md. Documents stays the only selected row while the cursor
    // rests on sub.
    ASSERT_TRUE(f.run("key:End;key:Home;key:Down;key:shift+Down;key:space;key:F2;type:X;key:Return;"
                      "key:F2;type:Y;key:Escape"));
    EXPECT_TRUE(testsupport::exists(f.dir + "/DocumentsX"));
    EXPECT_TRUE(testsupport::exists(f.dir + "/sub"));
    EXPECT_FALSE(testsupport::exists(f.dir + "/DocumentsXY"));
}

TEST(RealKeys, TheWindowsOwnHandlerDrivesTheProgram) {
    Fixture f;
    ASSERT_TRUE(f.t.start({"--left=" + f.dir, "--right=" + f.dir}));
    ASSERT_TRUE(f.t.wait_log("first frame drawn "));
    f.t.press("F7");
    ASSERT_TRUE(f.t.wait_log("dialog opened: NewFolder"));
    f.t.type_focused("viax");
    f.t.press("Return");
    ASSERT_TRUE(f.t.wait_log("dialog closed: NewFolder"));
    EXPECT_TRUE(testsupport::exists(f.dir + "/viax"));

    std::string shot = f.t.screenshot(f.t.home() + "/plain.png");
    f.t.press("shift+F7");
    ASSERT_TRUE(f.t.wait_log("dialog opened: NewFolder \u2014 2 Auswahlen", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string dialog = f.t.screenshot(f.t.home() + "/dialog.png");
    ASSERT_FALSE(shot.empty());
    ASSERT_FALSE(dialog.empty());
    e2e::WindowGeometry g = f.t.geometry();
    // The panel (480 x 178) sits in the middle in the bar colour; the corners are veiled.
    EXPECT_EQ(e2e::pixel_at(dialog, g.width / 2 - 200, g.height / 2 - 60), "#F7F8FA");
    EXPECT_NE(e2e::pixel_at(dialog, 5, g.height - 5), e2e::pixel_at(shot, 5, g.height - 5));
    f.t.press("Escape");
    ASSERT_TRUE(f.t.wait_log("dialog closed: NewFolder", 5));
    f.t.press("ctrl+q");
    EXPECT_EQ(f.t.wait_exit(10), 0);
}

TEST(SelfTest, TypeAheadStartsAnewAfterASecond) {
    Fixture f;
    ASSERT_TRUE(f.run("type:no;wait:1100;type:s;key:Return;wait:250"));
    EXPECT_NE(f.t.settings().find("\"left_path\": \"" + f.dir + "/sub\""), std::string::npos)
        << f.t.settings();
}

TEST(SelfTest, SearchBarReturnKeepsTheFilterForTheNextKeys) {
    Fixture f;
    ASSERT_TRUE(f.run("key:ctrl+f;type:ub;key:Down;key:Return;key:Return;wait:250;key:ctrl+h;ToggleColType"));
    std::string s = f.t.settings();
    EXPECT_NE(s.find("\"left_path\": \"" + f.dir + "/sub\""), std::string::npos) << s;
    EXPECT_NE(s.find("\"show_hidden\": false"), std::string::npos) << s;
    EXPECT_NE(s.find("\"show_type\": true"), std::string::npos) << s;
}

TEST(RealKeys, PathBarHistoryAndTypeAheadFromTheKeyboard) {
    Fixture f;
    ASSERT_TRUE(f.t.start({"--left=" + f.dir, "--right=" + f.dir}));
    ASSERT_TRUE(f.t.wait_log("first frame drawn "));
    f.t.press("ctrl+l");
    f.t.type_focused("/sub");
    f.t.press("Return");
    ASSERT_TRUE(f.t.wait_log("path bar \u2192 " + f.dir + "/sub"));
    f.t.press("BackSpace");
    ASSERT_TRUE(f.t.wait_log("action: GoUp [" + f.dir + "/sub]"));
    f.t.type_focused("Do");
    f.t.press("Return");
    f.t.press("ctrl+h");
    ASSERT_TRUE(f.t.wait_log("action: ToggleHidden [" + f.dir + "/Documents]"));
    f.t.press("alt+Left");
    ASSERT_TRUE(f.t.wait_log("action: GoBack [" + f.dir + "/Documents]"));
    f.t.press("ctrl+q");
    EXPECT_EQ(f.t.wait_exit(10), 0);
    EXPECT_NE(f.t.settings().find("\"show_hidden\": false"), std::string::npos);
}
