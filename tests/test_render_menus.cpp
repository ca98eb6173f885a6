// Header, menus, bridge and status bar rendered off-screen: hit regions in paint order, placement of menus
// near the window's edges, and palette colours at positions the layout defines.
#include "ui/app.h"
#include "app_peer.h"
#include "config/bookmarks.h"
#include "base/i18n.h"
#include "ui/menu_model.h"
#include "base/paths.h"
#include "config/recent.h"
#include "config/settings.h"
#include "base/strutil.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using testsupport::Canvas;
using testsupport::colour_distance;
using testsupport::rgb_of;
using Hit = App::Hit;

namespace {

// A known system for every frame: a private configuration folder (recent folders, bookmarks, log), a
// terminal program, the real archivers, no snap.
class MenusSystem : public ::testing::Environment {
public:
    void SetUp() override {
        m_root = std::make_unique<testsupport::TempDir>("menus");
        testsupport::make_dir(m_root->sub("config"));
        testsupport::make_dir(m_root->sub("bin"));
        testsupport::write_file(m_root->sub("bin/konsole"), "#!/bin/sh\nexit 0\n", 0755);
        setenv("XDG_CONFIG_HOME", m_root->sub("config").c_str(), 1);
        setenv("PATH", (m_root->sub("bin") + ":/usr/bin:/bin").c_str(), 1);
        unsetenv("TERMINAL");
        unsetenv("SNAP");
        unsetenv("SNAP_NAME");
        I18n::instance().set_language("en");
    }
    void TearDown() override { m_root.reset(); }

private:
    std::unique_ptr<testsupport::TempDir> m_root;
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new MenusSystem);

std::string out_dir() {
    return TAVRIN_BUILD_DIR;
}

class RenderMenus : public ::testing::Test {
protected:
    void SetUp() override {
        saved = SettingsStore::instance().get();
        Settings& s = SettingsStore::instance().mutable_get();
        s = Settings{};
        s.font_scale = 100;
        s.show_hidden = true;

        left_dir = dir.sub("left");
        right_dir = dir.sub("right");
        testsupport::make_dir(left_dir);
        testsupport::make_dir(right_dir);
        testsupport::make_dir(left_dir + "/docs");
        testsupport::write_file(left_dir + "/a.txt", "hello");
        testsupport::write_file(left_dir + "/b.txt", "world!");
        testsupport::write_file(left_dir + "/pack.tar.gz", "x");
        for (int i = 0; i < 5; ++i)
            testsupport::write_file(right_dir + "/file" + std::to_string(i) + ".dat", "data");

        peer.pane(false).navigate_to(left_dir, true);
        peer.pane(true).navigate_to(right_dir, true);
        peer.active_right() = false;
    }
    void TearDown() override { SettingsStore::instance().mutable_get() = saved; }

    int row_of(const std::string& name, bool right = false) {
        const Pane& p = peer.pane(right);
        for (int i = 0; i < p.count(); ++i)
            if (p.entries()[i].name == name) return i;
        ADD_FAILURE() << name << " not listed";
        return 0;
    }
    std::vector<App::HitRect> hits_of(Hit what) {
        std::vector<App::HitRect> out;
        for (const auto& h : app.hits())
            if (h.what == what) out.push_back(h);
        return out;
    }
    int first_index(Hit what) {
        for (size_t i = 0; i < app.hits().size(); ++i)
            if (app.hits()[i].what == what) return int(i);
        return -1;
    }
    int last_index(Hit what) {
        int found = -1;
        for (size_t i = 0; i < app.hits().size(); ++i)
            if (app.hits()[i].what == what) found = int(i);
        return found;
    }
    // Paints again with the layout of the last frame and the snapshots as the test set them (draw_all of a
    // whole frame would take fresh snapshots from the idle engine).
    void repaint(Canvas& canvas) {
        peer.hits().clear();
        peer.cr() = canvas.cr();
        app.draw_all(canvas.cr());
        peer.cr() = nullptr;
    }
    static std::vector<int> actions_of(const std::vector<menu_model::Item>& items) {
        std::vector<int> out;
        for (const auto& item : items)
            if (!item.separator) out.push_back(item.action);
        return out;
    }

    testsupport::TempDir dir{"render-menus"};
    std::string left_dir, right_dir;
    App app;
    AppTestPeer peer{app};
    Settings saved;
};

TEST_F(RenderMenus, MenuBarTitlesSitSideBySideFromTheLeft) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const auto titles = hits_of(Hit::MenuTitle);
    const auto& bar = menu_model::bar();
    ASSERT_EQ(titles.size(), bar.size());
    double x = 10;
    for (size_t i = 0; i < titles.size(); ++i) {
        SCOPED_TRACE(bar[i].title_key);
        EXPECT_EQ(titles[i].param, int(i));
        EXPECT_DOUBLE_EQ(titles[i].x, x);
        EXPECT_DOUBLE_EQ(titles[i].y, 0);
        EXPECT_DOUBLE_EQ(titles[i].h, 30);
        EXPECT_GT(titles[i].w, 20);
        EXPECT_FALSE(titles[i].right);
        EXPECT_FALSE(titles[i].in_menu);
        EXPECT_EQ(titles[i].label, tr(bar[i].title_key));
        x += titles[i].w;
    }
    // The menu bar is painted over the panes and the bridge, so its regions come after theirs.
    EXPECT_LT(last_index(Hit::PaneRow), first_index(Hit::MenuTitle));
    EXPECT_LT(last_index(Hit::BridgeTrash), first_index(Hit::MenuTitle));
    EXPECT_EQ(hits_of(Hit::MenuItem).size(), 0u);
}

TEST_F(RenderMenus, HoveredTitleOfAClosedMenuIsHighlighted) {
    const Palette& pal = peer.palette();
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const auto titles = hits_of(Hit::MenuTitle);
    ASSERT_GE(titles.size(), 3u);
    peer.hover() = titles[2];
    canvas.draw(app);
    EXPECT_LE(colour_distance(canvas.rgb(int(titles[2].x + 2), 14), rgb_of(pal.control_hover)), 1);
    EXPECT_LE(colour_distance(canvas.rgb(int(titles[1].x + 2), 14), rgb_of(pal.bar)), 1);
    // The open menu's title is marked in the menu colour instead.
    peer.open_menu() = 2;
    canvas.draw(app);
    EXPECT_LE(colour_distance(canvas.rgb(int(titles[2].x + 2), 14), rgb_of(pal.menu_hover)), 1);
}

TEST_F(RenderMenus, OpenFileMenuRegistersItsRowsWithDisabledOnesAsZero) {
    // Cursor on a single file, nothing selected: Delete and the archive rows are off, Rename is on.
    peer.pane(false).set_cursor(row_of("a.txt"), false);
    peer.open_menu() = 0;
    Canvas canvas(1200, 800);
    canvas.draw(app);

    const auto& items = menu_model::bar()[0].items;
    const auto rows = hits_of(Hit::MenuItem);
    std::vector<const menu_model::Item*> real;
    for (const auto& item : items)
        if (!item.separator) real.push_back(&item);
    ASSERT_EQ(rows.size(), real.size());
    double y = 36;
    size_t r = 0;
    for (const auto& item : items) {
        if (item.separator) {
            y += 7;
            continue;
        }
        const auto action = static_cast<Action>(item.action);
        SCOPED_TRACE(action_name(action));
        const App::HitRect& hit = rows[r++];
        EXPECT_EQ(hit.param, app.action_enabled(action) ? item.action : 0);
        EXPECT_DOUBLE_EQ(hit.x, 10);
        EXPECT_DOUBLE_EQ(hit.y, y);
        EXPECT_DOUBLE_EQ(hit.h, 26);
        EXPECT_GE(hit.w, 160);
        EXPECT_TRUE(hit.in_menu);
        EXPECT_FALSE(hit.in_overlay);
        EXPECT_EQ(hit.label, tr(item.label_key));
        y += 26;
    }
    auto param_of = [&](Action a) {
        for (size_t i = 0; i < real.size(); ++i)
            if (real[i]->action == int(a)) return rows[i].param;
        return -1;
    };
    EXPECT_EQ(param_of(Action::Rename), int(Action::Rename));
    EXPECT_EQ(param_of(Action::Delete), 0);
    EXPECT_EQ(param_of(Action::ViewArchive), 0);
    EXPECT_EQ(param_of(Action::NewFolder), int(Action::NewFolder));
    // The drop-down lies over everything drawn before it.
    EXPECT_GT(first_index(Hit::MenuItem), last_index(Hit::MenuTitle));
    // Even where it covers the left pane's rows.
    ASSERT_GT(rows.back().y, app.layout().pane_y + 60);
    const App::HitRect* top = app.hit_test(20, rows.back().y + 5);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->what, Hit::MenuItem);
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_open_file_menu.png"));
}

TEST_F(RenderMenus, HoverStripOnlyOnEnabledRows) {
    peer.pane(false).set_cursor(row_of("a.txt"), false);
    peer.open_menu() = 0;
    Canvas canvas(1200, 800);
    const Palette& pal = peer.palette();
    struct Case {
        Action hovered;
        bool strip;
    };
    for (const Case& c : std::vector<Case>{{Action::NewFolder, true}, {Action::Delete, false}}) {
        SCOPED_TRACE(action_name(c.hovered));
        peer.menu_hover_item() = int(c.hovered);
        canvas.draw(app);
        const auto rows = hits_of(Hit::MenuItem);
        const auto& items = menu_model::bar()[0].items;
        size_t r = 0;
        for (const auto& item : items) {
            if (item.separator) continue;
            if (item.action == int(c.hovered)) break;
            ++r;
        }
        ASSERT_LT(r, rows.size());
        const int px = int(rows[r].x + 5), py = int(rows[r].y + 13);
        EXPECT_LE(colour_distance(canvas.rgb(px, py), rgb_of(c.strip ? pal.menu_hover : pal.menu_bg)), 2);
    }
}

TEST_F(RenderMenus, GoMenuListsRecentFoldersAndBookmarksMenuItsBookmarks) {
    Canvas canvas(1200, 800);
    peer.open_menu() = 3; // Go
    canvas.draw(app);
    EXPECT_EQ(hits_of(Hit::RecentItem).size(), recent::all().size());

    const std::string visited_a = dir.sub("visited-a"), visited_b = dir.sub("visited-b");
    testsupport::make_dir(visited_a);
    testsupport::make_dir(visited_b);
    recent::add(visited_a);
    recent::add(visited_b);
    canvas.draw(app);
    const auto recent_rows = hits_of(Hit::RecentItem);
    const auto listed = recent::all();
    ASSERT_EQ(recent_rows.size(), listed.size());
    ASSERT_GE(listed.size(), 2u);
    for (size_t i = 0; i < recent_rows.size(); ++i) {
        EXPECT_EQ(recent_rows[i].param, int(i));
        EXPECT_EQ(recent_rows[i].label, su::basename_of(listed[i]));
        EXPECT_TRUE(recent_rows[i].in_menu);
        if (i > 0) {
            EXPECT_DOUBLE_EQ(recent_rows[i].y, recent_rows[i - 1].y + 26);
        }
    }
    EXPECT_EQ(recent_rows[0].label, "visited-b"); // most recent first
    // The section follows the Go rows: a divider (7) and the caption row (26) after the last item.
    const auto items = hits_of(Hit::MenuItem);
    ASSERT_FALSE(items.empty());
    EXPECT_DOUBLE_EQ(recent_rows[0].y, items.back().y + 26 + 7 + 26);
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_go_recent.png"));

    // A folder that is gone drops out of the list.
    testsupport::remove_tree(visited_b);
    canvas.draw(app);
    EXPECT_EQ(hits_of(Hit::RecentItem).size(), listed.size() - 1);

    peer.open_menu() = 4; // Bookmarks
    for (const auto& b : std::vector<bookmarks::Bookmark>(bookmarks::all()))
        bookmarks::remove(b.path);
    canvas.draw(app);
    EXPECT_TRUE(hits_of(Hit::BookmarkItem).empty());
    // "no bookmarks yet" fills the row under the divider.
    const auto bm_items = hits_of(Hit::MenuItem);
    ASSERT_EQ(bm_items.size(), 2u);
    const double text_y = bm_items.back().y + 26 + 7 + 13;
    const Rgb face = rgb_of(peer.palette().menu_bg);
    int inked = 0;
    for (int x = int(bm_items.back().x + 30); x < int(bm_items.back().x + 120); ++x)
        if (colour_distance(canvas.rgb(x, int(text_y)), face) > 40) ++inked;
    EXPECT_GT(inked, 3);

    ASSERT_TRUE(bookmarks::add(left_dir));
    ASSERT_TRUE(bookmarks::add(right_dir));
    canvas.draw(app);
    const auto marks = hits_of(Hit::BookmarkItem);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].param, 0);
    EXPECT_EQ(marks[1].param, 1);
    EXPECT_EQ(marks[0].label, bookmarks::all()[0].name);
    EXPECT_DOUBLE_EQ(marks[0].y, bm_items.back().y + 26 + 7);
    EXPECT_TRUE(marks[0].in_menu);
    // The accent dot at (x + 18, centre).
    EXPECT_LE(colour_distance(canvas.rgb(int(marks[0].x + 18), int(marks[0].y + 13)),
                              rgb_of(peer.palette().accent)),
              8);
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_bookmarks.png"));
}

TEST_F(RenderMenus, DropDownNearTheRightEdgeEndsFourUnitsBeforeIt) {
    // A window so narrow that the Help menu, opened from its title, would run off the right edge.
    peer.open_menu() = 6;
    Canvas canvas(420, 500);
    canvas.draw(app);
    const auto rows = hits_of(Hit::MenuItem);
    ASSERT_FALSE(rows.empty());
    const double title_x = hits_of(Hit::MenuTitle)[6].x;
    ASSERT_GT(title_x + 160, 420 - 4) << "the window is not narrow enough for this case";
    EXPECT_DOUBLE_EQ(rows[0].x + rows[0].w, 420 - 4);
    EXPECT_LT(rows[0].x, title_x);

    // With room to spare it hangs under its own title.
    Canvas wide(1200, 500);
    wide.draw(app);
    EXPECT_DOUBLE_EQ(hits_of(Hit::MenuItem)[0].x, hits_of(Hit::MenuTitle)[6].x);
}

TEST_F(RenderMenus, ContextMenuHoldsTheRowsForWhatThePaneWouldActOn) {
    struct Case {
        const char* name;
        const char* cursor;
        std::vector<std::string> selected;
    };
    const std::vector<Case> cases = {
        {"empty space", "..", {}},
        {"one file", "a.txt", {}},
        {"one folder", "docs", {}},
        {"one archive", "pack.tar.gz", {}},
        {"two selected", "a.txt", {"a.txt", "b.txt"}},
    };
    Canvas canvas(1200, 800);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pane& pane = peer.pane(false);
        pane.clear_selection();
        pane.set_cursor(row_of(c.cursor), false);
        for (const auto& n : c.selected)
            pane.toggle_selection(row_of(n));
        peer.context_menu() = true;
        peer.column_menu() = false;
        peer.context_right() = false;
        peer.context_x() = 200;
        peer.context_y() = 150;
        canvas.draw(app);

        const auto expected = actions_of(menu_model::context_menu(peer.context_info(false)));
        const auto rows = hits_of(Hit::MenuItem);
        ASSERT_EQ(rows.size(), expected.size());
        std::vector<int> got;
        for (const auto& r : rows) {
            got.push_back(r.param);
            EXPECT_FALSE(r.in_menu);
            EXPECT_FALSE(r.in_overlay);
            EXPECT_DOUBLE_EQ(r.x, 200);
            EXPECT_GE(r.w, 180);
        }
        EXPECT_EQ(got, expected);
        EXPECT_DOUBLE_EQ(rows[0].y, 156);
        // The context menu is the last thing painted.
        EXPECT_EQ(last_index(Hit::MenuItem), int(app.hits().size()) - 1);
        std::vector<int> shown;
        for (Action a : peer.context_actions())
            shown.push_back(int(a));
        EXPECT_EQ(shown, expected);
    }
    // The empty-space menu as a user sees it.
    peer.pane(false).clear_selection();
    peer.pane(false).set_cursor(0, false);
    canvas.draw(app);
    std::vector<std::string> labels;
    for (const auto& r : hits_of(Hit::MenuItem))
        labels.push_back(r.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Search in this pane", "New folder…", "New file…",
                                                "Open terminal here", "Refresh", "Select all"}));
}

TEST_F(RenderMenus, ContextMenuBuildsOnTheSideItWasOpenedOn) {
    // Left: nothing to act on; right: a selected file. The menu follows the right pane.
    peer.pane(false).set_cursor(0, false);
    peer.pane(true).set_cursor(row_of("file1.dat", true), true);
    peer.context_menu() = true;
    peer.context_right() = true;
    peer.context_x() = 700;
    peer.context_y() = 200;
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const auto rows = hits_of(Hit::MenuItem);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].param, int(Action::OpenWith));
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_context.png"));
}

TEST_F(RenderMenus, MenusNearTheBottomRightOpenUpAndLeftButStayOnScreen) {
    peer.pane(false).set_cursor(row_of("a.txt"), true);
    peer.context_menu() = true;
    struct Case {
        const char* name;
        bool column_menu;
        double px, py;
        int win_w, win_h; // layout units
        // Expected top-left corner; negative: derived from the point and the menu's size.
        double x, y;
        int font_scale = 100;
    };
    const std::vector<Case> cases = {
        {"context menu in the corner", false, 1190, 790, 1200, 800, -1, -1},
        {"column menu in the corner", true, 1190, 790, 1200, 800, -1, -1},
        {"context menu with room", false, 100, 120, 1200, 800, 100, 120},
        {"context menu in a small window", false, 150, 180, 300, 200, 4, 4},
        {"column menu in a small window", true, 150, 180, 300, 200, 4, 4},
        // Placement works in layout units: at 150 % a 1800 x 1200 pixel window is 1200 x 800 units.
        {"context menu in the corner at 150 %", false, 1190, 790, 1200, 800, -1, -1, 150},
        {"column menu with room at 150 %", true, 500, 100, 1200, 800, 500, 100, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.column_menu() = c.column_menu;
        peer.context_x() = c.px;
        peer.context_y() = c.py;
        SettingsStore::instance().mutable_get().font_scale = c.font_scale;
        const double scale = c.font_scale / 100.0;
        Canvas canvas(int(c.win_w * scale), int(c.win_h * scale));
        canvas.draw(app);
        const auto rows = hits_of(Hit::MenuItem);
        ASSERT_FALSE(rows.empty());
        const double w = rows[0].w;
        const double first = c.column_menu ? 39 : 6;
        // Height from the rows: the last row ends 6 above the menu's bottom.
        const double top = rows[0].y - first;
        const double h = rows.back().y + 26 + 6 - top;
        if (c.x < 0) {
            EXPECT_DOUBLE_EQ(rows[0].x + w, c.px);
            EXPECT_DOUBLE_EQ(top + h, c.py);
        } else {
            EXPECT_DOUBLE_EQ(rows[0].x, c.x);
            EXPECT_DOUBLE_EQ(top, c.y);
        }
        EXPECT_GE(rows[0].x, 4);
        EXPECT_GE(top, 4);
    }
}

TEST_F(RenderMenus, ColumnMenuRowsAndTheirChecks) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.show_size = true;
    s.show_type = false;
    s.show_modified = true;
    s.show_created = false;
    s.show_permissions = true;
    s.show_owner = false;
    s.show_group = false;
    peer.context_menu() = true;
    peer.column_menu() = true;
    peer.context_x() = 300;
    peer.context_y() = 200;
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const auto rows = hits_of(Hit::MenuItem);
    const auto& cols = menu_model::columns();
    ASSERT_EQ(rows.size(), cols.size());
    const Rgb accent = rgb_of(peer.palette().accent);
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto action = static_cast<Action>(cols[i].action);
        SCOPED_TRACE(action_name(action));
        EXPECT_EQ(rows[i].param, cols[i].action);
        EXPECT_DOUBLE_EQ(rows[i].y, 200 + 39 + 26 * double(i));
        EXPECT_DOUBLE_EQ(rows[i].x, 300);
        EXPECT_GE(rows[i].w, 190);
        const bool on = column_enabled(s, *column_for_action(action));
        // The check mark's lowest point, (x + 17.5, centre + 3.5).
        const Rgb px = canvas.rgb(int(rows[i].x + 17.5), int(rows[i].y + 13 + 3));
        if (on) {
            EXPECT_LE(colour_distance(px, accent), 90);
        } else {
            EXPECT_LE(colour_distance(px, rgb_of(peer.palette().menu_bg)), 2);
        }
    }
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_columns.png"));
}

TEST_F(RenderMenus, BridgeButtonsCarryTheDirectionAndOnlyEnabledOnesRegister) {
    peer.pane(false).set_cursor(row_of("a.txt"), false); // a cursor file, nothing selected
    struct Case {
        const char* name;
        bool active_right;
        bool select;
        std::vector<Hit> expected;
    };
    const std::vector<Hit> all = {
        Hit::BridgeCopy,     Hit::BridgeMove,    Hit::BridgePack,      Hit::BridgeSearch, Hit::BridgeHex,
        Hit::BridgeTerminal, Hit::BridgeRefresh, Hit::BridgeNewFolder, Hit::BridgeDelete, Hit::BridgeTrash};
    std::vector<Hit> no_delete = all;
    no_delete.erase(std::find(no_delete.begin(), no_delete.end(), Hit::BridgeDelete));
    const std::vector<Case> cases = {
        {"left active, cursor file only", false, false, no_delete},
        {"left active, a selection", false, true, all},
        {"right active", true, true, all},
    };
    Canvas canvas(1200, 800);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.active_right() = c.active_right;
        Pane& active = peer.pane(c.active_right);
        active.clear_selection();
        active.set_cursor(c.active_right ? row_of("file0.dat", true) : row_of("a.txt"), c.select);
        canvas.draw(app);
        const App::Layout& l = app.layout();
        std::vector<Hit> got;
        for (const auto& h : app.hits()) {
            if (h.what < Hit::BridgeCopy || h.what > Hit::BridgeTrash) continue;
            got.push_back(h.what);
            EXPECT_EQ(h.right, !c.active_right) << App::hit_name(h.what);
            EXPECT_DOUBLE_EQ(h.x, l.bridge_x + 6);
            EXPECT_DOUBLE_EQ(h.w, l.bridge_w - 12);
        }
        EXPECT_EQ(got.size(), c.expected.size());
        EXPECT_TRUE(got == c.expected);
    }
}

// Runs in a fresh process (support is decided once per process): 0 when the frame's bridge shows exactly
// the expected buttons.
[[noreturn]] void expect_bridge(App& app, const std::vector<Hit>& expected) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    std::vector<Hit> got;
    for (const auto& h : app.hits())
        if (h.what >= Hit::BridgeCopy && h.what <= Hit::BridgeTrash) got.push_back(h.what);
    if (got != expected) {
        for (Hit h : got)
            fprintf(stderr, "%s ", App::hit_name(h));
        fprintf(stderr, "\n");
        _exit(1);
    }
    _exit(0);
}

TEST_F(RenderMenus, BridgeLeavesOutPackAndTerminalWhereTheSystemLacksThem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    peer.pane(false).set_cursor(row_of("a.txt"), true);
    const std::string path = getenv("PATH");
    testsupport::TempDir empty("nobin");
    setenv("PATH", empty.path().c_str(), 1);
    EXPECT_EXIT(
        expect_bridge(app, {Hit::BridgeCopy, Hit::BridgeMove, Hit::BridgeSearch, Hit::BridgeHex,
                            Hit::BridgeRefresh, Hit::BridgeNewFolder, Hit::BridgeDelete, Hit::BridgeTrash}),
        ::testing::ExitedWithCode(0), "");
    // In a snap the pack button stays: the command explains why no archiver can be reached.
    setenv("SNAP", "/snap/tavrin/1", 1);
    setenv("SNAP_NAME", "tavrin", 1);
    EXPECT_EXIT(expect_bridge(app, {Hit::BridgeCopy, Hit::BridgeMove, Hit::BridgePack, Hit::BridgeSearch,
                                    Hit::BridgeHex, Hit::BridgeRefresh, Hit::BridgeNewFolder,
                                    Hit::BridgeDelete, Hit::BridgeTrash}),
                ::testing::ExitedWithCode(0), "");
    unsetenv("SNAP");
    unsetenv("SNAP_NAME");
    setenv("PATH", path.c_str(), 1);
}

TEST_F(RenderMenus, BridgeColumnIsCentredAndOverflowsWhenThePaneIsShort) {
    peer.pane(false).set_cursor(row_of("a.txt"), true);
    struct Case {
        int height;
        double button_h;
        double gap;
        bool centred;
    };
    const std::vector<Case> cases = {
        {800, 40, 10, true},
        // pane_h 382, room 332: ten buttons need 490, so the gaps shrink to 332 / 490 * 10 and the height
        // stops at 30; the column then overflows from the room's top.
        {500, 30, 332.0 / 490.0 * 10, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.height);
        Canvas canvas(1200, c.height);
        canvas.draw(app);
        const App::Layout& l = app.layout();
        std::vector<App::HitRect> buttons;
        for (const auto& h : app.hits())
            if (h.what >= Hit::BridgeCopy && h.what <= Hit::BridgeTrash) buttons.push_back(h);
        ASSERT_EQ(buttons.size(), 10u);
        const double room = l.pane_h - 50;
        const double column = 10 * c.button_h + 9 * c.gap;
        const double top = c.centred ? l.pane_y + 44 + (room - column) / 2 : l.pane_y + 44;
        for (size_t i = 0; i < buttons.size(); ++i) {
            EXPECT_NEAR(buttons[i].h, c.button_h, 1e-9);
            EXPECT_NEAR(buttons[i].y, top + double(i) * (c.button_h + c.gap), 1e-9);
        }
    }
}

TEST_F(RenderMenus, BusyWorkDisablesEveryBridgeButton) {
    peer.pane(false).set_cursor(row_of("a.txt"), true);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    peer.frame_copy().running = true;
    peer.frame_copy().files_total = 10;
    peer.frame_copy().files_done = 5;
    repaint(canvas);
    for (const auto& h : app.hits())
        EXPECT_FALSE(h.what >= Hit::BridgeCopy && h.what <= Hit::BridgeTrash) << App::hit_name(h.what);
    EXPECT_EQ(hits_of(Hit::MenuTitle).size(), menu_model::bar().size());
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_busy_header.png"));
}

// The header's bottom line blends its colour at alpha 0.5 over the band's last gradient stop.
Rgb header_line(const Palette& p) {
    const Rgb bottom = p.dark ? Rgb{0.055, 0.09, 0.13} : Rgb{0.086, 0.149, 0.251};
    return mix(rgb_of(p.dark ? "#000000" : "#0B1524"), bottom, 0.5);
}

// The band's colour at the vertical fraction f (stops at 0, 0.6 and 1).
Rgb header_band(const Palette& p, double f) {
    const Rgb s0 = p.dark ? Rgb{0.055, 0.075, 0.11} : Rgb{0.086, 0.129, 0.216};
    const Rgb s1 = p.dark ? Rgb{0.075, 0.11, 0.165} : Rgb{0.118, 0.196, 0.318};
    const Rgb s2 = p.dark ? Rgb{0.055, 0.09, 0.13} : Rgb{0.086, 0.149, 0.251};
    if (f <= 0.6) return mix(s1, s0, f / 0.6);
    return mix(s2, s1, (f - 0.6) / 0.4);
}

struct PaletteCase {
    const char* name;
    bool dark;
    int font_scale;
};

class RenderMenuColours : public RenderMenus, public ::testing::WithParamInterface<PaletteCase> {};

TEST_P(RenderMenuColours, PaletteColoursAtLayoutPositions) {
    const PaletteCase& pc = GetParam();
    peer.palette() = pc.dark ? Palette::dark_() : Palette::light();
    SettingsStore::instance().mutable_get().font_scale = pc.font_scale;
    const double s = pc.font_scale / 100.0;
    const Palette& pal = peer.palette();
    peer.open_menu() = 1; // Edit
    Canvas canvas(int(1100 * s), int(720 * s));
    canvas.draw(app);
    const App::Layout& l = app.layout();
    ASSERT_DOUBLE_EQ(l.width, 1100);
    ASSERT_DOUBLE_EQ(l.height, 720);
    auto at = [&](double x, double y) { return canvas.rgb(int(x * s), int(y * s)); };

    struct Spot {
        const char* what;
        double x, y;
        Rgb expected;
        int tolerance;
    };
    const double mid_status = l.status_y + 12;
    const auto edit = hits_of(Hit::MenuTitle)[1];
    std::vector<Spot> spots = {
        {"menu bar", l.width - 5, 10, rgb_of(pal.bar), 1},
        {"menu bar divider", l.width - 5, 29.5, rgb_of(pal.divider), 1},
        {"open title highlight", edit.x + 2, 14, rgb_of(pal.menu_hover), 1},
        {"header band top", 5, l.header_y + 1.5, header_band(pal, 1.5 / 64), 3},
        // Over the bridge: the panes' frames reach half a unit above their top.
        {"header line", l.bridge_x + 42, l.header_y + 63.5, header_line(pal), 3},
        {"status bar", l.width / 2, mid_status, rgb_of(pal.bar), 1},
        {"status divider", l.width / 2, l.status_y + 0.5, rgb_of(pal.divider), 1},
        {"active side pill", l.width - 12 - 4, mid_status, rgb_of(pal.source_bg), 2},
        {"drop-down face", edit.x + 5, 30 + 3, rgb_of(pal.menu_bg), 1},
        {"bridge", l.bridge_x + 2, l.pane_y + 200, rgb_of(pal.window), 1},
    };
    if (running_as_root())
        spots.push_back({"administrator badge", l.width - 10 - 3, l.header_y + 32,
                         mix(rgb_of(pal.danger), header_band(pal, 0.5), 0.92), 4});
    for (const Spot& spot : spots) {
        SCOPED_TRACE(spot.what);
        EXPECT_LE(colour_distance(at(spot.x, spot.y), spot.expected), spot.tolerance)
            << rgb_to_hex(at(spot.x, spot.y)) << " vs " << rgb_to_hex(spot.expected);
    }
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_colours_" + pc.name + ".png"));
}

INSTANTIATE_TEST_SUITE_P(Palettes, RenderMenuColours,
                         ::testing::Values(PaletteCase{"light", false, 100}, PaletteCase{"dark", true, 100},
                                           PaletteCase{"light_150", false, 150},
                                           PaletteCase{"dark_150", true, 150}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenderMenus, HeaderShowsHowFarRunningWorkHasGot) {
    // Five units below the band's top nothing but the background and the work tint is painted.
    const Palette& pal = peer.palette();
    const Rgb fill = rgb_of(pal.progress_fill_2);
    const Rgb band = header_band(pal, 5.5 / 64);
    struct Case {
        const char* name;
        copy_engine::Progress copy;
        BgTask::Status task;
        std::vector<double> tinted; // x positions and the alpha of the tint there
        std::vector<double> alphas;
        std::vector<double> plain;
    };
    auto copy_of = [](int64_t files_done, int64_t files_total, int64_t bytes_done, int64_t bytes_total,
                      bool scanning, double elapsed) {
        copy_engine::Progress p;
        p.running = true;
        p.scanning = scanning;
        p.files_done = files_done;
        p.files_total = files_total;
        p.bytes_done = bytes_done;
        p.bytes_total = bytes_total;
        p.elapsed_seconds = elapsed;
        return p;
    };
    BgTask::Status counting;
    counting.running = true;
    counting.title = "Deleting";
    counting.done = 30;
    counting.total = 40;
    // At t = 0 the pulse is half way: the fill's alpha is 0.16 + 0.16 * 0.5.
    const std::vector<Case> cases = {
        {"bytes decide when known",
         copy_of(9, 10, 500, 1000, false, 0),
         {},
         {100, 500},
         {0.24, 0.24},
         {700, 1100}},
        {"files when no byte total",
         copy_of(1, 4, 0, 0, false, 0),
         {},
         {100, 200},
         {0.24, 0.24},
         {400, 1100}},
        // Scanning: a band 420 wide whose left edge is at fmod(2 * 260, 1620) - 420 = 100, brightest in
        // its middle (310).
        {"scanning sweeps", copy_of(0, 0, 0, 0, true, 2.0), {}, {310}, {0.22}, {40, 700, 1100}},
        {"background task with a total", {}, counting, {100, 800}, {-1, -1}, {1000}},
    };
    Canvas canvas(1200, 800);
    canvas.draw(app);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.frame_copy() = c.copy;
        peer.frame_bg() = c.task;
        repaint(canvas);
        const int y = int(app.layout().header_y + 5);
        for (size_t i = 0; i < c.tinted.size(); ++i) {
            const Rgb px = canvas.rgb(int(c.tinted[i]), y);
            if (c.alphas[i] >= 0) {
                EXPECT_LE(colour_distance(px, mix(fill, band, c.alphas[i])), 3) << "x " << c.tinted[i];
            } else {
                // The background task runs on the wall clock, so only "tinted at all" is certain.
                EXPECT_GT(colour_distance(px, band), 8) << "x " << c.tinted[i];
            }
        }
        for (double x : c.plain)
            EXPECT_LE(colour_distance(canvas.rgb(int(x), y), band), 2) << "x " << x;
    }
    EXPECT_TRUE(canvas.write_png(out_dir() + "/menus_header_task.png"));
}

// A background task without a total has no clock of its own; its sweep must still move across the band
// rather than stand parked off its left end.
TEST_F(RenderMenus, HeaderSweepMovesForABackgroundTaskWithoutTotal) {
    const Rgb band = header_band(peer.palette(), 5.5 / 64);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    peer.frame_copy() = copy_engine::Progress{};
    peer.frame_bg().running = true;
    peer.frame_bg().title = "Deleting";
    auto tinted_somewhere = [&] {
        repaint(canvas);
        const int y = int(app.layout().header_y + 5);
        for (int x = 0; x < 1200; x += 4)
            if (colour_distance(canvas.rgb(x, y), band) > 6) return true;
        return false;
    };
    // The band is out of sight for well under half a second of each cycle, so one of two looks half a
    // second apart sees it.
    bool seen = tinted_somewhere();
    if (!seen) {
        usleep(500 * 1000);
        seen = tinted_somewhere();
    }
    EXPECT_TRUE(seen);
}

TEST_F(RenderMenus, StatusFlashHidesTheSelectionAndSidePills) {
    const Palette& pal = peer.palette();
    peer.pane(false).set_cursor(row_of("a.txt"), true);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const App::Layout& l = app.layout();
    const double mid = l.status_y + 12;
    // A selection shows the ok pill in the middle; the active side shows at the right.
    EXPECT_LE(colour_distance(canvas.rgb(int(l.width / 2), int(mid - 8)), rgb_of(pal.ok_bg)), 2);
    EXPECT_LE(colour_distance(canvas.rgb(int(l.width - 16), int(mid)), rgb_of(pal.source_bg)), 2);

    peer.flash_text() = "Copied";
    peer.flash_until() = App::now_seconds() + 10;
    canvas.draw(app);
    EXPECT_LE(colour_distance(canvas.rgb(int(l.width - 16), int(mid)), rgb_of(pal.bar)), 1);
    EXPECT_LE(colour_distance(canvas.rgb(int(l.width / 2), int(mid - 8)),
                              mix(rgb_of(pal.ok_bg), rgb_of(pal.bar), 0.9)),
              2);

    // Once passed, the flash is cleared and the pills are back.
    peer.flash_until() = App::now_seconds() - 1;
    canvas.draw(app);
    EXPECT_EQ(peer.flash_until(), 0);
    EXPECT_LE(colour_distance(canvas.rgb(int(l.width - 16), int(mid)), rgb_of(pal.source_bg)), 2);
}

TEST_F(RenderMenus, HeaderLanesNeedFortyUnitsOfRoom) {
    // Row of the lowest lane (0.74 of the band): only the lanes paint there right of the word mark.
    const int lane_y = int(94 - 64 + 0.74 * 64);
    const Rgb band = header_band(peer.palette(), 0.74);
    auto inked = [&](Canvas& canvas, int from, int to) {
        int n = 0;
        for (int x = from; x < to; ++x)
            if (colour_distance(canvas.rgb(x, lane_y), band) > 6) ++n;
        return n;
    };
    // Where the word mark ends, read from a wide frame through the middle of its lower-case letters: the
    // last ink before a gap of 20 plain units (the lanes begin 34 units after the mark).
    Canvas wide(1200, 600);
    wide.draw(app);
    const int mark_y = 30 + 30;
    const Rgb mark_band = header_band(peer.palette(), 30.0 / 64);
    int mark_end = 0;
    for (int x = 70, plain = 0; x < 600 && plain < 20; ++x) {
        if (colour_distance(wide.rgb(x, mark_y), mark_band) > 40) {
            mark_end = x + 1;
            plain = 0;
        } else if (mark_end > 0) {
            ++plain;
        }
    }
    ASSERT_GT(mark_end, 120);
    ASSERT_LT(mark_end, 300);
    const int x0 = mark_end + 34;
    EXPECT_GT(inked(wide, x0, 1200 - 62), 20);

    struct Case {
        int room; // x1 - x0
        bool lanes;
    };
    for (const Case& c : std::vector<Case>{{30, false}, {60, true}}) {
        SCOPED_TRACE(c.room);
        Canvas canvas(x0 + c.room + 62, 600);
        canvas.draw(app);
        if (c.lanes) {
            EXPECT_GT(inked(canvas, x0, x0 + c.room), 3);
        } else {
            EXPECT_EQ(inked(canvas, x0 - 10, x0 + c.room), 0);
        }
    }
}

} // namespace
