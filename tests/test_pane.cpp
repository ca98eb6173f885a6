#include "ui/pane.h"

#include "child.h"
#include "base/strutil.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using dir_lister::SortKey;
using dir_lister::SortOrder;
using testsupport::TempDir;

namespace {

std::vector<std::string> names(const Pane& pane) {
    std::vector<std::string> out;
    for (const FsEntry& e : pane.entries())
        out.push_back(e.name);
    return out;
}

std::set<int> selection(const Pane& pane) {
    std::set<int> out;
    for (int i = 0; i < static_cast<int>(pane.entries().size()); ++i)
        if (pane.is_selected(i)) out.insert(i);
    return out;
}

std::vector<std::string> action_names(const Pane& pane) {
    std::vector<std::string> out;
    for (const FsEntry* e : pane.action_entries())
        out.push_back(e->name);
    return out;
}

// "tmp" for "/tmp/pane.X1y2".
std::string first_component(const std::string& path) {
    size_t end = path.find('/', 1);
    return path.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

int index_of(const Pane& pane, const std::string& name) {
    for (int i = 0; i < static_cast<int>(pane.entries().size()); ++i)
        if (pane.entries()[i].name == name) return i;
    return -1;
}

// A folder of ten files f01 .. f10: rows ".." then f01 .. f10 (indices 1 .. 10).
class TenFiles : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 1; i <= 10; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "f%02d", i);
            testsupport::write_file(dir.sub(name), std::string(i, 'x'));
        }
        pane.navigate_to(dir.path(), false);
        ASSERT_EQ(pane.entries().size(), 11u);
    }
    TempDir dir{"pane"};
    Pane pane;
};

TEST(PaneNavigate, ReadsSortsNaturallyAndStartsOnTop) {
    TempDir dir("pane");
    for (const char* f : {"img10.png", "img2.png", "img1.png", ".hidden"})
        testsupport::write_file(dir.sub(f), "data");
    testsupport::make_dir(dir.sub("sub"));
    Pane pane;
    EXPECT_EQ(pane.history_pos(), -1);
    pane.navigate_to(dir.path(), false);
    EXPECT_EQ(pane.path(), dir.path());
    EXPECT_TRUE(pane.error().empty());
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "sub", "img1.png", "img2.png", "img10.png"}));
    EXPECT_EQ(pane.cursor(), 0);
    EXPECT_FALSE(pane.has_selection());
    EXPECT_EQ(pane.unfiltered_count(), 5);
    EXPECT_EQ(pane.listing().file_count, 3);
    EXPECT_EQ(pane.listing().dir_count, 1);
    EXPECT_EQ(pane.history(), std::vector<std::string>{dir.path()});

    pane.reload(true);
    EXPECT_EQ(index_of(pane, ".hidden"), 2);

    pane.navigate_to("", false);
    EXPECT_EQ(pane.path(), dir.path()) << "an empty path is ignored";
}

TEST(PaneNavigate, UnreadableFolderShowsItsErrorWithNoRows) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("a"), "1");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    pane.set_cursor(1, true);
    pane.navigate_to(dir.sub("missing"), false);
    EXPECT_EQ(pane.path(), dir.sub("missing"));
    EXPECT_FALSE(pane.error().empty());
    EXPECT_TRUE(pane.entries().empty());
    EXPECT_EQ(pane.cursor(), 0);
    EXPECT_FALSE(pane.has_selection());
    EXPECT_TRUE(pane.action_entries().empty());
    EXPECT_EQ(pane.selected_count(), 0);
    // Cursor operations on an empty list are no-ops rather than errors.
    pane.move_cursor(Pane::Move::Down, false, 1);
    pane.set_cursor(3, true);
    pane.extend_selection_to(4);
    pane.select_all();
    EXPECT_EQ(pane.cursor(), 0);
    EXPECT_FALSE(pane.has_selection());
    EXPECT_EQ(pane.select_pattern("*", false), 0);

    // The folder vanishing under a loaded pane: the reload shows the error and drops the selection.
    pane.navigate_to(dir.path(), false);
    pane.select_all();
    testsupport::remove_tree(dir.path());
    pane.reload(false);
    EXPECT_FALSE(pane.error().empty());
    EXPECT_FALSE(pane.has_selection());
    EXPECT_EQ(pane.cursor(), 0);
}

// Tests run as root; the check runs in a child that gives up root, so that a 0700 folder is unreadable.
TEST(PaneNavigate, FolderWithoutRightsShowsPermissionDenied) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    TempDir dir("pane");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    testsupport::make_dir(dir.sub("closed"), 0700);
    testsupport::write_file(dir.sub("closed/secret"), "x");
    testsupport::write_file(dir.sub("open"), "x");
    const int code = testsupport::run_in_child([&] {
        if (!testsupport::drop_to_nobody()) return 10;
        Pane pane;
        pane.navigate_to(dir.path(), false);
        if (pane.entries().size() != 3) return 11;
        pane.set_cursor(1, true);
        pane.navigate_to(dir.sub("closed"), false);
        if (pane.path() != dir.sub("closed")) return 12;
        if (pane.listing().error_code != EACCES || pane.error().empty()) return 13;
        if (!pane.entries().empty() || pane.cursor() != 0 || pane.has_selection()) return 14;
        pane.go_back(false);
        if (pane.path() != dir.path() || pane.entries().size() != 3) return 15;
        return 0;
    });
    EXPECT_EQ(code, 0) << "-1 no clean exit, 10 setuid, 11 first read, 12 path, 13 error, 14 rows, 15 back";
}

TEST(PaneNavigate, LeavingTheRootDoesNotCarryItsFirstRowIntoTheNextFolder) {
    Pane pane;
    pane.navigate_to("/", false);
    ASSERT_FALSE(pane.entries().empty());
    const std::string first = pane.entries()[0].name;
    ASSERT_NE(first, "..");
    TempDir dir("pane");
    testsupport::make_dir(dir.sub("0"));
    testsupport::make_dir(dir.sub(first));
    pane.navigate_to(dir.path(), false);
    EXPECT_EQ(pane.cursor(), 0);
    EXPECT_EQ(pane.entries()[0].name, "..");
}

TEST(PaneHistory, TruncationDuplicatesBackAndForward) {
    TempDir dir("pane");
    for (const char* d : {"p", "q", "r", "s"})
        testsupport::make_dir(dir.sub(d));
    const std::string p = dir.sub("p"), q = dir.sub("q"), r = dir.sub("r"), s = dir.sub("s");
    Pane pane;
    EXPECT_FALSE(pane.can_go_back());
    EXPECT_FALSE(pane.can_go_forward());
    pane.go_back(false);
    pane.go_forward(false);
    EXPECT_TRUE(pane.path().empty());

    pane.navigate_to(p, false);
    pane.navigate_to(q, false);
    pane.navigate_to(r, false);
    pane.navigate_to(r, false);
    EXPECT_EQ(pane.history(), (std::vector<std::string>{p, q, r})) << "no second entry for the same folder";
    EXPECT_TRUE(pane.can_go_back());
    EXPECT_FALSE(pane.can_go_forward());

    pane.go_back(false);
    EXPECT_EQ(pane.path(), q);
    pane.go_back(false);
    EXPECT_EQ(pane.path(), p);
    EXPECT_FALSE(pane.can_go_back());
    pane.go_back(false);
    EXPECT_EQ(pane.path(), p);
    EXPECT_EQ(pane.history(), (std::vector<std::string>{p, q, r})) << "going back keeps the history";

    pane.go_forward(false);
    EXPECT_EQ(pane.path(), q);
    EXPECT_EQ(pane.history_pos(), 1);
    pane.go_back(false);

    pane.navigate_to(s, false);
    EXPECT_EQ(pane.history(), (std::vector<std::string>{p, s}));
    EXPECT_EQ(pane.history_pos(), 1);
    EXPECT_FALSE(pane.can_go_forward());

    // Back to p, then navigating to p itself: the forward part is dropped and p is not repeated.
    pane.go_back(false);
    pane.navigate_to(p, false);
    EXPECT_EQ(pane.history(), (std::vector<std::string>{p}));
    EXPECT_EQ(pane.history_pos(), 0);
}

TEST(PaneHistory, BackAndForwardClearSelectionAndCursor) {
    TempDir dir("pane");
    testsupport::make_dir(dir.sub("p"));
    testsupport::write_file(dir.sub("p/a"), "1");
    testsupport::write_file(dir.sub("p/b"), "1");
    testsupport::make_dir(dir.sub("q"));
    Pane pane;
    pane.navigate_to(dir.sub("p"), false);
    pane.navigate_to(dir.sub("q"), false);
    pane.go_back(false);
    pane.set_cursor(2, true);
    pane.set_scroll(1, 1);
    pane.go_forward(false);
    pane.go_back(false);
    EXPECT_EQ(pane.cursor(), 0);
    EXPECT_EQ(pane.scroll(), 0);
    EXPECT_FALSE(pane.has_selection());
}

TEST(PaneGoUp, LandsOnTheFolderJustLeft) {
    TempDir dir("pane");
    testsupport::make_dir(dir.sub("home"));
    testsupport::make_dir(dir.sub("home/user"));
    for (const char* d : {"aaa", "bbb", "docs", "zzz"})
        testsupport::make_dir(dir.sub(std::string("home/user/") + d));
    Pane pane;
    pane.navigate_to(dir.sub("home/user/docs"), false);
    pane.go_up(false);
    EXPECT_EQ(pane.path(), dir.sub("home/user"));
    ASSERT_TRUE(pane.cursor() >= 0 && pane.cursor() < static_cast<int>(pane.entries().size()));
    EXPECT_EQ(pane.entries()[pane.cursor()].name, "docs");
    EXPECT_EQ(pane.history().back(), dir.sub("home/user"));

    pane.navigate_to(dir.sub("home/user/zzz/"), false);
    pane.go_up(false);
    EXPECT_EQ(pane.path(), dir.sub("home/user"));
    EXPECT_EQ(pane.entries()[pane.cursor()].name, "zzz");

    pane.navigate_to("/", false);
    pane.go_up(false);
    EXPECT_EQ(pane.path(), "/");

    Pane top;
    top.navigate_to(dir.path(), false);
    while (top.path() != "/")
        top.go_up(false);
    EXPECT_EQ(top.path(), "/");
    ASSERT_GE(top.cursor(), 0);
    EXPECT_EQ(top.entries()[top.cursor()].name, first_component(dir.path()));
}

TEST_F(TenFiles, MovingTheCursorMovesAOneRowSelection) {
    struct Case {
        const char* name;
        int start;
        Pane::Move move;
        int page;
        int cursor;
        std::set<int> selected;
    };
    const std::vector<Case> cases = {
        {"down", 0, Pane::Move::Down, 1, 1, {1}},
        {"down at the end", 10, Pane::Move::Down, 1, 10, {10}},
        {"up onto the parent row", 1, Pane::Move::Up, 1, 0, {}},
        {"up at the top", 0, Pane::Move::Up, 1, 0, {}},
        {"page down", 1, Pane::Move::PageDown, 4, 5, {5}},
        {"page down past the end", 8, Pane::Move::PageDown, 4, 10, {10}},
        {"huge page", 3, Pane::Move::PageDown, 2147483647, 10, {10}},
        {"page up", 9, Pane::Move::PageUp, 4, 5, {5}},
        {"page up past the top", 2, Pane::Move::PageUp, 4, 0, {}},
        {"zero page rows count as one", 5, Pane::Move::PageDown, 0, 6, {6}},
        {"negative page rows count as one", 5, Pane::Move::PageUp, -3, 4, {4}},
        {"first", 7, Pane::Move::First, 1, 0, {}},
        {"last", 2, Pane::Move::Last, 1, 10, {10}},
    };
    for (const Case& c : cases) {
        pane.set_cursor(c.start, false);
        pane.select_all();
        pane.move_cursor(c.move, false, c.page);
        EXPECT_EQ(pane.cursor(), c.cursor) << c.name;
        EXPECT_EQ(pane.anchor(), c.cursor) << c.name;
        EXPECT_EQ(selection(pane), c.selected) << c.name;
    }
}

TEST_F(TenFiles, RangeSelectionFromTheAnchor) {
    pane.set_cursor(5, false);
    pane.extend_selection_to(2);
    EXPECT_EQ(selection(pane), (std::set<int>{2, 3, 4, 5}));
    EXPECT_EQ(pane.cursor(), 2);
    EXPECT_EQ(pane.anchor(), 5);
    pane.extend_selection_to(7);
    EXPECT_EQ(selection(pane), (std::set<int>{5, 6, 7}));
    pane.extend_selection_to(-4);
    EXPECT_EQ(selection(pane), (std::set<int>{1, 2, 3, 4, 5})) << "clamped, parent row never selected";
    EXPECT_EQ(pane.cursor(), 0);
    pane.extend_selection_to(99);
    EXPECT_EQ(selection(pane), (std::set<int>{5, 6, 7, 8, 9, 10}));

    // Shift+Down and Shift+PageUp extend from the same anchor.
    pane.set_cursor(5, true);
    pane.move_cursor(Pane::Move::Down, true, 1);
    pane.move_cursor(Pane::Move::Down, true, 1);
    EXPECT_EQ(selection(pane), (std::set<int>{5, 6, 7}));
    pane.move_cursor(Pane::Move::PageUp, true, 3);
    EXPECT_EQ(selection(pane), (std::set<int>{4, 5}));
    EXPECT_EQ(pane.cursor(), 4);
    EXPECT_EQ(pane.anchor(), 5);
}

TEST_F(TenFiles, SetCursorAndToggle) {
    pane.set_cursor(3, true);
    EXPECT_EQ(selection(pane), (std::set<int>{3}));
    pane.set_cursor(0, true);
    EXPECT_EQ(selection(pane), (std::set<int>{})) << "the parent row alone is no selection";
    pane.set_cursor(42, false);
    EXPECT_EQ(pane.cursor(), 10);
    pane.set_cursor(-1, false);
    EXPECT_EQ(pane.cursor(), 0);

    pane.toggle_selection(4);
    pane.toggle_selection(6);
    EXPECT_EQ(selection(pane), (std::set<int>{4, 6}));
    EXPECT_EQ(pane.cursor(), 6);
    EXPECT_EQ(pane.anchor(), 6);
    pane.toggle_selection(4);
    EXPECT_EQ(selection(pane), (std::set<int>{6}));
    EXPECT_EQ(pane.cursor(), 4);
    for (int ignored : {0, -1, 11, 1000}) {
        pane.toggle_selection(ignored);
        EXPECT_EQ(selection(pane), (std::set<int>{6})) << ignored;
        EXPECT_EQ(pane.cursor(), 4) << ignored;
    }
}

TEST_F(TenFiles, WholeSelectionOperations) {
    pane.select_all();
    EXPECT_EQ(selection(pane).size(), 10u);
    EXPECT_FALSE(pane.is_selected(0));
    pane.clear_selection();
    EXPECT_FALSE(pane.has_selection());
    pane.toggle_selection(2);
    pane.toggle_selection(3);
    pane.invert_selection();
    EXPECT_EQ(selection(pane), (std::set<int>{1, 4, 5, 6, 7, 8, 9, 10}));
    pane.invert_selection();
    EXPECT_EQ(selection(pane), (std::set<int>{2, 3}));
}

TEST(PaneSelectPattern, CaseSensitiveShellPatterns) {
    TempDir dir("pane");
    for (const char* f : {"notes.txt", "README.TXT", "a.c", "b.c", "c.h"})
        testsupport::write_file(dir.sub(f), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    struct Case {
        const char* pattern;
        bool deselect;
        int matched;
        std::vector<std::string> selected_after;
    };
    // Cases run in sequence on one pane.
    const std::vector<Case> cases = {
        {"*.TXT", false, 1, {"README.TXT"}},
        {"*.c", false, 2, {"a.c", "b.c", "README.TXT"}},
        {"*.txt", false, 1, {"a.c", "b.c", "notes.txt", "README.TXT"}},
        {"[ab].c", true, 2, {"notes.txt", "README.TXT"}},
        {"*.none", false, 0, {"notes.txt", "README.TXT"}},
        {"..", false, 0, {"notes.txt", "README.TXT"}},
        {"*", true, 5, {}},
        {"", false, 0, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pane.select_pattern(c.pattern, c.deselect), c.matched) << c.pattern;
        std::vector<std::string> got;
        for (int i : selection(pane))
            got.push_back(pane.entries()[i].name);
        EXPECT_EQ(got, c.selected_after) << c.pattern;
    }
}

TEST(PaneReload, SelectionAndCursorFollowNames) {
    TempDir dir("pane");
    for (const char* f : {"b", "c", "d", "e"})
        testsupport::write_file(dir.sub(f), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    pane.toggle_selection(index_of(pane, "b"));
    pane.toggle_selection(index_of(pane, "c"));
    pane.toggle_selection(index_of(pane, "e"));
    pane.set_cursor(index_of(pane, "d"), false);

    // Deleting a selected row and adding one above the others shifts every index.
    ::unlink(dir.sub("c").c_str());
    testsupport::write_file(dir.sub("a"), "x");
    pane.reload(false);
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "a", "b", "d", "e"}));
    EXPECT_EQ(selection(pane), (std::set<int>{2, 4}));
    EXPECT_EQ(pane.entries()[pane.cursor()].name, "d");
    EXPECT_EQ(pane.anchor(), pane.cursor());

    // The cursor row vanishing keeps the index, clamped to the shorter list.
    pane.set_cursor(4, false);
    ::unlink(dir.sub("e").c_str());
    pane.reload(false);
    EXPECT_EQ(pane.cursor(), 3);

    // A wanted name wins over the cursor row and is used once.
    pane.remember_cursor_name("a");
    pane.reload(false);
    EXPECT_EQ(pane.entries()[pane.cursor()].name, "a");
    pane.remember_cursor_name("no such file");
    pane.set_cursor(2, false);
    pane.reload(false);
    EXPECT_EQ(pane.cursor(), 2);

    // The scroll position is the view's business; a reload leaves it alone.
    pane.set_scroll(2, 1);
    pane.reload(false);
    EXPECT_EQ(pane.scroll(), 2);
}

TEST(PaneFilter, CaseInsensitiveSubstringOrPatternWithRecount) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("notes.txt"), "12345");
    testsupport::write_file(dir.sub("README.TXT"), "123");
    testsupport::write_file(dir.sub("photo.jpg"), "1234567");
    testsupport::write_file(dir.sub("text"), "");
    testsupport::make_dir(dir.sub("Texts"));
    ASSERT_EQ(::symlink("notes.txt", dir.sub("link.txt").c_str()), 0);
    Pane pane;
    pane.navigate_to(dir.path(), false);
    const int all_rows = static_cast<int>(pane.entries().size());
    struct Case {
        const char* filter;
        std::vector<std::string> rows;
        int files, dirs;
        int64_t bytes;
    };
    const std::vector<Case> cases = {
        {"TXT", {"..", "link.txt", "notes.txt", "README.TXT"}, 2, 0, 8},
        {"*.TXT", {"..", "link.txt", "notes.txt", "README.TXT"}, 2, 0, 8},
        {"tex", {"..", "Texts", "text"}, 1, 1, 0},
        {"?otes*", {"..", "notes.txt"}, 1, 0, 5},
        {"*o*", {"..", "notes.txt", "photo.jpg"}, 2, 0, 12},
        {"T?XT*", {"..", "Texts", "text"}, 1, 1, 0},
        {"*.TXT*x", {".."}, 0, 0, 0},
        {"[np]", {".."}, 0, 0, 0},
        {"zzz", {".."}, 0, 0, 0},
        {"", {"..", "Texts", "link.txt", "notes.txt", "photo.jpg", "README.TXT", "text"}, 4, 1, 15},
    };
    for (const Case& c : cases) {
        pane.set_filter(c.filter, false);
        EXPECT_EQ(pane.filter(), c.filter);
        EXPECT_EQ(names(pane), c.rows) << c.filter;
        EXPECT_EQ(pane.listing().file_count, c.files) << c.filter;
        EXPECT_EQ(pane.listing().dir_count, c.dirs) << c.filter;
        EXPECT_EQ(pane.listing().total_bytes, c.bytes) << c.filter;
        EXPECT_EQ(pane.unfiltered_count(), all_rows) << c.filter;
    }
}

TEST(PaneFilter, ResetsScrollClampsCursorAndIgnoresTheSameText) {
    TempDir dir("pane");
    for (int i = 0; i < 20; ++i)
        testsupport::write_file(dir.sub("file" + std::to_string(i)), "x");
    testsupport::write_file(dir.sub("other"), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    pane.set_cursor(20, true);
    pane.set_scroll(10, 5);
    ASSERT_EQ(pane.scroll(), 10);
    pane.set_filter("oth", false);
    EXPECT_EQ(pane.scroll(), 0);
    EXPECT_EQ(pane.cursor(), 1);
    EXPECT_FALSE(pane.has_selection()) << "file19 is filtered out";

    // The same text again does not read the folder.
    testsupport::write_file(dir.sub("other2"), "x");
    pane.set_filter("oth", false);
    EXPECT_EQ(pane.entries().size(), 2u);
    // Any reload keeps filtering.
    pane.reload(false);
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "other", "other2"}));
}

TEST(PaneSort, OrderChangesKeepSelectionAndCursorByName) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("small"), "1");
    testsupport::write_file(dir.sub("big"), std::string(100, 'x'));
    testsupport::write_file(dir.sub("mid"), std::string(10, 'x'));
    testsupport::make_dir(dir.sub("zdir"));
    Pane pane;
    pane.navigate_to(dir.path(), false);
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "zdir", "big", "mid", "small"}));
    pane.toggle_selection(index_of(pane, "small"));
    pane.set_cursor(index_of(pane, "big"), false);

    pane.toggle_sort_column(SortKey::Size);
    EXPECT_EQ(pane.sort_order(), (SortOrder{SortKey::Size, false, true}));
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "zdir", "big", "mid", "small"}));
    pane.toggle_sort_column(SortKey::Size);
    EXPECT_EQ(pane.sort_order(), (SortOrder{SortKey::Size, true, true}));
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "zdir", "small", "mid", "big"}));
    EXPECT_EQ(pane.entries()[pane.cursor()].name, "big");
    EXPECT_EQ(pane.anchor(), pane.cursor());
    EXPECT_EQ(selection(pane), (std::set<int>{2}));

    struct Case {
        SortOrder before;
        SortKey clicked;
        SortOrder after;
    };
    const std::vector<Case> cases = {
        {{SortKey::Name, true, true}, SortKey::Size, {SortKey::Size, false, true}},
        {{SortKey::Name, true, false}, SortKey::Modified, {SortKey::Modified, false, false}},
        {{SortKey::Size, false, true}, SortKey::Kind, {SortKey::Kind, true, true}},
        {{SortKey::Name, false, true}, SortKey::Created, {SortKey::Created, true, true}},
        {{SortKey::Name, true, true}, SortKey::Name, {SortKey::Name, false, true}},
        {{SortKey::Owner, false, false}, SortKey::Owner, {SortKey::Owner, true, false}},
    };
    for (const Case& c : cases) {
        pane.set_sort_order(c.before);
        pane.toggle_sort_column(c.clicked);
        EXPECT_EQ(pane.sort_order(), c.after) << static_cast<int>(c.clicked);
    }

    // The order survives reloads and navigation.
    pane.set_sort_order({SortKey::Name, false, true});
    pane.navigate_to(dir.path(), false);
    EXPECT_EQ(names(pane), (std::vector<std::string>{"..", "zdir", "small", "mid", "big"}));
}

TEST(PaneScroll, ClampingAndKeepingTheCursorVisible) {
    TempDir dir("pane");
    for (int i = 0; i < 29; ++i)
        testsupport::write_file(dir.sub("f" + std::to_string(i)), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    ASSERT_EQ(pane.entries().size(), 30u);
    struct Case {
        const char* name;
        int scroll, cursor, visible;
        int ensure_gives;
    };
    const std::vector<Case> cases = {
        {"visible already", 0, 5, 10, 0},
        {"above the view", 12, 5, 10, 5},
        {"just below", 0, 10, 10, 1},
        {"far below", 0, 29, 10, 20},
        {"last row exactly visible", 20, 29, 10, 20},
        {"no rows fit", 7, 29, 0, 7},
        {"one row fits", 0, 17, 1, 17},
        {"every row fits, cursor below", 5, 29, 2147483647, 5},
    };
    for (const Case& c : cases) {
        pane.set_scroll(c.scroll, 10);
        pane.set_cursor(c.cursor, false);
        pane.ensure_cursor_visible(c.visible);
        EXPECT_EQ(pane.scroll(), c.ensure_gives) << c.name;
    }
    pane.set_scroll(100, 10);
    EXPECT_EQ(pane.scroll(), 20);
    pane.set_scroll(-5, 10);
    EXPECT_EQ(pane.scroll(), 0);
    pane.set_scroll(100, 0);
    EXPECT_EQ(pane.scroll(), 29);
    pane.set_scroll(5, 40);
    EXPECT_EQ(pane.scroll(), 0) << "all rows fit";
    pane.set_scroll(3, 10);
    pane.scroll_by(4, 10);
    EXPECT_EQ(pane.scroll(), 7);
    pane.scroll_by(-100, 10);
    EXPECT_EQ(pane.scroll(), 0);
    pane.scroll_by(2147483647, 10);
    EXPECT_EQ(pane.scroll(), 20);
    pane.scroll_by(-2147483647, 10);
    EXPECT_EQ(pane.scroll(), 0);
}

TEST(PaneActions, SelectionOrElseTheCursorRow) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("a"), "12");
    testsupport::write_file(dir.sub("b"), "12345");
    testsupport::write_file(dir.sub("empty"), "");
    testsupport::make_dir(dir.sub("d"));
    Pane pane;
    pane.navigate_to(dir.path(), false);
    ASSERT_EQ(names(pane), (std::vector<std::string>{"..", "d", "a", "b", "empty"}));

    EXPECT_TRUE(pane.action_entries().empty()) << "cursor on the parent row";
    EXPECT_EQ(pane.selected_count(), 0);
    EXPECT_EQ(pane.selected_bytes(), 0);

    pane.set_cursor(3, false);
    EXPECT_EQ(action_names(pane), std::vector<std::string>{"b"});
    EXPECT_EQ(pane.action_paths(), std::vector<std::string>{dir.sub("b")});
    EXPECT_TRUE(pane.selected_paths().empty());
    EXPECT_EQ(pane.selected_count(), 1);
    EXPECT_EQ(pane.selected_bytes(), 5);

    pane.toggle_selection(4);
    pane.toggle_selection(1);
    pane.toggle_selection(2);
    pane.set_cursor(3, false);
    EXPECT_EQ(action_names(pane), (std::vector<std::string>{"d", "a", "empty"}))
        << "row order, cursor ignored";
    EXPECT_EQ(pane.selected_paths(),
              (std::vector<std::string>{dir.sub("d"), dir.sub("a"), dir.sub("empty")}));
    EXPECT_EQ(pane.action_paths(), pane.selected_paths());
    EXPECT_EQ(pane.selected_count(), 3);
    EXPECT_EQ(pane.selected_bytes(), 2) << "folders add nothing";

    Pane root;
    root.navigate_to("/", false);
    root.set_cursor(0, false);
    ASSERT_EQ(root.action_paths().size(), 1u);
    EXPECT_EQ(root.action_paths()[0], "/" + root.entries()[0].name);
}

TEST(PaneActions, PathsUseTheStoredNameOfAFileWhoseNameIsNotUtf8) {
    TempDir dir("pane");
    const std::string stored = "caf\xe9.txt"; // Latin-1 byte, not valid UTF-8
    testsupport::write_file(dir.sub(stored), "x");
    testsupport::write_file(dir.sub("plain"), "y");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    ASSERT_EQ(names(pane), (std::vector<std::string>{"..", "caf\xef\xbf\xbd.txt", "plain"}));
    pane.set_cursor(1, false);
    ASSERT_EQ(pane.action_paths().size(), 1u);
    EXPECT_EQ(pane.action_paths()[0], dir.sub(stored));
    EXPECT_TRUE(testsupport::exists(pane.action_paths()[0]));
    pane.toggle_selection(1);
    pane.toggle_selection(2);
    EXPECT_EQ(pane.selected_paths(), (std::vector<std::string>{dir.sub(stored), dir.sub("plain")}));
}

// Two stored names that are not UTF-8 repair to the same shown name; a selection, the cursor or go_up
// that looked rows up by the shown name would pick the wrong file, or both.
TEST(PaneReload, RowsWhoseNamesAreNotUtf8AreToldApartByTheirStoredNames) {
    TempDir dir("pane");
    const std::string e_latin1 = "caf\xe9.txt", e_grave = "caf\xe8.txt", folder = "d\xff";
    testsupport::write_file(dir.sub(e_latin1), "x");
    testsupport::write_file(dir.sub(e_grave), "y");
    testsupport::make_dir(dir.sub(folder));
    auto row_of = [](const Pane& pane, const std::string& stored) {
        for (int i = 0; i < static_cast<int>(pane.entries().size()); ++i)
            if (pane.entries()[i].disk_name() == stored) return i;
        return -1;
    };
    struct Case {
        std::string selected, cursor;
    };
    const std::vector<Case> cases = {{e_latin1, e_grave}, {e_grave, e_latin1}};
    for (const Case& c : cases) {
        Pane pane;
        pane.navigate_to(dir.path(), false);
        ASSERT_EQ(pane.entries().size(), 4u);
        pane.toggle_selection(row_of(pane, c.selected));
        pane.set_cursor(row_of(pane, c.cursor), false);
        pane.reload(false);
        EXPECT_EQ(pane.selected_paths(), std::vector<std::string>{dir.sub(c.selected)}) << "reload";
        EXPECT_EQ(pane.entries()[pane.cursor()].disk_name(), c.cursor) << "reload";
        pane.set_sort_order({SortKey::Name, false, false});
        EXPECT_EQ(pane.selected_paths(), std::vector<std::string>{dir.sub(c.selected)}) << "sort";
        EXPECT_EQ(pane.entries()[pane.cursor()].disk_name(), c.cursor) << "sort";
    }
    Pane pane;
    pane.navigate_to(dir.sub(folder), false);
    pane.go_up(false);
    EXPECT_EQ(pane.entries()[pane.cursor()].disk_name(), folder) << "go_up lands on the folder just left";
}

struct RenameStart {
    const char* name;
    size_t caret;
};

TEST(PaneRename, BeginPutsTheCaretBeforeTheExtension) {
    const std::vector<RenameStart> cases = {
        {"report.txt", 6}, {"archive.tar.gz", 11},      {".bashrc", 7}, {"noext", 5}, {"trailing.", 8},
        {".dot.conf", 4},  {"\xc3\xa9t\xc3\xa9.md", 5},
    };
    TempDir dir("pane");
    for (const RenameStart& c : cases)
        testsupport::write_file(dir.sub(c.name), "x");
    Pane pane;
    pane.navigate_to(dir.path(), true);
    for (const RenameStart& c : cases) {
        pane.set_cursor(index_of(pane, c.name), false);
        pane.begin_rename();
        ASSERT_TRUE(pane.renaming()) << c.name;
        EXPECT_EQ(pane.rename_index(), pane.cursor()) << c.name;
        EXPECT_EQ(pane.rename_buffer(), c.name);
        EXPECT_EQ(pane.rename_caret(), c.caret) << c.name;
        pane.rename_set_caret(0);
        EXPECT_TRUE(pane.rename_select_stem());
        EXPECT_EQ(pane.rename_caret(), c.caret) << c.name;
        pane.cancel_rename();
        EXPECT_FALSE(pane.renaming());
        EXPECT_EQ(pane.rename_index(), -1);
        EXPECT_TRUE(pane.rename_buffer().empty());
        EXPECT_EQ(pane.rename_caret(), 0u);
    }
    pane.set_cursor(0, false);
    pane.begin_rename();
    EXPECT_FALSE(pane.renaming()) << "the parent row cannot be renamed";
}

TEST(PaneRename, EditingIsCharacterWise) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("ab"), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    EXPECT_FALSE(pane.rename_insert("x"));
    EXPECT_FALSE(pane.rename_backspace());
    EXPECT_FALSE(pane.rename_delete());
    EXPECT_FALSE(pane.rename_move_caret(1));
    EXPECT_FALSE(pane.rename_set_caret(0));
    EXPECT_FALSE(pane.rename_select_stem());

    pane.set_cursor(1, false);
    pane.begin_rename();
    ASSERT_EQ(pane.rename_caret(), 2u);
    EXPECT_FALSE(pane.rename_insert(""));
    EXPECT_TRUE(pane.rename_insert("/"));
    EXPECT_TRUE(pane.rename_insert("x/y"));
    EXPECT_TRUE(pane.rename_insert(std::string("x\0y", 3)));
    EXPECT_TRUE(pane.rename_insert("\x80"));
    EXPECT_EQ(pane.rename_buffer(), "ab") << "slashes, NULs and broken UTF-8 are refused";

    const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
    EXPECT_TRUE(pane.rename_insert(e_acute));
    EXPECT_TRUE(pane.rename_insert(euro));
    EXPECT_EQ(pane.rename_buffer(), "ab" + e_acute + euro);
    EXPECT_EQ(pane.rename_caret(), 7u);
    EXPECT_TRUE(pane.rename_backspace());
    EXPECT_EQ(pane.rename_buffer(), "ab" + e_acute);
    EXPECT_EQ(pane.rename_caret(), 4u);
    EXPECT_TRUE(pane.rename_backspace());
    EXPECT_EQ(pane.rename_buffer(), "ab") << "both bytes of the two-byte character go";
    EXPECT_EQ(pane.rename_caret(), 2u);

    pane.rename_set_caret(1);
    EXPECT_TRUE(pane.rename_insert(smile));
    EXPECT_EQ(pane.rename_buffer(), "a" + smile + "b");
    EXPECT_EQ(pane.rename_caret(), 5u);
    pane.rename_move_caret(-1);
    EXPECT_EQ(pane.rename_caret(), 1u);
    pane.rename_move_caret(-7);
    EXPECT_EQ(pane.rename_caret(), 0u);
    pane.rename_move_caret(-1);
    EXPECT_EQ(pane.rename_caret(), 0u);
    pane.rename_move_caret(99);
    EXPECT_EQ(pane.rename_caret(), 1u) << "one character whatever the size of delta";
    pane.rename_move_caret(1);
    EXPECT_EQ(pane.rename_caret(), 5u) << "over the whole four-byte character";
    pane.rename_move_caret(0);
    EXPECT_EQ(pane.rename_caret(), 5u);
    pane.rename_move_caret(1);
    pane.rename_move_caret(1);
    EXPECT_EQ(pane.rename_caret(), 6u);

    pane.rename_set_caret(1);
    EXPECT_TRUE(pane.rename_delete());
    EXPECT_EQ(pane.rename_buffer(), "ab") << "all four bytes go";
    pane.rename_set_caret(2);
    EXPECT_TRUE(pane.rename_delete());
    EXPECT_EQ(pane.rename_buffer(), "ab");

    // A caret position inside a character is moved to its start.
    pane.rename_insert(euro);
    pane.rename_set_caret(3);
    EXPECT_EQ(pane.rename_caret(), 2u);
    pane.rename_set_caret(4);
    EXPECT_EQ(pane.rename_caret(), 2u);
    pane.rename_set_caret(1000);
    EXPECT_EQ(pane.rename_caret(), 5u);
}

TEST(PaneRename, RandomEditsNeverSplitACharacter) {
    TempDir dir("pane");
    testsupport::write_file(dir.sub("\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt"), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    pane.set_cursor(1, false);
    pane.begin_rename();
    const std::vector<std::string> pieces = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "xy"};
    std::mt19937 rng(7);
    for (int step = 0; step < 3000; ++step) {
        switch (rng() % 6) {
        case 0:
            pane.rename_insert(pieces[rng() % pieces.size()]);
            break;
        case 1:
            pane.rename_backspace();
            break;
        case 2:
            pane.rename_delete();
            break;
        case 3:
            pane.rename_move_caret(static_cast<int>(rng() % 3) - 1);
            break;
        case 4:
            pane.rename_set_caret(rng() % (pane.rename_buffer().size() + 2));
            break;
        default:
            pane.rename_select_stem();
            break;
        }
        const std::string& buf = pane.rename_buffer();
        const size_t caret = pane.rename_caret();
        ASSERT_LE(caret, buf.size()) << "step " << step;
        ASSERT_TRUE(caret == buf.size() || (static_cast<unsigned char>(buf[caret]) & 0xC0) != 0x80)
            << "step " << step;
        ASSERT_TRUE(su::is_valid_utf8(buf)) << "step " << step;
    }
}

TEST(PaneRename, ARenameStaysWithItsFileOverReloadsAndEndsOnNavigation) {
    TempDir dir("pane");
    for (const char* f : {"m", "n"})
        testsupport::write_file(dir.sub(f), "x");
    testsupport::make_dir(dir.sub("sub"));
    testsupport::write_file(dir.sub("sub/n"), "x");
    Pane pane;
    pane.navigate_to(dir.path(), false);
    pane.set_cursor(index_of(pane, "n"), false);
    pane.begin_rename();
    pane.rename_insert("ew");
    testsupport::write_file(dir.sub("a"), "x");
    pane.reload(false);
    ASSERT_TRUE(pane.renaming());
    EXPECT_EQ(pane.entries()[pane.rename_index()].name, "n");
    EXPECT_EQ(pane.rename_buffer(), "new");

    pane.set_sort_order({SortKey::Name, false, true});
    ASSERT_TRUE(pane.renaming());
    EXPECT_EQ(pane.entries()[pane.rename_index()].name, "n");

    ::unlink(dir.sub("n").c_str());
    pane.reload(false);
    EXPECT_FALSE(pane.renaming()) << "the file is gone; the edit must not land on another row";

    pane.set_cursor(index_of(pane, "m"), false);
    pane.begin_rename();
    pane.navigate_to(dir.sub("sub"), false);
    EXPECT_FALSE(pane.renaming());
    pane.go_back(false);
    pane.set_cursor(index_of(pane, "m"), false);
    pane.begin_rename();
    pane.go_forward(false);
    EXPECT_FALSE(pane.renaming()) << "not carried over to sub/n either";
}

} // namespace
