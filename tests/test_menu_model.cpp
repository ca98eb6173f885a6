#include "ui/menu_model.h"

#include "ui/app.h"
#include "base/i18n.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using menu_model::ContextInfo;
using menu_model::Item;

// Every test here runs with a known system: the real archivers of /usr/bin, a terminal program, and no
// snap. Scenarios with other systems run in fresh processes (death-test children), because the menu bar
// and the support answers are decided once per process.
class KnownSystem : public ::testing::Environment {
public:
    void SetUp() override {
        m_bin = std::make_unique<testsupport::TempDir>("menubin");
        testsupport::write_file(m_bin->sub("konsole"), "#!/bin/sh\nexit 0\n", 0755);
        setenv("PATH", (m_bin->path() + ":/usr/bin:/bin").c_str(), 1);
        unsetenv("TERMINAL");
        unsetenv("SNAP");
        unsetenv("SNAP_NAME");
        I18n::instance().set_language("en");
    }
    void TearDown() override { m_bin.reset(); }

private:
    std::unique_ptr<testsupport::TempDir> m_bin;
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new KnownSystem);

// Rows as one line of log names, "-" for a divider, so that a mismatch shows the whole menu.
std::string describe(const std::vector<Item>& items) {
    std::string out;
    for (const Item& item : items) {
        if (!out.empty()) out += ' ';
        out += item.separator ? "-" : action_name(static_cast<Action>(item.action));
    }
    return out;
}

std::string describe_bar() {
    std::string out;
    for (const auto& menu : menu_model::bar())
        out += std::string(menu.title_key) + ": " + describe(menu.items) + "\n";
    return out;
}

const char* const kTail = "SearchPane NewFolder NewFile OpenTerminal Refresh";

TEST(MenuModel, MenuBarRowsInOrder) {
    const std::string expected =
        "menu.file: NewFolder NewFile - Rename Clone MakeLink - Pack Unpack ViewArchive - ViewHex "
        "OpenTerminal - "
        "Properties Delete - Quit\n"
        "menu.edit: CopyToOther MoveToOther - SelectAll SelectNone InvertSelection SelectPattern - "
        "SearchPane - "
        "CopyPath\n"
        "menu.view: ToggleHidden - ToggleColSize ToggleColType ToggleColModified ToggleColCreated "
        "ToggleColPermissions ToggleColOwner ToggleColGroup - Refresh SwapPanes MirrorPane\n"
        "menu.go: GoUp GoBack GoForward - GoHome GoToTrash GoToPath\n"
        "menu.bookmarks: BookmarkAdd BookmarkManage\n"
        "menu.tools: LogWindow - RestartAsRoot - SettingsWindow\n"
        // Outside a snap there is nothing the sandbox blocks.
        "menu.help: Licenses - About\n";
    EXPECT_EQ(describe_bar(), expected);
    // Built once: the same object every time.
    EXPECT_EQ(&menu_model::bar(), &menu_model::bar());
}

TEST(MenuModel, ColumnMenu) {
    const auto& cols = menu_model::columns();
    EXPECT_EQ(describe(cols),
              "ToggleColSize ToggleColType ToggleColModified ToggleColCreated ToggleColPermissions "
              "ToggleColOwner ToggleColGroup");
    for (const Item& item : cols) {
        SCOPED_TRACE(item.label_key);
        EXPECT_TRUE(item.checkable);
        EXPECT_EQ(item.shortcut, nullptr);
    }
    // The View menu carries the same rows.
    const auto& view = menu_model::bar()[2].items;
    ASSERT_GE(view.size(), 9u);
    for (size_t i = 0; i < cols.size(); ++i)
        EXPECT_EQ(view[2 + i].action, cols[i].action);
}

TEST(MenuModel, LabelsShortcutsAndChecks) {
    struct Case {
        Action action;
        const char* label;
        const char* english;
        const char* shortcut;
        bool checkable;
    };
    const std::vector<Case> cases = {
        {Action::NewFolder, "action.new_folder", "New folder…", "F7", false},
        {Action::Properties, "action.properties", "Properties", "Alt+Return", false},
        {Action::ToggleHidden, "action.show_hidden", "Hidden files", "Ctrl+H", true},
        {Action::ToggleColPermissions, "col.permissions", "Permissions", nullptr, true},
        {Action::InvertSelection, "action.invert_selection", "Invert selection", "*", false},
        {Action::SelectPattern, "action.select_pattern", "Select by pattern…", "+", false},
        {Action::GoToTrash, "nav.trash", "Trash", nullptr, false},
        {Action::GoHome, "action.go_home", "Home folder", "Ctrl+Home", false},
        {Action::SettingsWindow, "action.settings", "Settings", "Ctrl+,", false},
        {Action::LogWindow, "action.log", "Log…", "Ctrl+G", false},
        {Action::Quit, "action.quit", "Quit", "Ctrl+Q", false},
        {Action::RestartAsRoot, "action.restart_root", "Restart as administrator", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(action_name(c.action));
        const Item* found = nullptr;
        for (const auto& menu : menu_model::bar())
            for (const Item& item : menu.items)
                if (item.action == static_cast<int>(c.action)) found = &item;
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->label_key, c.label);
        EXPECT_STREQ(tr(found->label_key), c.english);
        if (c.shortcut)
            EXPECT_STREQ(found->shortcut, c.shortcut);
        else
            EXPECT_EQ(found->shortcut, nullptr);
        EXPECT_EQ(found->checkable, c.checkable);
    }
}

// A mistyped key would show as itself in every language.
TEST(MenuModel, EveryRowHasATranslatedLabel) {
    std::vector<Item> all;
    for (const auto& menu : menu_model::bar()) {
        EXPECT_STRNE(tr(menu.title_key), menu.title_key);
        all.insert(all.end(), menu.items.begin(), menu.items.end());
    }
    ContextInfo one_archive{true, 1, false, true, false, false};
    for (const Item& item : menu_model::context_menu(one_archive))
        all.push_back(item);
    all.push_back(menu_model::context_menu({true, 1, false, false, false, false}).front()); // OpenWith
    for (const Item& item : all) {
        if (item.separator) {
            EXPECT_EQ(item.label_key, nullptr);
            continue;
        }
        SCOPED_TRACE(action_name(static_cast<Action>(item.action)));
        ASSERT_NE(item.label_key, nullptr);
        EXPECT_STRNE(tr(item.label_key), item.label_key);
    }
}

TEST(MenuModel, ContextMenuForEachKindOfSelection) {
    const std::string tail = kTail;
    const std::string selection_tail = "- SelectAll SelectNone InvertSelection - Delete - " + tail;
    struct Case {
        const char* name;
        ContextInfo info;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty space", {}, tail + " - SelectAll"},
        {"one file",
         {true, 1, false, false, false, false},
         "OpenWith CopyToOther MoveToOther - Rename Clone MakeLink - Pack - ViewHex CopyPath Properties " +
             selection_tail},
        {"one folder",
         {true, 1, true, false, false, false},
         "CopyToOther MoveToOther - Rename Clone MakeLink - Pack - CopyPath Properties " + selection_tail},
        {"one archive",
         {true, 1, false, true, false, false},
         "OpenWith CopyToOther MoveToOther - Rename Clone MakeLink - Pack Unpack ViewArchive - ViewHex "
         "CopyPath "
         "Properties " +
             selection_tail},
        {"several files, first an archive",
         {true, 3, false, true, false, false},
         "CopyToOther MoveToOther - Clone MakeLink - Pack - CopyPath Properties " + selection_tail},
        {"two folders: neither rename nor bytes",
         {true, 2, true, false, false, false},
         "CopyToOther MoveToOther - Clone MakeLink - Pack - CopyPath Properties " + selection_tail},
        {"one link to a file behaves as the file",
         {true, 1, false, false, true, false},
         "OpenWith CopyToOther MoveToOther - Rename Clone MakeLink - Pack - ViewHex CopyPath Properties " +
             selection_tail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto items = menu_model::context_menu(c.info);
        EXPECT_EQ(describe(items), c.expected);
        // Context rows carry the shortcuts of the catalogue.
        for (const Item& item : items) {
            if (item.action == static_cast<int>(Action::CopyToOther)) {
                EXPECT_STREQ(item.shortcut, "F5");
            }
            if (item.action == static_cast<int>(Action::Delete)) {
                EXPECT_STREQ(item.shortcut, "Del");
            }
            if (item.action == static_cast<int>(Action::OpenWith)) {
                EXPECT_STREQ(item.label_key, "action.open");
            }
        }
    }
}

Item row(Action a) {
    Item item;
    item.action = static_cast<int>(a);
    item.label_key = menu_model::label_key(a);
    return item;
}

Item sep() {
    Item item;
    item.separator = true;
    return item;
}

TEST(MenuModel, DropUnsupportedNeverLeavesTwoDividers) {
    // SandboxInfo is the one row this system does not support.
    struct Case {
        const char* name;
        std::vector<Item> items;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"supported rows stay in order",
         {row(Action::Refresh), sep(), row(Action::OpenTerminal)},
         "Refresh - OpenTerminal"},
        {"a row goes, its neighbours stay",
         {row(Action::Refresh), row(Action::SandboxInfo), row(Action::About)},
         "Refresh About"},
        {"an emptied group leaves one divider",
         {row(Action::Refresh), sep(), row(Action::SandboxInfo), sep(), row(Action::About)},
         "Refresh - About"},
        {"no divider at the top", {row(Action::SandboxInfo), sep(), row(Action::About)}, "About"},
        {"no divider at the bottom", {row(Action::About), sep(), row(Action::SandboxInfo)}, "About"},
        {"dividers already doubled collapse",
         {row(Action::About), sep(), sep(), row(Action::Quit)},
         "About - Quit"},
        {"nothing left", {sep(), row(Action::SandboxInfo), sep()}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto items = c.items;
        menu_model::drop_unsupported(items);
        EXPECT_EQ(describe(items), c.expected);
    }
}

// Runs in a death-test child; returns 0 when every line matches and prints the mismatches otherwise.
int compare_all(const std::vector<std::pair<std::string, std::string>>& got_expected) {
    int bad = 0;
    for (const auto& [got, expected] : got_expected) {
        if (got != expected) {
            fprintf(stderr, "got:      %s\nexpected: %s\n", got.c_str(), expected.c_str());
            ++bad;
        }
    }
    return bad == 0 ? 0 : 1;
}

[[noreturn]] void check_without_archivers_or_terminal() {
    const auto& bar = menu_model::bar();
    const ContextInfo two_files{true, 2, false, false, false, false};
    const ContextInfo one_dir{true, 1, true, false, false, false};
    const ContextInfo one_archive{true, 1, false, true, false, false};
    const std::string sel_tail = "- SelectAll SelectNone InvertSelection - Delete - SearchPane NewFolder "
                                 "NewFile Refresh";
    _exit(compare_all({
        {describe(bar[0].items), "NewFolder NewFile - Rename Clone MakeLink - Unpack ViewArchive - ViewHex - "
                                 "Properties Delete - Quit"},
        {describe(bar[6].items), "Licenses - About"},
        {describe(menu_model::context_menu({})), "SearchPane NewFolder NewFile Refresh - SelectAll"},
        {describe(menu_model::context_menu(two_files)),
         "CopyToOther MoveToOther - Clone MakeLink - CopyPath Properties " + sel_tail},
        {describe(menu_model::context_menu(one_dir)),
         "CopyToOther MoveToOther - Rename Clone MakeLink - CopyPath Properties " + sel_tail},
        {describe(menu_model::context_menu(one_archive)),
         "OpenWith CopyToOther MoveToOther - Rename Clone MakeLink - Unpack ViewArchive - ViewHex CopyPath "
         "Properties " +
             sel_tail},
    }));
}

[[noreturn]] void check_snap_without_archivers() {
    const auto& bar = menu_model::bar();
    _exit(compare_all({
        {describe(bar[0].items), "NewFolder NewFile - Rename Clone MakeLink - Pack Unpack ViewArchive - "
                                 "ViewHex - Properties Delete - Quit"},
        {describe(bar[6].items), "SandboxInfo Licenses - About"},
        {menu_model::action_supported(Action::PackToOther) ? "yes" : "no", "yes"},
    }));
}

class MenuModelSystems : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        m_path = getenv("PATH");
        setenv("PATH", m_empty.path().c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", m_path.c_str(), 1);
        unsetenv("SNAP");
        unsetenv("SNAP_NAME");
    }

private:
    std::string m_path;
    testsupport::TempDir m_empty{"nobin"};
};

// No archiver and no terminal outside a snap: Pack and OpenTerminal go everywhere; rows that fail only
// when run (Unpack, ViewArchive) stay.
TEST_F(MenuModelSystems, WithoutArchiversOrTerminal) {
    EXPECT_EXIT(check_without_archivers_or_terminal(), ::testing::ExitedWithCode(0), "");
}

// In a snap the archivers may sit outside the sandbox: Pack stays (and explains itself when run), and the
// Help menu offers the sandbox notice.
TEST_F(MenuModelSystems, InASnapWithoutArchivers) {
    setenv("SNAP", "/snap/tavrin/1", 1);
    setenv("SNAP_NAME", "tavrin", 1);
    EXPECT_EXIT(check_snap_without_archivers(), ::testing::ExitedWithCode(0), "");
}

// action_enabled on a pane over a prepared folder: what the active pane would act on decides.
TEST(ActionEnabled, ReasonsFollowTheActivePane) {
    testsupport::TempDir dir("enabled");
    testsupport::write_file(dir.sub("a.txt"), "a");
    testsupport::write_file(dir.sub("b.tar.gz"), "b");
    testsupport::write_file(dir.sub("c.bin"), "c");
    testsupport::make_dir(dir.sub("folder"));
    ASSERT_EQ(symlink(dir.sub("folder").c_str(), dir.sub("link-to-folder").c_str()), 0);

    App app;
    Pane& pane = app.pane_for(false);
    pane.navigate_to(dir.path(), true);
    ASSERT_TRUE(pane.error().empty());
    auto index_of = [&](const std::string& name) {
        for (int i = 0; i < pane.count(); ++i)
            if (pane.entries()[i].name == name) return i;
        ADD_FAILURE() << name << " not listed";
        return 0;
    };

    struct Case {
        const char* name;
        const char* cursor;                // row under the cursor
        std::vector<std::string> selected; // explicit selection
        Action action;
        bool enabled;
        const char* why;
    };
    const char* none = "nichts ausgewaehlt";
    const char* one = "dafuer wird genau ein Eintrag gebraucht";
    const std::vector<Case> cases = {
        {"rename the cursor file", "a.txt", {}, Action::Rename, true, ""},
        {"rename two",
         "a.txt",
         {"a.txt", "c.bin"},
         Action::Rename,
         false,
         "Umbenennen braucht genau einen Eintrag"},
        {"rename the parent row", "..", {}, Action::Rename, false, "Umbenennen braucht genau einen Eintrag"},
        {"copy the cursor entry", "a.txt", {}, Action::CopyToOther, true, ""},
        {"copy with the cursor on the parent row", "..", {}, Action::CopyToOther, false, none},
        {"move two", "a.txt", {"a.txt", "folder"}, Action::MoveToOther, true, ""},
        {"pack nothing", "..", {}, Action::PackToOther, false, none},
        {"properties of nothing", "..", {}, Action::Properties, false, none},
        {"delete the cursor entry alone", "a.txt", {}, Action::Delete, false, none},
        {"delete a selection", "a.txt", {"c.bin"}, Action::Delete, true, ""},
        {"trash the cursor entry alone", "a.txt", {}, Action::DeleteToTrash, false, none},
        {"delete permanently a selection", "a.txt", {"a.txt"}, Action::DeletePermanent, true, ""},
        {"unpack an archive", "b.tar.gz", {}, Action::Unpack, true, ""},
        {"unpack a plain file", "a.txt", {}, Action::Unpack, false, "die Auswahl ist kein Archiv"},
        {"view two archives", "a.txt", {"b.tar.gz", "c.bin"}, Action::ViewArchive, false, one},
        {"unpack nothing", "..", {}, Action::Unpack, false, one},
        {"bytes of a file", "c.bin", {}, Action::ViewHex, true, ""},
        {"bytes of a folder", "folder", {}, Action::ViewHex, false, "ein Ordner hat keine Bytes"},
        {"bytes of a link to a folder",
         "link-to-folder",
         {},
         Action::ViewHex,
         false,
         "ein Ordner hat keine Bytes"},
        {"bytes of two files", "a.txt", {"a.txt", "c.bin"}, Action::ViewHex, false, one},
        {"the selection wins over the cursor", "folder", {"c.bin"}, Action::ViewHex, true, ""},
        {"refresh always", "..", {}, Action::Refresh, true, ""},
        {"new folder always", "..", {}, Action::NewFolder, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pane.clear_selection();
        pane.set_cursor(index_of(c.cursor), false);
        for (const auto& name : c.selected)
            pane.toggle_selection(index_of(name));
        std::string why;
        EXPECT_EQ(app.action_enabled(c.action, &why), c.enabled);
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(app.action_enabled(c.action), c.enabled); // no reason wanted
    }
}

// Only the active pane counts.
TEST(ActionEnabled, TheOtherPaneDoesNotCount) {
    testsupport::TempDir dir("enabled");
    testsupport::write_file(dir.sub("a.txt"), "a");
    App app;
    app.pane_for(true).navigate_to(dir.path(), true);
    app.pane_for(true).select_all();
    app.pane_for(false).navigate_to(dir.sub(""), true);
    app.pane_for(false).clear_selection();
    app.pane_for(false).set_cursor(0, false); // the parent row
    std::string why;
    EXPECT_FALSE(app.action_enabled(Action::Delete, &why));
    EXPECT_EQ(why, "nichts ausgewaehlt");
    EXPECT_FALSE(app.action_enabled(Action::CopyToOther, &why));
}

} // namespace
