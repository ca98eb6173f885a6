// Keys and commands on a real App without a window: every step goes through the self-test step runner,
// so these are the same paths the end-to-end scripts take.
#include "app_peer.h"
#include "config_home.h"
#include "base/logger.h"
#include "config/settings.h"
#include "config_home.h"
#include "temp_dir.h"
#include "ui/app.h"
#include "ui/selftest_script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using testsupport::TempDir;

namespace {

[[maybe_unused]] ::testing::Environment* const g_home = testsupport::ConfigHome::install("app-keys-home");

class Keys : public ::testing::Test {
protected:
    void SetUp() override {
        Settings& s = SettingsStore::instance().mutable_get();
        s = Settings{};
        s.show_hidden = false;
        for (const char* d : {"Documents", "downloads", "music"})
            testsupport::make_dir(dir.sub(d));
        for (const char* f : {"a.txt", "b.txt", "c.tar.gz", "notes.md"})
            testsupport::write_file(dir.sub(f), "x");
        testsupport::make_dir(other.sub("elsewhere"));
        peer.pane(false).navigate_to(dir.path(), false);
        peer.pane(true).navigate_to(other.path(), false);
        peer.layout().visible_rows = 20;
        Log::instance().clear();
    }

    void run(const std::string& script) {
        for (const std::string& step : selftest_script::split(script))
            EXPECT_TRUE(app.run_self_test_step(step)) << step;
    }
    Pane& left() { return peer.pane(false); }
    std::string cursor_name() {
        Pane& p = peer.app().active_right() ? peer.pane(true) : peer.pane(false);
        return p.cursor() < p.count() ? p.entries()[size_t(p.cursor())].name : "";
    }
    bool logged(const std::string& text) {
        for (const auto& e : Log::instance().recent())
            if (e.text.find(text) != std::string::npos) return true;
        return false;
    }

    TempDir dir{"keys-left"};
    TempDir other{"keys-right"};
    App app;
    AppTestPeer peer{app};
};

} // namespace

TEST_F(Keys, CursorKeysMoveAndShiftExtendsTheSelection) {
    // Plain cursor moves carry a one-row selection with them; Shift grows it from the anchor.
    run("key:Home;key:Down");
    EXPECT_EQ(cursor_name(), "Documents");
    EXPECT_EQ(left().selected_count(), 1);
    run("key:shift+Down;key:shift+Down");
    EXPECT_EQ(cursor_name(), "music");
    EXPECT_EQ(left().selected_count(), 3);
    run("key:Escape");
    EXPECT_FALSE(left().has_selection());
    run("key:End;key:space");
    EXPECT_EQ(cursor_name(), "notes.md");
    EXPECT_FALSE(left().has_selection());
    run("key:asterisk");
    EXPECT_EQ(left().selected_paths().size(), 7u);
    run("key:Escape;key:ctrl+shift+A");
    EXPECT_FALSE(left().has_selection());
    run("key:ctrl+a");
    EXPECT_EQ(left().selected_paths().size(), 7u);
    run("key:Page_Up");
    EXPECT_EQ(left().cursor(), 0);
}

TEST_F(Keys, ReturnEntersFoldersAndLeftGoesBackUpToTheFolderLeft) {
    run("cursor:music;key:Return");
    EXPECT_EQ(left().path(), dir.sub("music"));
    run("key:Left");
    EXPECT_EQ(left().path(), dir.path());
    EXPECT_EQ(cursor_name(), "music");
    run("cursor:downloads;key:Right;key:BackSpace");
    EXPECT_EQ(cursor_name(), "downloads");
    run("key:alt+Left");
    EXPECT_EQ(left().path(), dir.sub("downloads"));
    run("key:alt+Left;key:alt+Right");
    EXPECT_EQ(left().path(), dir.sub("downloads"));
}

TEST_F(Keys, TabSwitchesPanesAndSwapAndMirrorMoveFolders) {
    run("key:Tab");
    EXPECT_TRUE(app.active_right());
    run("key:ISO_Left_Tab");
    EXPECT_FALSE(app.active_right());
    run("key:ctrl+u");
    EXPECT_TRUE(app.active_right());
    EXPECT_EQ(peer.pane(true).path(), dir.path());
    EXPECT_EQ(peer.pane(false).path(), other.path());
    run("MirrorPane");
    EXPECT_EQ(peer.pane(false).path(), dir.path());
}

TEST_F(Keys, TypeAheadFindsCaseInsensitivelyKeepsTheSelectionAndResetsAfterASecond) {
    run("cursor:b.txt;key:space");
    ASSERT_EQ(left().selected_paths(), std::vector<std::string>{dir.sub("b.txt")});
    run("type:do");
    EXPECT_EQ(cursor_name(), "Documents");
    EXPECT_EQ(left().selected_paths(), std::vector<std::string>{dir.sub("b.txt")});
    run("type:w");
    EXPECT_EQ(cursor_name(), "downloads");
    run("key:ctrl+n;key:alt+m");
    EXPECT_EQ(cursor_name(), "downloads");
    // A pause of more than a second starts a new search: "m" alone finds music, "dowm" would find nothing.
    peer.typeahead_time() -= 1.1;
    run("type:m");
    EXPECT_EQ(cursor_name(), "music");
    run("type:x");
    EXPECT_EQ(cursor_name(), "music");
}

TEST_F(Keys, SearchBarFiltersLiveAndEscapeRestoresTheListOnTheSameEntry) {
    run("key:ctrl+f;type:txt");
    EXPECT_EQ(left().count(), 3); // ".." and the two text files
    run("key:Down;key:Down");
    EXPECT_EQ(cursor_name(), "b.txt");
    run("key:Return");
    EXPECT_EQ(peer.search_pane(), -1);
    EXPECT_EQ(left().count(), 3);
    run("key:ctrl+f;key:Escape");
    EXPECT_EQ(left().count(), 8);
    EXPECT_EQ(cursor_name(), "b.txt");
}

TEST_F(Keys, AnyCommandClosesTheSearchBarWithItsFilterCleared) {
    run("key:ctrl+f;type:mus;Refresh");
    EXPECT_EQ(peer.search_pane(), -1);
    EXPECT_EQ(left().count(), 8);
    EXPECT_TRUE(logged("search closed: Refresh wurde ausgeloest"));
}

TEST_F(Keys, PathBarNormalisesRefusesFilesAndEscapeLeaves) {
    run("key:ctrl+l");
    ASSERT_EQ(peer.path_edit(), 0);
    peer.path_buffer() = "  \"" + dir.path() + "/music/../downloads//./\"  ";
    run("key:Return");
    EXPECT_EQ(peer.path_edit(), -1);
    EXPECT_EQ(left().path(), dir.sub("downloads"));

    run("key:ctrl+l");
    peer.path_buffer() = "file://" + dir.sub("a.txt");
    run("key:Return");
    EXPECT_EQ(peer.path_edit(), 0);
    EXPECT_NE(peer.path_error().find(dir.sub("a.txt") + ": "), std::string::npos);
    EXPECT_EQ(left().path(), dir.sub("downloads"));
    run("key:BackSpace");
    EXPECT_TRUE(peer.path_error().empty());
    run("key:Escape");
    EXPECT_EQ(peer.path_edit(), -1);
}

TEST_F(Keys, F2RenamesWithTheCaretBeforeTheExtensionAndEscapeCancels) {
    run("cursor:notes.md;key:F2");
    ASSERT_TRUE(left().renaming());
    EXPECT_EQ(left().rename_caret(), 5u);
    run("key:BackSpace;key:BackSpace;key:BackSpace;key:BackSpace;key:BackSpace;type:todo;key:Return");
    EXPECT_TRUE(testsupport::exists(dir.sub("todo.md")));
    EXPECT_FALSE(testsupport::exists(dir.sub("notes.md")));
    EXPECT_EQ(cursor_name(), "todo.md");
    run("key:F2;type:zzz;key:Escape");
    EXPECT_FALSE(left().renaming());
    EXPECT_TRUE(testsupport::exists(dir.sub("todo.md")));
}

TEST_F(Keys, RenameToAnExistingNameNeverReplacesIt) {
    run("cursor:a.txt;key:F2;key:Home;key:Delete;type:b;key:Return");
    EXPECT_TRUE(testsupport::exists(dir.sub("a.txt")));
    EXPECT_EQ(app.overlay(), App::Overlay::Message);
    EXPECT_TRUE(app.overlay_is_error());
    EXPECT_EQ(app.overlay_text(), "Something with that name is already there.");
}

TEST_F(Keys, NewFolderAndNewFileCreateAndPutTheCursorOnTheNewEntry) {
    run("key:F7;type:fresh;key:Return");
    EXPECT_TRUE(testsupport::exists(dir.sub("fresh")));
    EXPECT_EQ(cursor_name(), "fresh");
    EXPECT_EQ(app.overlay(), App::Overlay::None);
    run("NewFile;type:empty.txt;OverlayOk");
    EXPECT_EQ(testsupport::read_file(dir.sub("empty.txt")), "");
    EXPECT_EQ(cursor_name(), "empty.txt");
    run("key:F7;type:x;key:Escape");
    EXPECT_FALSE(testsupport::exists(dir.sub("x")));
}

TEST_F(Keys, SelectPatternAndGoToPathDialogs) {
    run("key:plus");
    ASSERT_EQ(app.overlay(), App::Overlay::SelectPattern);
    EXPECT_EQ(app.input_buffer(), "*");
    run("type:.txt;key:Return");
    EXPECT_EQ(left().selected_paths().size(), 2u);
    run("SelectPattern;key:BackSpace;type:zz*;OverlayOk");
    EXPECT_EQ(app.overlay_text(), "Nothing matched that pattern.");
}

TEST_F(Keys, HiddenFilesColumnsAndBookmarksToggle) {
    testsupport::write_file(dir.sub(".secret"), "");
    run("key:ctrl+h");
    EXPECT_TRUE(SettingsStore::instance().get().show_hidden);
    EXPECT_EQ(left().count(), 9);
    bool size_before = SettingsStore::instance().get().show_size;
    run("ToggleColSize");
    EXPECT_NE(SettingsStore::instance().get().show_size, size_before);
    run("key:ctrl+d");
    EXPECT_EQ(app.overlay_text(), "This folder is now bookmarked.");
    run("OverlayCancel;key:ctrl+d");
    EXPECT_EQ(app.overlay_text(), "The bookmark was removed.");
}

TEST_F(Keys, SettingsCommandsStepWithinTheirLimits) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.thread_count = 15;
    run("SettingsThreadsPlus;SettingsThreadsPlus");
    EXPECT_EQ(s.thread_count, 16);
    s.thread_count = 1;
    run("SettingsThreadsMinus;SettingsThreadsMinus");
    EXPECT_EQ(s.thread_count, 0);
    s.font_scale = 75;
    run("SettingsScaleMinus");
    EXPECT_EQ(s.font_scale, 70);
    run("SettingsScaleMinus");
    EXPECT_EQ(s.font_scale, 70);
    s.font_scale = 195;
    run("SettingsScalePlus;SettingsScalePlus");
    EXPECT_EQ(s.font_scale, 200);

    std::vector<std::string> themes;
    s.theme = "auto";
    for (int i = 0; i < 3; ++i) {
        run("SettingsTheme");
        themes.push_back(s.theme);
    }
    EXPECT_EQ(themes, (std::vector<std::string>{"light", "dark", "auto"}));
    s.theme = "purple";
    run("SettingsTheme");
    EXPECT_EQ(s.theme, "auto");

    using CA = copy_engine::ConflictAction;
    std::vector<CA> answers;
    s.default_conflict = CA::Ask;
    for (int i = 0; i < 5; ++i) {
        run("SettingsConflict");
        answers.push_back(s.default_conflict);
    }
    EXPECT_EQ(answers,
              (std::vector<CA>{CA::Overwrite, CA::Skip, CA::RenameNew, CA::OverwriteIfNewer, CA::Ask}));
    s.default_conflict = CA::Cancel;
    run("SettingsConflict");
    EXPECT_EQ(s.default_conflict, CA::Overwrite);

    bool trash = s.delete_to_trash, confirm = s.confirm_delete;
    run("SettingsToggleTrash;SettingsToggleConfirm");
    EXPECT_NE(s.delete_to_trash, trash);
    EXPECT_NE(s.confirm_delete, confirm);

    s.language = "auto";
    run("SettingsLanguagePrev");
    EXPECT_NE(s.language, "auto");
    run("SettingsLanguageNext");
    EXPECT_EQ(s.language, "auto");
}

TEST_F(Keys, ResetKeepsThePaneFoldersAndRefreshFlashesTheSummary) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.left_path = dir.path();
    s.font_scale = 150;
    s.show_size = false;
    run("SettingsReset");
    EXPECT_EQ(s.left_path, dir.path());
    EXPECT_EQ(s.font_scale, 100);
    EXPECT_TRUE(s.show_size);
    EXPECT_EQ(app.flash_text(), "Settings reset");
    run("Refresh");
    EXPECT_EQ(app.flash_text(), "Reloaded  \u00b7  3 folders, 4 files");
}
