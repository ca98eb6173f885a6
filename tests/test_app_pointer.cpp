// Pointer input on a real App without a window: frames are drawn off-screen so that the hit regions are
// the ones a user would click, then presses, motion, releases, the wheel and drops are fed in.
#include "app_peer.h"
#include "base/i18n.h"
#include "base/logger.h"
#include "config/settings.h"
#include "config_home.h"
#include "engine/copy_engine.h"
#include "engine/drives.h"
#include "temp_dir.h"
#include "ui/app.h"
#include "ui/layout_metrics.h"

#include <gdk/gdk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using testsupport::Canvas;
using testsupport::TempDir;
using Hit = App::Hit;

namespace {

[[maybe_unused]] ::testing::Environment* const g_home = testsupport::ConfigHome::install("app-pointer-home");

class Pointer : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        Settings& s = SettingsStore::instance().mutable_get();
        s = Settings{};
        s.font_scale = 100;
        s.show_hidden = false;
        for (const char* d : {"docs", "sub"})
            testsupport::make_dir(left_dir.sub(d));
        for (const char* f : {"a.txt", "b.txt", "c.txt", "d.txt"})
            testsupport::write_file(left_dir.sub(f), f);
        for (int i = 0; i < 60; ++i)
            testsupport::write_file(right_dir.sub("file" + std::to_string(100 + i) + ".dat"), "x");
        left().navigate_to(left_dir.path(), false);
        right().navigate_to(right_dir.path(), false);
        Log::instance().clear();
        frame();
    }

    Pane& left() { return peer.pane(false); }
    Pane& right() { return peer.pane(true); }
    void frame() { canvas.draw(app); }
    void run(const std::string& step) { EXPECT_TRUE(app.run_self_test_step(step)) << step; }

    const App::HitRect* region(Hit what, int param = 0, bool on_right = false) {
        for (const auto& h : app.hits())
            if (h.what == what && h.param == param && h.right == on_right) return &h;
        return nullptr;
    }
    const App::HitRect* row(const std::string& name, bool on_right = false) {
        for (const auto& h : app.hits())
            if (h.what == Hit::PaneRow && h.right == on_right && h.label == name) return &h;
        return nullptr;
    }
    // A press and release in the middle of a region, as a click of the real pointer gives them.
    void click(const App::HitRect* r, int button = 1, unsigned state = 0) {
        ASSERT_NE(r, nullptr);
        press(r, button, state);
        app.handle_release();
    }
    void press(const App::HitRect* r, int button = 1, unsigned state = 0, unsigned count = 1) {
        ASSERT_NE(r, nullptr);
        const App::HitRect copy = *r; // the handler may draw nothing, but keep the region stable anyway
        app.handle_click(copy.x + copy.w / 2, copy.y + copy.h / 2, button, state, count);
    }
    // A double click as GTK delivers it: two presses with their releases, then the double-click press.
    void double_click(const App::HitRect* r) {
        ASSERT_NE(r, nullptr);
        const double x = r->x + r->w / 2, y = r->y + r->h / 2;
        app.handle_click(x, y, 1, 0, 1);
        app.handle_release();
        app.handle_click(x, y, 1, 0, 1);
        app.handle_click(x, y, 1, 0, 2);
        app.handle_release();
    }
    std::vector<std::string> selected(bool on_right = false) {
        std::vector<std::string> out;
        Pane& p = peer.pane(on_right);
        for (int i = 0; i < p.count(); ++i)
            if (p.is_selected(i)) out.push_back(p.entries()[size_t(i)].name);
        return out;
    }
    bool logged(const std::string& text) {
        for (const auto& e : Log::instance().recent())
            if (e.text.find(text) != std::string::npos) return true;
        return false;
    }
    std::string settings_file() {
        const std::string path = SettingsStore::instance().path();
        return testsupport::exists(path) ? testsupport::read_file(path) : std::string();
    }

    TempDir left_dir{"pointer-left"};
    TempDir right_dir{"pointer-right"};
    App app;
    AppTestPeer peer{app};
    Canvas canvas{1100, 720};
};

} // namespace

TEST_F(Pointer, PlainCtrlAndShiftClicksSelectAndAPressOnTheSelectionWaitsForTheRelease) {
    click(row("a.txt"));
    EXPECT_EQ(selected(), std::vector<std::string>{"a.txt"});
    click(row("c.txt"), 1, GDK_CONTROL_MASK);
    EXPECT_EQ(selected(), (std::vector<std::string>{"a.txt", "c.txt"}));
    click(row("d.txt"), 1, GDK_SHIFT_MASK);
    EXPECT_EQ(selected(), (std::vector<std::string>{"c.txt", "d.txt"}));
    click(row("a.txt"), 1, GDK_CONTROL_MASK);
    EXPECT_EQ(selected(), (std::vector<std::string>{"a.txt", "c.txt", "d.txt"}));

    // Pressing on a selected row keeps the whole selection, so that it can be dragged ...
    frame();
    press(row("c.txt"));
    EXPECT_EQ(selected().size(), 3u);
    // ... and the release without a drag collapses it onto that row.
    app.handle_release();
    EXPECT_EQ(selected(), std::vector<std::string>{"c.txt"});
    EXPECT_EQ(left().entries()[size_t(left().cursor())].name, "c.txt");

    // A drag started from the selection leaves it whole.
    click(row("a.txt"), 1, GDK_CONTROL_MASK);
    frame();
    press(row("a.txt"));
    peer.drag_from_pane() = true; // what passing the drag threshold does
    app.handle_release();
    EXPECT_EQ(selected(), (std::vector<std::string>{"a.txt", "c.txt"}));
}

TEST_F(Pointer, DoubleClickEntersAFolderOnceAndOnlyRowsTakeDoubleClicks) {
    double_click(row("sub"));
    EXPECT_EQ(left().path(), left_dir.sub("sub"));
    EXPECT_EQ(left().history().size(), 2u); // entered once, not "sub" and then whatever lay under it
    run("key:alt+Left");
    EXPECT_EQ(left().path(), left_dir.path());

    // The double-click event elsewhere does nothing: its two presses have done their work already.
    frame();
    const App::HitRect* title = region(Hit::MenuTitle, 0);
    ASSERT_NE(title, nullptr);
    app.handle_click(title->x + 5, title->y + 5, 1, 0, 1);
    EXPECT_EQ(peer.open_menu(), 0);
    app.handle_click(title->x + 5, title->y + 5, 1, 0, 1); // second press closes it again
    app.handle_click(title->x + 5, title->y + 5, 1, 0, 2);
    EXPECT_EQ(peer.open_menu(), -1);
}

TEST_F(Pointer, DialogButtonsFireOnceAndStaleDialogRegionsAreDead) {
    app.show_message("first", "one", false);
    frame();
    const App::HitRect* ok = nullptr;
    for (const auto& h : app.hits())
        if (h.what == Hit::Overlay && h.label == tr("btn.ok")) ok = &h;
    ASSERT_NE(ok, nullptr);
    const double x = ok->x + ok->w / 2, y = ok->y + ok->h / 2;
    app.handle_click(x, y, 1, 0, 1);
    EXPECT_EQ(app.overlay(), App::Overlay::None);
    // The next dialog opens before a frame is drawn; the second press of the double click lands on the
    // old frame's button and must not answer it.
    app.show_message("second", "two", false);
    app.handle_click(x, y, 1, 0, 1);
    app.handle_click(x, y, 1, 0, 2);
    EXPECT_EQ(app.overlay(), App::Overlay::Message);
    EXPECT_EQ(app.overlay_title(), "second");
    // Drawn, its own button works; with the dialog gone the region of the old frame does nothing.
    frame();
    app.handle_click(x, y, 1, 0, 1);
    EXPECT_EQ(app.overlay(), App::Overlay::None);
    Log::instance().clear();
    app.handle_click(x, y, 1, 0, 1);
    EXPECT_FALSE(logged("action: "));

    // A click beside an open dialog is ignored.
    app.show_message("third", "three", false);
    frame();
    const int cursor = left().cursor();
    click(row("d.txt"));
    EXPECT_EQ(left().cursor(), cursor);
    EXPECT_EQ(app.overlay(), App::Overlay::Message);
}

TEST_F(Pointer, SortHeadersColumnEdgesAndTheColumnMenu) {
    const App::HitRect* size = region(Hit::PaneHeader, int(dir_lister::SortKey::Size));
    ASSERT_NE(size, nullptr);
    click(size);
    EXPECT_EQ(left().sort_order().key, dir_lister::SortKey::Size);
    const bool first = left().sort_order().ascending;
    frame();
    click(region(Hit::PaneHeader, int(dir_lister::SortKey::Size)));
    EXPECT_EQ(left().sort_order().key, dir_lister::SortKey::Size);
    EXPECT_NE(left().sort_order().ascending, first);

    // Dragging the size column's right edge: clamped at both ends, written to the file on release only.
    frame();
    const App::HitRect* edge = region(Hit::ColumnResize, int(ColumnId::Size));
    ASSERT_NE(edge, nullptr);
    const double ex = edge->x + edge->w / 2, ey = edge->y + edge->h / 2;
    const std::string before = settings_file();
    app.handle_click(ex, ey, 1, 0, 1);
    app.handle_motion(ex - 1000, ey, GDK_BUTTON1_MASK);
    EXPECT_EQ(SettingsStore::instance().get().col_w_size, 40);
    app.handle_motion(ex + 30, ey, GDK_BUTTON1_MASK);
    EXPECT_EQ(SettingsStore::instance().get().col_w_size, 78 + 30);
    app.handle_motion(ex + 5000, ey, GDK_BUTTON1_MASK);
    EXPECT_EQ(SettingsStore::instance().get().col_w_size, 900);
    EXPECT_EQ(settings_file(), before);
    app.handle_release();
    EXPECT_NE(settings_file().find("\"col_w_size\": 900"), std::string::npos) << settings_file();
    EXPECT_EQ(peer.col_drag(), -2);

    // The right button on the header opens the column menu there.
    frame();
    const App::HitRect* name = region(Hit::PaneHeader, int(dir_lister::SortKey::Name), true);
    ASSERT_NE(name, nullptr);
    click(name, 3);
    EXPECT_TRUE(peer.context_menu());
    EXPECT_TRUE(peer.column_menu());
    EXPECT_TRUE(app.active_right());
}

TEST_F(Pointer, PathSegmentsNavigateToTheirPrefix) {
    left().navigate_to(left_dir.sub("sub"), false);
    frame();
    // The segment before the last one is the folder above.
    int segments = 0;
    for (const auto& h : app.hits())
        if (h.what == Hit::PathSegment && !h.right) ++segments;
    ASSERT_GE(segments, 3);
    click(region(Hit::PathSegment, segments - 2));
    EXPECT_EQ(left().path(), left_dir.path());
    frame();
    click(region(Hit::PathSegment, 0));
    EXPECT_EQ(left().path(), "/");
}

TEST_F(Pointer, DriveRowsNavigateByTheFolderTheyCarry) {
    drives::refresh();
    peer.open_drive_picker() = 0;
    frame();
    std::vector<drives::Drive> list = drives::list();
    std::vector<App::HitRect> rows;
    for (const auto& h : app.hits())
        if (h.what == Hit::DriveItem) rows.push_back(h);
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        ASSERT_LT(size_t(r.param), list.size());
        EXPECT_EQ(r.label, list[size_t(r.param)].path);
    }
    // The list reordered after the frame: the row still goes where it said, whatever its index now is.
    App::HitRect moved = rows.front();
    moved.label = right_dir.path();
    moved.param = 999;
    peer.hits().push_back(moved);
    app.handle_click(moved.x + 5, moved.y + 5, 1, 0, 1);
    EXPECT_EQ(left().path(), right_dir.path());
    EXPECT_EQ(peer.open_drive_picker(), -1);
}

TEST_F(Pointer, MenusOpenFollowThePointerRunARowAndCloseOnAClickOutside) {
    click(region(Hit::MenuTitle, 0));
    EXPECT_EQ(peer.open_menu(), 0);
    frame();
    const App::HitRect* third = region(Hit::MenuTitle, 2);
    ASSERT_NE(third, nullptr);
    app.handle_motion(third->x + 4, third->y + 4, 0);
    EXPECT_EQ(peer.open_menu(), 2);

    // A click outside closes the menu and does nothing else.
    frame();
    const int cursor = left().cursor();
    click(row("d.txt"));
    EXPECT_EQ(peer.open_menu(), -1);
    EXPECT_EQ(left().cursor(), cursor);
    EXPECT_FALSE(left().has_selection());

    // A row runs its action and closes the menu.
    bool hidden = SettingsStore::instance().get().show_hidden;
    for (int m = 0; m < 8 && !region(Hit::MenuItem, int(Action::ToggleHidden)); ++m) {
        peer.open_menu() = m;
        frame();
    }
    const App::HitRect* item = region(Hit::MenuItem, int(Action::ToggleHidden));
    ASSERT_NE(item, nullptr);
    app.handle_motion(item->x + 10, item->y + 5, 0);
    EXPECT_EQ(peer.menu_hover_item(), int(Action::ToggleHidden));
    click(item);
    EXPECT_EQ(SettingsStore::instance().get().show_hidden, !hidden);
    EXPECT_EQ(peer.open_menu(), -1);
}

TEST_F(Pointer, RightClickPutsTheCursorOnAnUnselectedRowAndKeepsASelection) {
    click(row("b.txt"), 3);
    EXPECT_TRUE(peer.context_menu());
    EXPECT_FALSE(peer.column_menu());
    EXPECT_EQ(selected(), std::vector<std::string>{"b.txt"});
    // A click beside the menu only closes it.
    frame();
    click(row("file100.dat", true));
    EXPECT_FALSE(peer.context_menu());
    EXPECT_EQ(selected(), std::vector<std::string>{"b.txt"});

    frame();
    click(row("c.txt"), 1, GDK_CONTROL_MASK);
    frame();
    click(row("c.txt"), 3);
    EXPECT_EQ(selected(), (std::vector<std::string>{"b.txt", "c.txt"}));
    EXPECT_TRUE(peer.context_menu());
    EXPECT_FALSE(peer.context_right());
}

TEST_F(Pointer, WheelStepsAndTheThumbFollowsThePointerToTheLastRow) {
    const App::Layout& l = app.layout();
    const double rx = l.right_x + 50, ry = l.pane_y + 300;
    app.handle_scroll(rx, ry, 1, false, 0);
    EXPECT_EQ(right().scroll(), 3);
    app.handle_scroll(rx, ry, -1, false, 0);
    EXPECT_EQ(right().scroll(), 0);
    app.handle_scroll(rx, ry, 0.1, true, 0);
    EXPECT_EQ(right().scroll(), 1);
    app.handle_scroll(rx, ry, 2.0, true, 0);
    EXPECT_EQ(right().scroll(), 7);
    EXPECT_EQ(left().scroll(), 0);

    // The thumb, grabbed in its middle, is dragged by the pointer without lagging behind it.
    frame();
    const App::HitRect* thumb = region(Hit::ScrollThumb, 0, true);
    ASSERT_NE(thumb, nullptr);
    const double grab = thumb->h / 2;
    app.handle_click(thumb->x + 4, thumb->y + grab, 1, 0, 1);
    const double track_top = peer.pane_vtrack_y()[1], track_h = peer.pane_vtrack_h()[1];
    const double target_top = track_top + (track_h - thumb->h) / 2;
    app.handle_motion(thumb->x + 4, target_top + grab, GDK_BUTTON1_MASK);
    frame();
    const App::HitRect* moved = region(Hit::ScrollThumb, 0, true);
    ASSERT_NE(moved, nullptr);
    EXPECT_NEAR(moved->y, target_top, track_h / 60);
    app.handle_motion(thumb->x + 4, l.height + 200, GDK_BUTTON1_MASK);
    app.handle_release();
    frame();
    EXPECT_NE(row("file159.dat", true), nullptr);
    EXPECT_EQ(right().scroll(), right().count() - peer.pane_visible()[1]);
}

TEST_F(Pointer, WithTheSearchBarOpenKeysAndThumbUseTheRowsReallyShown) {
    peer.active_right() = true;
    right().set_filter("file", false);
    peer.search_pane() = 1;
    frame();
    const int shown = peer.pane_visible()[1];
    EXPECT_EQ(shown, app.layout().visible_rows - 1);
    peer.search_pane() = -1;
    run("key:End");
    frame();
    const App::HitRect* last = row("file159.dat", true);
    ASSERT_NE(last, nullptr);
    // Fully shown, above the horizontal scroll strip.
    const App::HitRect* strip = nullptr;
    for (const auto& h : app.hits())
        if (h.what == Hit::PaneBackground && h.right) strip = &h;
    ASSERT_NE(strip, nullptr);
    EXPECT_LE(last->y + last->h, strip->y + strip->h);
    EXPECT_EQ(last->h, metrics::kRowH);
}

TEST_F(Pointer, TheLastPartlyShownRowTakesNoClicksBelowTheList) {
    Canvas odd(1100, 731); // 11 units more: the rows end in the middle of one
    odd.draw(app);
    const App::HitRect* list = nullptr;
    for (const auto& h : app.hits())
        if (h.what == Hit::PaneBackground && h.right) list = &h;
    ASSERT_NE(list, nullptr);
    for (const auto& h : app.hits())
        if (h.what == Hit::PaneRow) {
            EXPECT_LE(h.y + h.h, list->y + list->h + 1e-9) << h.label;
        }
    const App::HitRect* below = app.hit_test(app.layout().right_x + 50, list->y + list->h + 2);
    EXPECT_TRUE(!below || below->what != Hit::PaneRow);
}

TEST_F(Pointer, BridgeButtonsAreClickableOnlyWhileIdle) {
    click(row("a.txt"));
    frame();
    ASSERT_NE(region(Hit::BridgeCopy, 0, true), nullptr);
    ASSERT_NE(region(Hit::BridgeRefresh, 0, true), nullptr);
    Canvas busy(1100, 720);
    peer.cr() = busy.cr();
    peer.frame_copy().running = true;
    peer.layout() = app.compute_layout(1100, 720);
    peer.hits().clear();
    app.draw_all(busy.cr());
    peer.cr() = nullptr;
    peer.frame_copy().running = false;
    for (const auto& h : app.hits()) {
        EXPECT_NE(h.what, Hit::BridgeCopy);
        EXPECT_NE(h.what, Hit::BridgeMove);
        EXPECT_NE(h.what, Hit::BridgeDelete);
        EXPECT_NE(h.what, Hit::BridgeRefresh);
    }
}

TEST_F(Pointer, BridgeCopyCopiesTheSelectionAndTheErrorBannerOpensTheTitledList) {
    click(row("a.txt"));
    frame();
    click(region(Hit::BridgeCopy, 0, true));
    ASSERT_TRUE(copy_engine::instance().wait_finished(20000));
    copy_engine::instance().reap();
    EXPECT_TRUE(testsupport::exists(right_dir.sub("a.txt")));

    peer.result().valid = true;
    peer.result().failures = 2;
    app.set_overlay(App::Overlay::Message, "old title");
    app.set_overlay(App::Overlay::None);
    frame();
    const App::HitRect* banner = region(Hit::ErrorBanner);
    ASSERT_NE(banner, nullptr);
    click(banner);
    EXPECT_EQ(app.overlay(), App::Overlay::Errors);
    EXPECT_EQ(app.overlay_title(), tr("dlg.errors_title"));
    app.set_overlay(App::Overlay::None);
    frame();
    click(region(Hit::ResultDismiss));
    EXPECT_FALSE(peer.result().valid);
}

TEST_F(Pointer, DropsCopyLocalFilesAndRefuseTheRest) {
    const std::string a = "file://" + left_dir.sub("a.txt"), b = "file://" + left_dir.sub("b.txt");
    app.handle_drop({"http://example.com/x.txt"}, true, false, false);
    EXPECT_EQ(app.overlay(), App::Overlay::Message);
    EXPECT_EQ(app.overlay_text(), tr("err.drop_not_local"));
    app.handle_drop({a, "file://elsewhere.example/etc/hosts"}, true, false, false);
    EXPECT_EQ(app.overlay_text(), tr("err.drop_not_local"));
    EXPECT_FALSE(logged("drop: "));
    app.set_overlay(App::Overlay::None);

    // Back onto the pane the drag came from: nothing at all.
    peer.drag_source_right() = false;
    app.handle_drop({a, b}, false, false, true);
    EXPECT_EQ(app.overlay(), App::Overlay::None);
    EXPECT_FALSE(logged("drop: "));
    // Onto the pane of the files' own folder from outside: said so, nothing copied.
    app.handle_drop({a}, false, false, false);
    EXPECT_EQ(app.overlay_text(), tr("err.drop_same_dir"));
    app.set_overlay(App::Overlay::None);

    app.handle_drop({a, b}, true, false, false);
    EXPECT_TRUE(logged("drop: 2 item(s) -> " + right_dir.path() + " (copy, from outside)"));
    ASSERT_TRUE(copy_engine::instance().wait_finished(20000));
    copy_engine::instance().reap();
    EXPECT_TRUE(testsupport::exists(right_dir.sub("a.txt")));
    EXPECT_TRUE(testsupport::exists(right_dir.sub("b.txt")));

    // A move from the other pane, with an escaped name.
    testsupport::write_file(left_dir.sub("with space.txt"), "s");
    app.handle_drop({"file://" + left_dir.path() + "/with%20space.txt"}, true, true, true);
    EXPECT_TRUE(logged("drop: 1 item(s) -> " + right_dir.path() + " (move, from pane)"));
    ASSERT_TRUE(copy_engine::instance().wait_finished(20000));
    copy_engine::instance().reap();
    EXPECT_TRUE(testsupport::exists(right_dir.sub("with space.txt")));
    EXPECT_FALSE(testsupport::exists(left_dir.sub("with space.txt")));
}

// Drawing faults found while checking what the pointer hits.
TEST_F(Pointer, CellsScrolledSidewaysStopAtTheVerticalScrollTrack) {
    SettingsStore::instance().mutable_get().col_w_name = 700;
    peer.pane_hscroll()[1] = 294; // puts the size cells' right edge under the track
    frame();
    ASSERT_GT(peer.pane_vtrack_h()[1], 0);
    const App::Layout& l = app.layout();
    const int track_x = int(l.right_x + l.right_w - metrics::kVScrollBarW);
    const int top = int(peer.pane_vtrack_y()[1]) + 1, bottom = int(top + peer.pane_vtrack_h()[1]) - 2;
    for (int x = track_x; x < track_x + 2; ++x) {
        const std::string colour = canvas.hex(x, top);
        for (int y = top; y < bottom; ++y)
            ASSERT_EQ(canvas.hex(x, y), colour) << x << "," << y;
    }
}

TEST_F(Pointer, AtAFractionalScaleTheWindowHasNoSeeThroughSeams) {
    SettingsStore::instance().mutable_get().font_scale = 125;
    Canvas scaled(1251, 903);
    scaled.draw(app);
    ASSERT_DOUBLE_EQ(app.ui_scale(), 1.25);
    int holes = 0;
    for (int y = 0; y < scaled.height(); ++y)
        for (int x = 0; x < scaled.width(); ++x)
            holes += (scaled.raw(x, y) >> 24) != 0xff ? 1 : 0;
    EXPECT_EQ(holes, 0);
}

TEST_F(Pointer, HoverSetsTheCursorShapeOverEdgesAndMenusFollowThePointer) {
    const App::HitRect* edge = region(Hit::ColumnResize, int(ColumnId::Size));
    ASSERT_NE(edge, nullptr);
    app.handle_motion(edge->x + edge->w / 2, edge->y + 2, 0);
    ASSERT_NE(peer.cursor_name(), nullptr);
    EXPECT_STREQ(peer.cursor_name(), "col-resize");
    ASSERT_TRUE(peer.hover().has_value());
    EXPECT_EQ(peer.hover()->what, Hit::ColumnResize);
    const App::HitRect* a = row("a.txt");
    app.handle_motion(a->x + 30, a->y + 5, 0);
    EXPECT_EQ(peer.cursor_name(), nullptr);
    EXPECT_EQ(peer.hover()->what, Hit::PaneRow);
    // Without a menu open, passing over the titles opens nothing.
    const App::HitRect* title = region(Hit::MenuTitle, 1);
    app.handle_motion(title->x + 3, title->y + 3, 0);
    EXPECT_EQ(peer.open_menu(), -1);
    app.handle_leave();
    EXPECT_FALSE(peer.hover().has_value());
}

TEST_F(Pointer, TheDialogGripResizesAroundTheCentreWithinLimitsAndSavesOnRelease) {
    app.show_message("sized", "text", false);
    frame();
    peer.overlay_min_w() = 300;
    peer.overlay_min_h() = 200;
    App::HitRect grip;
    grip.x = 700, grip.y = 500, grip.w = 14, grip.h = 14;
    grip.what = Hit::OverlayResize;
    grip.in_overlay = true;
    peer.hits().push_back(grip);
    app.handle_click(705, 505, 1, 0, 1);
    const App::Layout& l = app.layout();
    app.handle_motion(l.width / 2 + 250, l.height / 2 + 150, GDK_BUTTON1_MASK);
    EXPECT_EQ(SettingsStore::instance().get().archive_view_w, 500);
    EXPECT_EQ(SettingsStore::instance().get().archive_view_h, 300);
    app.handle_motion(l.width + 400, l.height / 2 + 10, GDK_BUTTON1_MASK);
    EXPECT_EQ(SettingsStore::instance().get().archive_view_w, int(l.width - 40));
    EXPECT_EQ(SettingsStore::instance().get().archive_view_h, 200);
    EXPECT_EQ(settings_file().find("\"archive_view_w\": " + std::to_string(int(l.width - 40))),
              std::string::npos);
    app.handle_release();
    EXPECT_NE(settings_file().find("\"archive_view_w\": " + std::to_string(int(l.width - 40))),
              std::string::npos)
        << settings_file();
}
