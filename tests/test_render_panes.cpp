// The pane view rendered off-screen: hit regions, colours at layout positions, text shaping and shortening.
#include "ui/app.h"
#include "app_peer.h"
#include "base/format.h"
#include "base/i18n.h"
#include "config/settings.h"
#include "base/strutil.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using testsupport::Canvas;
using testsupport::colour_distance;
using testsupport::rgb_of;
using Hit = App::Hit;

namespace {

const std::string kArabic = "مرحبا بالعالم.txt";
const std::string kHebrew = "שלום עולם.txt";
const std::string kBadName = std::string("bad\xff\xfe name.txt");
const std::string kLongName = std::string(180, 'L') + ".txt";

class RenderPanes : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
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
        for (const std::string& n :
             {std::string("a.txt"), std::string("pack.tar.gz"), kArabic, kHebrew, kBadName, kLongName})
            testsupport::write_file(left_dir + "/" + n, "hello");
        testsupport::write_file(left_dir + "/run.sh", "#!/bin/sh\n", 0755);
        EXPECT_EQ(symlink("a.txt", (left_dir + "/link").c_str()), 0);
        EXPECT_EQ(symlink("docs", (left_dir + "/dirlink").c_str()), 0);
        EXPECT_EQ(symlink("missing-target", (left_dir + "/broken").c_str()), 0);
        for (int i = 0; i < 60; ++i)
            testsupport::write_file(right_dir + "/file" + std::to_string(i) + ".dat",
                                    std::string(size_t(i), 'x'));

        peer.pane(false).navigate_to(left_dir, true);
        peer.pane(true).navigate_to(right_dir, true);
        peer.active_right() = false;
    }
    void TearDown() override { SettingsStore::instance().mutable_get() = saved; }

    std::vector<App::HitRect> find(Hit what, bool right) {
        std::vector<App::HitRect> out;
        for (const auto& h : app.hits())
            if (h.what == what && h.right == right) out.push_back(h);
        return out;
    }
    const App::HitRect* find_one(Hit what, int param, bool right) {
        for (const auto& h : app.hits())
            if (h.what == what && h.param == param && h.right == right) return &h;
        return nullptr;
    }
    int index_of(Hit what, bool right) {
        for (size_t i = 0; i < app.hits().size(); ++i)
            if (app.hits()[i].what == what && app.hits()[i].right == right) return int(i);
        return -1;
    }
    const App::HitRect* row_named(const std::string& name, bool right = false) {
        for (const auto& h : app.hits())
            if (h.what == Hit::PaneRow && h.right == right && h.label == name) return &h;
        return nullptr;
    }
    int row_index(const std::string& name) {
        const auto& e = peer.pane(false).entries();
        for (size_t i = 0; i < e.size(); ++i)
            if (e[i].name == name) return int(i);
        return -1;
    }
    // Pixels of the band [x0, x1) x [y0, y1) that stand out from `bg`.
    int ink(Canvas& c, int x0, int y0, int x1, int y1, const std::string& bg, int* right_end = nullptr) {
        Rgb b = rgb_of(bg);
        int count = 0, end = -1;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (colour_distance(c.rgb(x, y), b) > 60) {
                    ++count;
                    end = std::max(end, x + 1);
                }
        if (right_end) *right_end = end;
        return count;
    }

    Settings saved;
    testsupport::TempDir dir{"tavrin-render"};
    std::string left_dir, right_dir;
    App app;
    AppTestPeer peer{app};
};

struct Region {
    const char* name;
    Hit what;
    int param;
    bool right;
    double x, y, w, h;
};

TEST_F(RenderPanes, RegistersEveryPaneRegionWithKindParamSideAndPlace) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const App::Layout& l = app.layout();
    ASSERT_EQ(l.left_w, 558);
    ASSERT_EQ(l.right_x, 642);
    ASSERT_EQ(l.pane_y, 94);
    ASSERT_EQ(l.pane_h, 682);
    const double left_view = 558; // the left pane fits: no vertical bar
    const double list_h = 682 - 132;
    // Default columns: size and modified.
    const double name_edge_left = 10 + (558 - 20 - (78 + 16) - (104 + 16));
    const std::vector<Region> regions = {
        {"left banner", Hit::PaneBanner, 0, false, 0, 94, 558, 28},
        {"right banner", Hit::PaneBanner, 0, true, 642, 94, 558, 28},
        {"left drive picker", Hit::DrivePicker, 0, false, 10, 126, 502, 26},
        {"right drive picker", Hit::DrivePicker, 0, true, 652, 126, 502, 26},
        {"left path edit", Hit::PathEdit, 0, false, 518, 126, 30, 26},
        {"right path edit", Hit::PathEdit, 0, true, 1160, 126, 30, 26},
        {"left path bar", Hit::PathBar, 0, false, 0, 156, 558, 26},
        {"right header menu", Hit::PaneHeaderMenu, 0, true, 642, 182, 558, 26},
        {"left list", Hit::PaneBackground, 0, false, 0, 208, left_view, list_h},
        {"right list under its scroll bar", Hit::PaneBackground, 0, true, 642, 208, 558, list_h},
        {"left first row", Hit::PaneRow, 0, false, 0, 208, left_view, 24},
        {"right third row under its scroll bar", Hit::PaneRow, 2, true, 642, 256, 558, 24},
        {"name column edge", Hit::ColumnResize, -1, false, name_edge_left - 6, 182, 12, 26},
        {"size column edge", Hit::ColumnResize, int(ColumnId::Size), false, name_edge_left + 16 + 78 - 6, 182,
         12, 26},
        {"modified column edge", Hit::ColumnResize, int(ColumnId::Modified), false,
         name_edge_left + 16 + 78 + 16 + 104 - 6, 182, 12, 26},
    };
    for (const Region& r : regions) {
        SCOPED_TRACE(r.name);
        const App::HitRect* h = find_one(r.what, r.param, r.right);
        ASSERT_NE(h, nullptr);
        EXPECT_NEAR(h->x, r.x, 1e-9);
        EXPECT_NEAR(h->y, r.y, 1e-9);
        EXPECT_NEAR(h->w, r.w, 1e-9);
        EXPECT_NEAR(h->h, r.h, 1e-9);
        EXPECT_FALSE(h->in_menu);
        EXPECT_FALSE(h->in_overlay);
    }

    // Header cells carry their sort keys.
    for (bool right : {false, true}) {
        std::vector<int> keys;
        for (const auto& h : find(Hit::PaneHeader, right))
            keys.push_back(h.param);
        EXPECT_EQ(keys, (std::vector<int>{int(dir_lister::SortKey::Name), int(dir_lister::SortKey::Size),
                                          int(dir_lister::SortKey::Modified)}));
    }
    // One row region per visible entry, in order, labelled with the name.
    auto rows = find(Hit::PaneRow, true);
    ASSERT_EQ(rows.size(), size_t(std::ceil(list_h / 24)));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].param, int(i));
        EXPECT_EQ(rows[i].label, peer.pane(true).entries()[i].name);
    }
    // Scroll thumb only where the rows do not fit; no horizontal scrolling with the default columns.
    EXPECT_TRUE(find(Hit::ScrollThumb, false).empty());
    ASSERT_EQ(find(Hit::ScrollThumb, true).size(), 1u);
    const App::HitRect thumb = find(Hit::ScrollThumb, true)[0];
    EXPECT_EQ(thumb.x, 1200 - 11);
    EXPECT_EQ(thumb.y, 208);
    EXPECT_NEAR(thumb.h, std::max(28.0, 22.0 / 61 * list_h), 1e-9);
    EXPECT_TRUE(find(Hit::PaneHScroll, false).empty());
    EXPECT_TRUE(find(Hit::SearchBar, false).empty());

    // Path segments: "/" first, the last one counts all segments.
    auto segs = find(Hit::PathSegment, false);
    ASSERT_GE(segs.size(), 2u);
    EXPECT_EQ(segs.front().param, 0);
    EXPECT_EQ(segs.front().label, "/");
    size_t depth = 0;
    for (char c : left_dir)
        depth += c == '/';
    EXPECT_EQ(segs.back().param, int(depth));
    EXPECT_EQ(segs.back().label, "left");

    // Paint order: each pane top to bottom, the left pane before the right one.
    std::vector<int> order;
    for (bool right : {false, true})
        for (Hit what :
             {Hit::PaneBanner, Hit::DrivePicker, Hit::PathEdit, Hit::PathBar, Hit::PathSegment,
              Hit::PaneHeaderMenu, Hit::PaneHeader, Hit::ColumnResize, Hit::PaneBackground, Hit::PaneRow})
            order.push_back(index_of(what, right));
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_GE(order[i], 0) << i;
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

struct PointCase {
    const char* name;
    double x, y;
    Hit what;
    int param;
    bool right;
};

TEST_F(RenderPanes, HitTestOnAFrameFindsTheTopmostElement) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const double name_edge = 10 + (558 - 20 - 214);
    const std::vector<PointCase> cases = {
        {"banner", 300, 100, Hit::PaneBanner, 0, false},
        {"name header cell over the header menu", 40, 190, Hit::PaneHeader, 0, false},
        {"size header cell", name_edge + 60, 190, Hit::PaneHeader, int(dir_lister::SortKey::Size), false},
        {"column edge over the cells", name_edge + 3, 190, Hit::ColumnResize, -1, false},
        {"second row", 100, 208 + 24 + 5, Hit::PaneRow, 1, false},
        {"below the last row", 100, 700, Hit::PaneBackground, 0, false},
        {"root segment over the path bar", 12, 168, Hit::PathSegment, 0, false},
        {"right of the segments", 540, 168, Hit::PathBar, 0, false},
        {"right pane's scroll thumb", 1195, 215, Hit::ScrollThumb, 0, true},
        {"right pane row beside the thumb", 1180, 215, Hit::PaneRow, 0, true},
        {"right pane's scroll track below the thumb is still a row", 1195, 208 + 24 * 20 + 5, Hit::PaneRow,
         20, true},
    };
    for (const PointCase& c : cases) {
        SCOPED_TRACE(c.name);
        const App::HitRect* h = app.hit_test(c.x, c.y);
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(App::hit_name(h->what), App::hit_name(c.what));
        EXPECT_EQ(h->param, c.param);
        EXPECT_EQ(h->right, c.right);
    }
}

TEST_F(RenderPanes, DrivePopupLiesOverThePanesAndWinsTheHitTest) {
    peer.open_drive_picker() = 0;
    peer.drive_hover() = 1;
    peer.pane(true).set_filter("file1", true);
    peer.path_edit() = 1;
    peer.path_buffer() = right_dir + "/nowhere";
    peer.path_caret() = peer.path_buffer().size();
    peer.path_error() = "No such folder";
    Canvas canvas(1200, 800);
    canvas.draw(app);
    canvas.write_png(std::string(TAVRIN_BUILD_DIR) + "/render-panes-popup.png");
    auto items = find(Hit::DriveItem, false);
    ASSERT_FALSE(items.empty());
    // Registered after everything of both panes.
    int first_item = index_of(Hit::DriveItem, false);
    for (size_t i = 0; i < size_t(first_item); ++i)
        EXPECT_NE(app.hits()[i].what, Hit::DriveItem);
    EXPECT_GT(first_item, index_of(Hit::PaneRow, true));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].param, int(i));
        EXPECT_EQ(items[i].x, 10);
        EXPECT_EQ(items[i].w, 502);
        EXPECT_EQ(items[i].y, 126 + 26 + 2 + 4 + 30.0 * double(i));
        EXPECT_EQ(items[i].h, 30);
        EXPECT_FALSE(items[i].label.empty());
    }
    const App::HitRect* h = app.hit_test(100, items[0].y + 15);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->what, Hit::DriveItem);
    EXPECT_EQ(h->param, 0);
}

TEST_F(RenderPanes, SearchBarPushesTheColumnsDownAndOffersClear) {
    peer.pane(false).set_filter("a", true);
    peer.search_pane() = 1;
    Canvas canvas(1200, 800);
    canvas.draw(app);
    for (bool right : {false, true}) {
        SCOPED_TRACE(right ? "right, typing" : "left, filtered");
        const App::HitRect* bar = find_one(Hit::SearchBar, 0, right);
        ASSERT_NE(bar, nullptr);
        double x = right ? 642 : 0;
        EXPECT_EQ(bar->x, x + 10);
        EXPECT_EQ(bar->y, 94 + 88 + 3);
        EXPECT_EQ(bar->w, 558 - 20 - 22);
        EXPECT_EQ(bar->h, 22);
        const App::HitRect* header = find_one(Hit::PaneHeaderMenu, 0, right);
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->y, 94 + 88 + 28);
        const App::HitRect* list = find_one(Hit::PaneBackground, 0, right);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->h, 682 - 132 - 28);
    }
    // A filter can be cleared; an empty search buffer has nothing to clear.
    const App::HitRect* clear = find_one(Hit::SearchClear, 0, false);
    ASSERT_NE(clear, nullptr);
    EXPECT_EQ(clear->x, 10 + 538 - 13 - 9);
    EXPECT_EQ(clear->w, 18);
    EXPECT_EQ(find_one(Hit::SearchClear, 0, true), nullptr);
    peer.search_buffer() = "fi";
    peer.search_caret() = 2;
    canvas.draw(app);
    EXPECT_NE(find_one(Hit::SearchClear, 0, true), nullptr);
}

TEST_F(RenderPanes, ColumnsScrollSidewaysOnlyWhenThePaneIsNarrowerThanTheirNeeds) {
    Settings& s = SettingsStore::instance().mutable_get();
    for (int id = 0; id < 7; ++id)
        set_column_enabled(s, ColumnId(id), true);
    // All seven columns at default width need 590 + 7 x 16 + 20 + 130 = 852 units.
    struct Case {
        const char* name;
        int window_w;
        double left_w;
        bool scrolls;
    };
    const std::vector<Case> cases = {
        {"exactly enough", 852 * 2 + 84, 852, false},
        {"one unit short", 852 * 2 + 84 - 1, 851, true},
        {"much too narrow", 1000, 458, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.pane_hscroll()[0] = 1e6; // clamped by the frame
        Canvas canvas(c.window_w, 800);
        canvas.draw(app);
        ASSERT_EQ(app.layout().left_w, c.left_w);
        EXPECT_EQ(peer.pane_content_w()[0], 852);
        EXPECT_EQ(peer.pane_view_w()[0], c.left_w);
        EXPECT_EQ(!find(Hit::PaneHScroll, false).empty(), c.scrolls);
        double max_scroll = std::max(0.0, 852 - c.left_w);
        EXPECT_EQ(peer.pane_hscroll()[0], max_scroll);
        double thumb = c.scrolls ? std::max(40.0, c.left_w * c.left_w / 852) : c.left_w;
        EXPECT_NEAR(peer.pane_htrack_w()[0], c.left_w - thumb, 1e-9);
        EXPECT_EQ(peer.pane_htrack_x()[0], 0);
        // Scrolled fully right, the last column's resize edge sits 10 units inside the view.
        std::vector<App::HitRect> edges = find(Hit::ColumnResize, false);
        ASSERT_FALSE(edges.empty());
        EXPECT_EQ(edges.back().param, int(ColumnId::Group));
        EXPECT_NEAR(edges.back().x + 6, c.left_w - 10, 1e-9);
        // Regions of header cells never reach past the view.
        for (const auto& h : find(Hit::PaneHeader, false)) {
            EXPECT_GE(h.x, 0);
            EXPECT_LE(h.x + h.w, c.left_w + 1e-9);
        }
    }
}

struct PaletteCase {
    const char* name;
    bool dark;
};

class RenderColours : public RenderPanes, public ::testing::WithParamInterface<PaletteCase> {};

TEST_P(RenderColours, PaletteColoursAtLayoutPositions) {
    peer.palette() = GetParam().dark ? Palette::dark_() : Palette::light();
    const Palette& p = peer.palette();
    Pane& left = peer.pane(false);
    Pane& right = peer.pane(true);
    left.clear_selection();
    left.toggle_selection(2);
    left.set_cursor(3, false);
    right.toggle_selection(4);
    right.set_cursor(0, false);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    auto row_y = [](int i) { return 208 + 24 * i; };
    struct Spot {
        const char* name;
        int x, y;
        Rgb expected;
    };
    const std::vector<Spot> spots = {
        {"source banner", 279, 119, rgb_of(p.source_tint)},
        {"target banner", 642 + 279, 119, rgb_of(p.target_tint)},
        {"active header tint", 279, 184, rgb_of(mix_hex(p.source_tint, p.bar, 0.13))},
        {"other header", 642 + 279, 184, rgb_of(p.header)},
        {"active header line", 279, 207, rgb_of(p.source_tint)},
        {"other header line", 642 + 279, 207, rgb_of(p.divider)},
        {"active path bar", 540, 160, rgb_of(p.header_active)},
        {"selected row, active pane", 551, row_y(2) + 12, rgb_of(p.selection)},
        {"selected row, other pane", 642 + 541, row_y(4) + 12,
         mix(rgb_of(p.selection), rgb_of(p.pane), 0.45)},
        {"odd row of the active pane", 551, row_y(1) + 12, rgb_of(p.row_alt)},
        {"odd row of the other pane", 642 + 541, row_y(1) + 12, rgb_of(p.pane)},
        {"cursor bar", 2, row_y(3) + 12, rgb_of(p.source_tint)},
        {"cursor outline", 279, row_y(3), mix(rgb_of(p.source_tint), rgb_of(p.row_alt), 0.55)},
        {"no cursor in the other pane", 642 + 279, row_y(0), rgb_of(p.pane)},
        {"window between the panes", 560, 400, rgb_of(p.window)},
        {"empty list area, active pane", 300, 700, rgb_of(p.pane_active)},
        {"vertical track", 1200 - 6, 750, mix(rgb_of(p.progress_track), rgb_of(p.pane), 0.5)},
    };
    for (const Spot& s : spots)
        EXPECT_LE(colour_distance(canvas.rgb(s.x, s.y), s.expected), 2)
            << s.name << ": " << canvas.hex(s.x, s.y) << " expected " << rgb_to_hex(s.expected);
    canvas.write_png(std::string(TAVRIN_BUILD_DIR) + "/render-panes-" + (GetParam().dark ? "dark" : "light") +
                     ".png");
}

INSTANTIATE_TEST_SUITE_P(Palettes, RenderColours,
                         ::testing::Values(PaletteCase{"light", false}, PaletteCase{"dark", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenderPanes, ScaledFrameDrawsTheSameLayoutLarger) {
    SettingsStore::instance().mutable_get().font_scale = 150;
    const Palette& p = peer.palette();
    Canvas canvas(1800, 1200);
    canvas.draw(app);
    EXPECT_EQ(app.layout().width, 1200);
    EXPECT_EQ(app.layout().height, 800);
    EXPECT_LE(colour_distance(canvas.rgb(int(279 * 1.5), int(119 * 1.5)), rgb_of(p.source_tint)), 2);
    EXPECT_LE(colour_distance(canvas.rgb(int((642 + 279) * 1.5), int(119 * 1.5)), rgb_of(p.target_tint)), 2);
    EXPECT_LE(colour_distance(canvas.rgb(int(279 * 1.5), int(207.5 * 1.5)), rgb_of(p.source_tint)), 2);
}

TEST_F(RenderPanes, BusyVeilAndReloadWashCoverThePanes) {
    const Palette& p = peer.palette();
    Canvas canvas(1200, 800);
    // Paint a frame by hand so that the work snapshots can be set.
    peer.cr() = canvas.cr();
    peer.frame_copy().running = true;
    peer.layout() = app.compute_layout(1200, 800);
    peer.hits().clear();
    app.draw_all(canvas.cr());
    peer.cr() = nullptr;
    const double pane_y = 94 + 76;
    EXPECT_LE(colour_distance(canvas.rgb(279, int(pane_y) + 25),
                              mix(rgb_of(p.window), rgb_of(p.source_tint), 0.45)),
              2);
    EXPECT_LE(colour_distance(canvas.rgb(300, 700), mix(rgb_of(p.window), rgb_of(p.pane_active), 0.45)), 2);

    // The wash fades with the square of the time left and is switched off once over.
    peer.reload_flash_until() = App::now_seconds() + 0.45;
    canvas.draw(app);
    Rgb washed = canvas.rgb(300, 700);
    EXPECT_GT(colour_distance(washed, rgb_of(p.pane_active)), 3);
    EXPECT_LE(colour_distance(washed, mix(rgb_of(p.accent), rgb_of(p.pane_active), 0.16)), 3);
    peer.reload_flash_until() = App::now_seconds() - 0.01;
    canvas.draw(app);
    EXPECT_EQ(peer.reload_flash_until(), 0);
    EXPECT_LE(colour_distance(canvas.rgb(300, 700), rgb_of(p.pane_active)), 2);
}

TEST_F(RenderPanes, RightToLeftNamesAreShapedWithRealGlyphs) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    for (const std::string& name : {kArabic, kHebrew}) {
        SCOPED_TRACE(name);
        const App::HitRect* row = row_named(name);
        ASSERT_NE(row, nullptr);
        int i = row->param;
        std::string bg = i % 2 ? peer.palette().row_alt : peer.palette().pane_active;
        EXPECT_GT(ink(canvas, 10, int(row->y) + 2, 300, int(row->y) + 22, bg), 40);

        // The interface font (with fallback) covers every character: no hex boxes.
        PangoLayout* layout = pango_cairo_create_layout(canvas.cr());
        PangoFontDescription* desc =
            pango_font_description_from_string((I18n::instance().ui_font_family() + " 12.5px").c_str());
        pango_layout_set_font_description(layout, desc);
        pango_layout_set_text(layout, name.c_str(), -1);
        EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout), 0);
        // And the paragraph really runs right to left.
        EXPECT_EQ(PangoDirection(pango_layout_get_line_readonly(layout, 0)->resolved_dir),
                  PANGO_DIRECTION_RTL);
        pango_font_description_free(desc);
        g_object_unref(layout);
    }
}

TEST_F(RenderPanes, InvalidUtf8IsDrawnInItsSanitisedForm) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const std::string clean = su::sanitize_utf8(kBadName);
    ASSERT_TRUE(su::is_valid_utf8(clean));
    EXPECT_NE(row_named(clean), nullptr);

    // The primitive itself sanitises: raw bytes and their clean form give the same pixels.
    Canvas a(300, 40), b(300, 40);
    for (Canvas* c : {&a, &b}) {
        cairo_set_source_rgb(c->cr(), 1, 1, 1);
        cairo_paint(c->cr());
        peer.cr() = c->cr();
        peer.draw_text(c == &a ? kBadName : clean, 5, 20, 12.5, "#000000");
        peer.cr() = nullptr;
    }
    int differing = 0, inked = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 300; ++x) {
            differing += a.raw(x, y) != b.raw(x, y);
            inked += (a.raw(x, y) & 0xffffff) != 0xffffff;
        }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(inked, 50);
}

TEST_F(RenderPanes, LongNamesAreEllipsizedInsideTheNameColumn) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const App::HitRect* row = row_named(kLongName);
    ASSERT_NE(row, nullptr);
    const App::HitRect* edge = find_one(Hit::ColumnResize, -1, false);
    ASSERT_NE(edge, nullptr);
    const int name_end = int(edge->x + 6);
    std::string bg = row->param % 2 ? peer.palette().row_alt : peer.palette().pane_active;
    int end = -1;
    EXPECT_GT(ink(canvas, 10, int(row->y) + 3, name_end + 30, int(row->y) + 21, bg, &end), 100);
    // The text runs up to the column end and stops there.
    EXPECT_LE(end, name_end + 1);
    EXPECT_GT(end, name_end - 20);
}

TEST_F(RenderPanes, LinksShowTheirTargetAfterAnArrowInTheLinkColours) {
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const Palette& p = peer.palette();
    const App::HitRect* edge = find_one(Hit::ColumnResize, -1, false);
    ASSERT_NE(edge, nullptr);
    const int name_end = int(edge->x + 6);
    struct Case {
        std::string name, shown, colour;
    };
    const std::vector<Case> cases = {
        {"broken", "broken → missing-target", p.broken_text},
        {"link", "link → a.txt", p.link_text},
        {"run.sh", "run.sh", p.exec_text},
        {"pack.tar.gz", "pack.tar.gz", p.archive_text},
        {"a.txt", "a.txt", p.text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const App::HitRect* row = row_named(c.name);
        ASSERT_NE(row, nullptr);
        std::string bg = row->param % 2 ? p.row_alt : p.pane_active;
        int end = -1;
        ink(canvas, 10, int(row->y) + 3, name_end, int(row->y) + 21, bg, &end);
        peer.cr() = canvas.cr();
        double want = peer.text_width(c.shown, 12.5);
        peer.cr() = nullptr;
        EXPECT_NEAR(end - 10, want, 3);
        // The strongest ink of the name is the kind's colour.
        int best = 255;
        for (int y = int(row->y) + 3; y < int(row->y) + 21; ++y)
            for (int x = 10; x < end; ++x)
                best = std::min(best, colour_distance(canvas.rgb(x, y), rgb_of(c.colour)));
        EXPECT_LE(best, 24);
    }
}

// Smallest distance of any pixel of the band to `colour`.
int closest(Canvas& c, int x0, int y0, int x1, int y1, const std::string& colour) {
    int best = 255;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            best = std::min(best, colour_distance(c.rgb(x, y), rgb_of(colour)));
    return best;
}

TEST_F(RenderPanes, UnreadableFolderShowsTheErrorAndAnEmptyListSaysSo) {
    peer.pane(false).navigate_to(dir.sub("missing"), true);
    ASSERT_FALSE(peer.pane(false).error().empty());
    // The root folder has no parent row, so a filter that matches nothing leaves no row at all.
    peer.pane(true).navigate_to("/", true);
    peer.pane(true).set_filter("no-such-name-qqqzzz", true);
    ASSERT_EQ(peer.pane(true).count(), 0);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    const Palette& p = peer.palette();
    EXPECT_TRUE(find(Hit::PaneRow, false).empty());
    EXPECT_TRUE(find(Hit::PaneRow, true).empty());
    EXPECT_NE(find_one(Hit::PaneBackground, 0, false), nullptr);
    // The path bar still shows where the pane is.
    auto segs = find(Hit::PathSegment, false);
    ASSERT_FALSE(segs.empty());
    EXPECT_EQ(segs.back().label, "missing");

    const int list_top = 208;
    EXPECT_GT(ink(canvas, 10, list_top + 20, 300, list_top + 36, p.pane_active), 30);
    EXPECT_LE(closest(canvas, 10, list_top + 20, 300, list_top + 36, p.danger), 24);
    EXPECT_GT(ink(canvas, 10, list_top + 41, 500, list_top + 55, p.pane_active), 20);
    EXPECT_LE(closest(canvas, 10, list_top + 41, 500, list_top + 55, p.secondary), 24);
    // The right pane (search bar shown, so its list starts 28 lower) says "empty" in the dim colour.
    const int right_top = list_top + 28;
    EXPECT_GT(ink(canvas, 652, right_top + 20, 900, right_top + 36, p.pane), 10);
    EXPECT_LE(closest(canvas, 652, right_top + 20, 900, right_top + 36, p.dim), 24);
}

TEST_F(RenderPanes, EditingAndDraggingStatesShowInTheirColours) {
    const Palette& p = peer.palette();
    const int py = 94 + 62; // path bar top
    struct Case {
        const char* name;
        std::function<void()> setup;
        int x, y;
        Rgb expected;
    };
    const std::vector<Case> cases = {
        {"path editor outline", [&] { peer.path_edit() = 0; }, 279, py + 1, rgb_of(p.accent)},
        {"path editor face", [&] { peer.path_edit() = 0; }, 540, py + 13, rgb_of(p.control)},
        {"edit button while editing", [&] { peer.path_edit() = 0; }, 518 + 4, 126 + 20, rgb_of(p.accent)},
        {"path error outline", [&] { peer.path_edit() = 0, peer.path_error() = "No such folder"; }, 279,
         py + 1, rgb_of(p.danger)},
        {"path error strip", [&] { peer.path_edit() = 0, peer.path_error() = "No such folder"; }, 540,
         py + 26 + 10, rgb_of(p.danger_bg)},
        {"drop target frame",
         [&] { peer.drag_active() = true, peer.drag_inside() = true, peer.drag_target_right() = true; },
         642 + 2, 500, rgb_of(p.ok)},
        {"folder row under a drop",
         [&] { peer.drag_active() = true, peer.drag_target_right() = false, peer.drag_row() = 1; }, 500,
         208 + 24 + 12, mix(rgb_of(p.ok), rgb_of(p.row_alt), 0.3)},
        {"rename box face",
         [&] {
             peer.pane(false).set_cursor(row_index("a.txt"), true);
             peer.pane(false).begin_rename();
         },
         200, 208 + 24 * row_index("a.txt") + 12, rgb_of(p.control)},
        {"hovered drive picker",
         [&] { peer.hover() = App::HitRect{10, 126, 502, 26, Hit::DrivePicker, 0, true, "", false, false}; },
         642 + 300, 126 + 3, rgb_of(p.control_hover)},
        {"picker of the other side not hovered",
         [&] { peer.hover() = App::HitRect{10, 126, 502, 26, Hit::DrivePicker, 0, true, "", false, false}; },
         300, 126 + 3, rgb_of(p.control)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.path_edit() = -1;
        peer.path_error().clear();
        peer.drag_active() = peer.drag_inside() = false;
        peer.drag_row() = -1;
        peer.hover().reset();
        peer.pane(false).cancel_rename();
        c.setup();
        Canvas canvas(1200, 800);
        canvas.draw(app);
        EXPECT_LE(colour_distance(canvas.rgb(c.x, c.y), c.expected), 2)
            << canvas.hex(c.x, c.y) << " expected " << rgb_to_hex(c.expected);
        if (peer.path_edit() == 0) {
            // The editor replaces the segments.
            EXPECT_TRUE(find(Hit::PathSegment, false).empty());
            EXPECT_TRUE(find(Hit::PathBar, false).empty());
        }
    }
}

TEST_F(RenderPanes, FilterCountsLeaveOutTheParentRowOnlyWhereThereIsOne) {
    const std::string folder = dir.sub("filtered");
    testsupport::make_dir(folder);
    for (int i = 0; i < 10; ++i)
        testsupport::write_file(folder + "/" + (i < 3 ? "match" : "other") + std::to_string(i), "");
    struct Case {
        const char* name;
        std::string path, filter;
        std::string expected; // empty: computed from the pane, which has no parent row
    };
    const std::vector<Case> cases = {
        {"folder with a parent row", folder, "match", "3 / 10"},
        {"root folder", "/", "e", ""},
    };
    const Palette& p = peer.palette();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pane& pane = peer.pane(false);
        pane.navigate_to(c.path, true);
        pane.set_filter(c.filter, true);
        std::string expected = c.expected;
        if (expected.empty()) {
            ASSERT_NE(pane.entries().front().kind, FsEntry::Kind::Parent);
            expected = fmt::count(pane.count()) + " / " + fmt::count(pane.unfiltered_count());
        }
        Canvas canvas(1200, 800);
        canvas.draw(app);
        // The same text drawn alone on the field's face must give the same pixels.
        const double right_edge = 10 + 538 - 26, cy = 94 + 88 + 3 + 11;
        Canvas want(1200, 800);
        peer.cr() = want.cr();
        peer.fill_rect(0, 0, 1200, 800, p.control);
        peer.draw_text_right(expected, right_edge, cy, 11, p.secondary);
        double w = peer.text_width(expected, 11);
        peer.cr() = nullptr;
        int differing = 0;
        for (int y = int(cy) - 7; y < int(cy) + 7; ++y)
            for (int x = int(right_edge - w) - 3; x < int(right_edge) + 1; ++x)
                differing += canvas.raw(x, y) != want.raw(x, y);
        EXPECT_EQ(differing, 0) << expected;
    }
}

TEST_F(RenderPanes, SearchBarShorteningTheListBringsTheScrollBar) {
    // 21 files and the parent row: 22 rows fill the list of an 800-high window exactly, but not once the
    // search bar takes its 28 units.
    const std::string folder = dir.sub("twentytwo");
    testsupport::make_dir(folder);
    for (int i = 0; i < 21; ++i)
        testsupport::write_file(folder + "/f" + std::to_string(i), "");
    peer.pane(true).navigate_to(folder, true);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    ASSERT_EQ(app.layout().visible_rows, 22);
    EXPECT_TRUE(find(Hit::ScrollThumb, true).empty());
    EXPECT_EQ(peer.pane_view_w()[1], 558);
    peer.search_pane() = 1;
    canvas.draw(app);
    ASSERT_EQ(find(Hit::ScrollThumb, true).size(), 1u);
    EXPECT_EQ(peer.pane_view_w()[1], 558 - 11);
    // Scrolled past the last full page, the thumb still ends at the bottom of the list.
    peer.pane(true).set_scroll(21, 21);
    canvas.draw(app);
    const App::HitRect thumb = find(Hit::ScrollThumb, true).at(0);
    EXPECT_LE(thumb.y + thumb.h, 94 + 682 - 18 + 1e-9);
}

TEST_F(RenderPanes, LongPathsKeepTheirTrailingSegmentsBehindAnEllipsis) {
    std::string deep = left_dir;
    for (int i = 0; i < 8; ++i) {
        deep += "/segment-number-" + std::to_string(i) + "-with-a-long-name";
        testsupport::make_dir(deep);
    }
    peer.pane(false).navigate_to(deep, true);
    Canvas canvas(1200, 800);
    canvas.draw(app);
    auto segs = find(Hit::PathSegment, false);
    size_t depth = 0;
    for (char c : deep)
        depth += c == '/';
    ASSERT_GE(segs.size(), 2u);
    EXPECT_EQ(segs.front().param, 0);
    // Leading segments were dropped, the rest runs without gaps to the last one.
    EXPECT_LT(segs.size() - 1, depth);
    EXPECT_GT(segs[1].param, 1);
    for (size_t i = 2; i < segs.size(); ++i)
        EXPECT_EQ(segs[i].param, segs[i - 1].param + 1);
    EXPECT_EQ(segs.back().param, int(depth));
    EXPECT_EQ(segs.back().label, "segment-number-7-with-a-long-name");
    EXPECT_LE(segs.back().x + segs.back().w, 558 - 10 + 3 + 1e-9);
    // Something ("…") is drawn between the root and the first kept segment.
    const std::string bg = peer.palette().header_active;
    int gap_from = int(segs[0].x + segs[0].w) + 1, gap_to = int(segs[1].x) - 1;
    ASSERT_GT(gap_to, gap_from);
    EXPECT_GT(ink(canvas, gap_from, 160, gap_to, 178, bg), 2);
}

} // namespace
