// Screen layout, UI scale, the hit list and the drawing primitives, rendered off-screen.
#include "ui/app.h"
#include "app_peer.h"
#include "base/i18n.h"
#include "config/settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using testsupport::Canvas;
using Hit = App::Hit;

namespace {

class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        saved = SettingsStore::instance().get();
        Settings& s = SettingsStore::instance().mutable_get();
        s.font_scale = 100;
        s.font_family.clear();
        peer.pane(false).navigate_to(dir.path(), true);
        peer.pane(true).navigate_to(dir.path(), true);
    }
    void TearDown() override { SettingsStore::instance().mutable_get() = saved; }

    Settings saved;
    testsupport::TempDir dir{"tavrin-layout"};
    App app;
    AppTestPeer peer{app};
};

struct ScaleCase {
    const char* name;
    int font_scale;
    int px_w, px_h;
    double scale;
    double width, height; // layout units
};

TEST_F(LayoutTest, UiScaleComesFromFontScaleClampedAndDividesTheWindow) {
    const std::vector<ScaleCase> cases = {
        {"normal", 100, 1200, 800, 1.0, 1200, 800},
        {"one and a half", 150, 1500, 900, 1.5, 1000, 600},
        {"below the floor", 50, 700, 700, 0.7, 1000, 1000},
        {"above the ceiling", 250, 2000, 1400, 2.0, 1000, 700},
        {"double", 200, 2400, 1600, 2.0, 1200, 800},
    };
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsStore::instance().mutable_get().font_scale = c.font_scale;
        Canvas canvas(c.px_w, c.px_h);
        canvas.draw(app);
        EXPECT_DOUBLE_EQ(app.ui_scale(), c.scale);
        EXPECT_NEAR(app.layout().width, c.width, 1e-9);
        EXPECT_NEAR(app.layout().height, c.height, 1e-9);
        // The banner of the left pane is registered in layout units, not pixels.
        bool found = false;
        for (const auto& h : app.hits())
            if (h.what == Hit::PaneBanner && !h.right) {
                found = true;
                EXPECT_DOUBLE_EQ(h.w, app.layout().left_w);
            }
        EXPECT_TRUE(found);
        // Outside a frame there is no cairo context.
        EXPECT_EQ(peer.cr(), nullptr);
    }
}

struct GeometryCase {
    const char* name;
    double width, height;
    double left_w, right_x, right_w, pane_h, status_y;
    int visible_rows;
};

TEST_F(LayoutTest, PaneGeometryForWindowSizes) {
    const std::vector<GeometryCase> cases = {
        {"odd width gives the right pane the extra unit", 1001, 730, 458, 542, 459, 612, 706, 20},
        {"even width", 1000, 700, 458, 542, 458, 582, 676, 18},
        {"wide", 1920, 1080, 918, 1002, 918, 962, 1056, 34},
        {"too short for one row still reports one", 1000, 260, 458, 542, 458, 142, 236, 1},
        {"negative room still reports one", 1000, 100, 458, 542, 458, -18, 76, 1},
        {"exactly one row", 1000, 274, 458, 542, 458, 156, 250, 1},
        {"just under two rows", 1000, 297, 458, 542, 458, 179, 273, 1},
        {"two rows", 1000, 298, 458, 542, 458, 180, 274, 2},
    };
    for (const GeometryCase& c : cases) {
        SCOPED_TRACE(c.name);
        App::Layout l = app.compute_layout(c.width, c.height);
        EXPECT_EQ(l.menu_h, 30);
        EXPECT_EQ(l.header_y, 30);
        EXPECT_EQ(l.header_h, 64);
        EXPECT_EQ(l.progress_y, 94);
        EXPECT_EQ(l.progress_h, 0);
        EXPECT_EQ(l.pane_y, 94);
        EXPECT_EQ(l.left_x, 0);
        EXPECT_EQ(l.left_w, c.left_w);
        EXPECT_EQ(l.bridge_x, c.left_w);
        EXPECT_EQ(l.bridge_w, 84);
        EXPECT_EQ(l.right_x, c.right_x);
        EXPECT_EQ(l.right_w, c.right_w);
        EXPECT_EQ(l.status_y, c.status_y);
        EXPECT_EQ(l.pane_h, c.pane_h);
        EXPECT_EQ(l.row_h, 24);
        EXPECT_EQ(l.visible_rows, c.visible_rows);
        EXPECT_EQ(l.right_x + l.right_w, c.width);
    }
}

struct ProgressCase {
    const char* name;
    bool copy_running, bg_running;
    double hold_in; // seconds from now until the hold ends; 0 for no hold
    bool result;
    double progress_h;
};

TEST_F(LayoutTest, ProgressPanelHeightFollowsWorkHoldAndResult) {
    const std::vector<ProgressCase> cases = {
        {"idle", false, false, 0, false, 0},
        {"result only", false, false, 0, true, 34},
        {"copy running", true, false, 0, false, 76},
        {"task running", false, true, 0, false, 76},
        {"running beats a result", true, false, 0, true, 76},
        {"holding", false, false, 2.0, false, 76},
        {"collapsing, a quarter second left", false, false, 0.25, true, 55},
        {"hold passed with a result", false, false, -1.0, true, 34},
        {"hold passed without a result", false, false, -1.0, false, 0},
    };
    for (const ProgressCase& c : cases) {
        SCOPED_TRACE(c.name);
        peer.frame_copy().running = c.copy_running;
        peer.frame_bg().running = c.bg_running;
        peer.result().valid = c.result;
        peer.progress_hold_until() = c.hold_in == 0 ? 0 : App::now_seconds() + c.hold_in;
        App::Layout l = app.compute_layout(1200, 800);
        // The collapse is linear in time; allow for the microseconds the call itself takes.
        EXPECT_NEAR(l.progress_h, c.progress_h, 0.05);
        EXPECT_NEAR(l.pane_y, 94 + c.progress_h, 0.05);
        EXPECT_NEAR(l.pane_h, 776 - 94 - c.progress_h, 0.05);
    }
}

TEST_F(LayoutTest, ResultMovesThePanesDownInARenderedFrame) {
    peer.result().valid = true;
    Canvas canvas(1100, 720);
    canvas.draw(app);
    EXPECT_EQ(app.layout().pane_y, 128);
    for (const auto& h : app.hits())
        if (h.what == Hit::PaneBanner) {
            EXPECT_EQ(h.y, 128);
        }
}

struct HitCase {
    const char* name;
    double x, y;
    Hit expected; // None: nothing found
};

TEST_F(LayoutTest, HitTestFindsTheTopmostRegionWithHalfOpenEdges) {
    Canvas canvas(100, 100);
    peer.hits().clear();
    peer.add_hit(10, 10, 50, 50, Hit::PaneRow, 3, false);
    peer.add_hit(30, 30, 50, 50, Hit::MenuItem, 7, false);
    peer.add_hit(0, 0, 5, 5, Hit::PathBar, 0, true);
    const std::vector<HitCase> cases = {
        {"only the lower one", 15, 15, Hit::PaneRow},
        {"overlap goes to the later one", 40, 40, Hit::MenuItem},
        {"left and top edges are inside", 30, 30, Hit::MenuItem},
        {"right edge is outside", 80, 40, Hit::None},
        {"bottom edge is outside", 40, 80, Hit::None},
        {"just inside the right edge", 79.99, 40, Hit::MenuItem},
        {"lower region's right edge inside the upper one", 60, 40, Hit::MenuItem},
        {"lower region's right edge below nothing", 60, 20, Hit::None},
        {"origin", 0, 0, Hit::PathBar},
        {"nothing", 95, 5, Hit::None},
    };
    for (const HitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const App::HitRect* r = app.hit_test(c.x, c.y);
        if (c.expected == Hit::None) {
            EXPECT_EQ(r, nullptr);
        } else {
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->what, c.expected);
        }
    }
    peer.hits().clear();
    EXPECT_EQ(app.hit_test(15, 15), nullptr);
}

TEST_F(LayoutTest, HitsCarryTheOverlayAndMenuFlagsOfTheirMoment) {
    peer.hits().clear();
    peer.add_hit(0, 0, 1, 1, Hit::PaneRow);
    peer.drawing_menu() = true;
    peer.add_hit(0, 0, 1, 1, Hit::MenuItem, 5);
    peer.drawing_menu() = false;
    peer.drawing_overlay() = true;
    peer.add_hit(0, 0, 1, 1, Hit::Overlay, 9);
    peer.drawing_overlay() = false;
    ASSERT_EQ(peer.hits().size(), 3u);
    EXPECT_FALSE(peer.hits()[0].in_menu);
    EXPECT_FALSE(peer.hits()[0].in_overlay);
    EXPECT_TRUE(peer.hits()[1].in_menu);
    EXPECT_FALSE(peer.hits()[1].in_overlay);
    EXPECT_FALSE(peer.hits()[2].in_menu);
    EXPECT_TRUE(peer.hits()[2].in_overlay);
    EXPECT_EQ(peer.hits()[2].param, 9);
}

TEST_F(LayoutTest, EveryFrameRebuildsTheHitListInsteadOfAppending) {
    Canvas canvas(1100, 720);
    canvas.draw(app);
    size_t first = app.hits().size();
    ASSERT_GT(first, 10u);
    canvas.draw(app);
    EXPECT_EQ(app.hits().size(), first);
}

TEST_F(LayoutTest, DrivePopupPassFlagIsClearedAfterTheFrame) {
    peer.open_drive_picker() = 1;
    Canvas canvas(1100, 720);
    canvas.draw(app);
    EXPECT_FALSE(peer.drive_popup_pass());
}

TEST_F(LayoutTest, HitAndOverlayNames) {
    const std::vector<std::pair<int, std::string>> hits = {
        {0, "None"},         {1, "MenuTitle"},      {3, "PaneRow"},
        {12, "PathEdit"},    {17, "SearchClear"},   {18, "BridgeCopy"},
        {27, "BridgeTrash"}, {31, "OverlayResize"}, {32, "ColumnResize"},
        {35, "Overlay"},     {38, "ErrorBanner"},   {42, "PermBit"},
        {43, "?"},           {1000, "?"},           {-1, "?"},
    };
    for (auto& [value, name] : hits)
        EXPECT_EQ(App::hit_name(Hit(value)), name) << value;
    const std::vector<std::pair<int, std::string>> overlays = {
        {0, "None"},     {1, "About"},        {3, "Conflict"}, {6, "ConfirmDelete"},
        {12, "Message"}, {19, "ArchiveView"}, {20, "HexView"}, {22, "Licenses"},
        {23, "?"},       {-5, "?"},
    };
    for (auto& [value, name] : overlays)
        EXPECT_EQ(App::overlay_name(App::Overlay(value)), name) << value;
}

// Ink columns of the row band [y0, y1) within [x0, x1): the first and one past the last column that differ
// from the colour at (x0, y0).
std::pair<int, int> ink_columns(Canvas& c, int x0, int x1, int y0, int y1) {
    uint32_t bg = c.raw(x0, y0);
    int first = -1, last = -1;
    for (int x = x0; x < x1; ++x)
        for (int y = y0; y < y1; ++y)
            if (c.raw(x, y) != bg) {
                if (first < 0) first = x;
                last = x + 1;
                break;
            }
    return {first, last};
}

TEST_F(LayoutTest, TextFollowsTheScaleFromFrameToFrameAndBack) {
    Canvas a(1200, 800), c(1200, 800), b(2400, 1600);
    a.draw(app);
    SettingsStore::instance().mutable_get().font_scale = 200;
    b.draw(app);
    SettingsStore::instance().mutable_get().font_scale = 100;
    c.draw(app);
    // Same state, same scale: the very same pixels, whatever was shaped in between (the panes and the
    // bridge; the header band animates with the clock).
    int differing = 0;
    for (int y = 94; y < 800; ++y)
        for (int x = 0; x < 1200; ++x)
            differing += a.raw(x, y) != c.raw(x, y);
    EXPECT_EQ(differing, 0);
    // The banner label ("SOURCE", from x 16) is twice as wide at twice the scale.
    auto [a0, a1] = ink_columns(a, 8, 200, 94 + 4, 94 + 24);
    auto [b0, b1] = ink_columns(b, 16, 400, 2 * (94 + 4), 2 * (94 + 24));
    ASSERT_GT(a1 - a0, 20);
    EXPECT_NEAR(double(b1 - b0) / double(a1 - a0), 2.0, 0.15);
    EXPECT_NEAR(b0, 2 * a0, 3);
}

// Primitives draw into a plain canvas with the frame's context set by hand.
class PrimitiveTest : public LayoutTest {
protected:
    void SetUp() override {
        LayoutTest::SetUp();
        cairo_set_source_rgb(canvas.cr(), 1, 1, 1);
        cairo_paint(canvas.cr());
        peer.cr() = canvas.cr();
    }
    void TearDown() override {
        peer.cr() = nullptr;
        LayoutTest::TearDown();
    }
    // Columns [x0, x1) and rows [y0, y1) that hold any non-white pixel.
    bool ink_box(int& x0, int& y0, int& x1, int& y1) {
        x0 = y0 = 1 << 30;
        x1 = y1 = -1;
        for (int y = 0; y < canvas.height(); ++y)
            for (int x = 0; x < canvas.width(); ++x)
                if ((canvas.raw(x, y) & 0xffffff) != 0xffffff) {
                    x0 = std::min(x0, x);
                    y0 = std::min(y0, y);
                    x1 = std::max(x1, x + 1);
                    y1 = std::max(y1, y + 1);
                }
        return x1 >= 0;
    }
    Canvas canvas{400, 120};
};

TEST_F(PrimitiveTest, ColoursParseOrShowMagenta) {
    struct Case {
        std::string colour;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"#3366CC", "#3366CC"}, {"3366cc", "#3366CC"}, {"not a colour", "#FF00FF"},
        {"", "#FF00FF"},        {"#12345", "#FF00FF"},
    };
    int x = 0;
    for (const Case& c : cases) {
        peer.fill_rect(x, 0, 10, 10, c.colour);
        EXPECT_EQ(canvas.hex(x + 5, 5), c.expected) << c.colour;
        x += 10;
    }
    // Alpha blends over what is there.
    peer.fill_rect(100, 0, 10, 10, "#000000", 0.5);
    EXPECT_LE(testsupport::colour_distance(canvas.rgb(105, 5), Rgb{0.5, 0.5, 0.5}), 1);
}

TEST_F(PrimitiveTest, RoundedCornersUseAtMostHalfTheShorterSide) {
    // Radius 100 on a 60 x 20 box becomes 10: the ends are half circles.
    peer.fill_rounded(20, 20, 60, 20, 100, "#000000");
    EXPECT_EQ(canvas.hex(50, 30), "#000000"); // middle
    EXPECT_EQ(canvas.hex(20, 20), "#FFFFFF"); // corner outside the arc
    EXPECT_EQ(canvas.hex(78, 21), "#FFFFFF");
    EXPECT_EQ(canvas.hex(21, 30), "#000000"); // the arc reaches the side at mid-height
    EXPECT_EQ(canvas.hex(40, 21), "#000000"); // straight top edge between the arcs
    // Radius 0 keeps square corners.
    peer.fill_rounded(100, 20, 20, 20, 0, "#000000");
    EXPECT_EQ(canvas.hex(100, 20), "#000000");
    EXPECT_EQ(canvas.hex(119, 39), "#000000");
}

TEST_F(PrimitiveTest, EmptyTextAndNonPositiveClipDrawNothing) {
    EXPECT_EQ(peer.text_width("", 12.5), 0);
    peer.draw_text("", 10, 50, 12.5, "#000000");
    peer.draw_text_right("", 300, 50, 12.5, "#000000");
    EXPECT_EQ(peer.draw_text_clipped("", 10, 50, 100, 12.5, "#000000"), 0);
    EXPECT_EQ(peer.draw_text_clipped("visible?", 10, 50, 0, 12.5, "#000000"), 0);
    EXPECT_EQ(peer.draw_text_clipped("visible?", 10, 50, -4, 12.5, "#000000"), 0);
    int x0, y0, x1, y1;
    EXPECT_FALSE(ink_box(x0, y0, x1, y1));
}

TEST_F(PrimitiveTest, TextIsVerticallyCentredOnY) {
    peer.draw_text("Hxg", 20, 60, 20, "#000000");
    int x0, y0, x1, y1;
    ASSERT_TRUE(ink_box(x0, y0, x1, y1));
    EXPECT_GE(x0, 20);
    EXPECT_LE(x0, 24);
    // Capital and descender together straddle the centre line.
    EXPECT_LT(y0, 58);
    EXPECT_GT(y1, 62);
    EXPECT_NEAR((y0 + y1) / 2.0, 60, 5);
}

TEST_F(PrimitiveTest, RightAlignedTextEndsAtX) {
    double w = peer.text_width("Right", 14);
    ASSERT_GT(w, 10);
    peer.draw_text_right("Right", 300, 60, 14, "#000000");
    int x0, y0, x1, y1;
    ASSERT_TRUE(ink_box(x0, y0, x1, y1));
    EXPECT_LE(x1, 301);
    EXPECT_GE(x1, 300 - 4);
    EXPECT_NEAR(x0, 300 - w, 3);
}

TEST_F(PrimitiveTest, ClippedTextFitsOrIsEllipsizedToTheWidth) {
    const std::string text = "A rather long file name that cannot fit.txt";
    double full = peer.text_width(text, 12.5);
    ASSERT_GT(full, 120);
    // Fits: the full width is used and returned.
    EXPECT_DOUBLE_EQ(peer.draw_text_clipped(text, 10, 20, full + 5, 12.5, "#000000"), full);
    // Does not fit: max_w is returned and no ink goes past it.
    cairo_set_source_rgb(canvas.cr(), 1, 1, 1);
    cairo_paint(canvas.cr());
    EXPECT_DOUBLE_EQ(peer.draw_text_clipped(text, 10, 60, 120, 12.5, "#000000"), 120);
    int x0, y0, x1, y1;
    ASSERT_TRUE(ink_box(x0, y0, x1, y1));
    EXPECT_LE(x1, 10 + 120 + 1);
    // The ellipsis fills the room almost to its end rather than cutting the text early.
    EXPECT_GT(x1, 10 + 120 - 20);
    // The layout is reused: the next unclipped text is not ellipsized any more.
    EXPECT_DOUBLE_EQ(peer.text_width(text, 12.5), full);
}

TEST_F(PrimitiveTest, BoldAndMonospacedTextMeasureDifferently) {
    double regular = peer.text_width("iiiiiiiiii", 12.5);
    double mono = peer.text_width("iiiiiiiiii", 12.5, false, true);
    double bold = peer.text_width("The quick brown fox jumps over the lazy dog", 12.5, true);
    double normal = peer.text_width("The quick brown fox jumps over the lazy dog", 12.5);
    EXPECT_GT(mono, regular); // narrow letters take a full cell in a monospaced font
    EXPECT_GT(bold, normal);
    EXPECT_NEAR(peer.text_width("abc", 25) / peer.text_width("abc", 12.5), 2.0, 0.25);
}

TEST_F(PrimitiveTest, PrimitivesOutsideAFrameDoNothing) {
    peer.cr() = nullptr;
    EXPECT_EQ(peer.text_width("abc", 12.5), 0);
    peer.fill_rect(0, 0, 400, 120, "#000000");
    peer.draw_text("abc", 10, 50, 12.5, "#000000");
    int x0, y0, x1, y1;
    EXPECT_FALSE(ink_box(x0, y0, x1, y1));
}

} // namespace
