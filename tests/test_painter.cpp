// The painter on an image surface: text fields (caret, scrolling, selection, placeholder), text alignment
// and ellipsizing, state scopes, glyphs and the path helpers.
#include "ui/painter.h"
#include "ui/theme.h"

#include <gtest/gtest.h>

#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

constexpr const char* kWhite = "#FFFFFF";
constexpr const char* kBlack = "#000000";
constexpr const char* kFace = "#DDEEFF";
constexpr const char* kEdge = "#0000FF";
constexpr const char* kCaret = "#FF0000";
constexpr const char* kInk = "#000000";
constexpr const char* kHint = "#00AA00";
constexpr const char* kPick = "#FFCC00";

class PainterTest : public ::testing::Test {
protected:
    PainterTest()
        : surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 400, 100)), cr(cairo_create(surface)),
          pt(cr) {
        pt.fill_rect(0, 0, 400, 100, kWhite);
    }
    ~PainterTest() override {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }

    uint32_t raw(int x, int y) {
        cairo_surface_flush(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        return *reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride) + size_t(x) * 4) &
               0xffffff;
    }
    std::string hex(int x, int y) {
        const uint32_t px = raw(x, y);
        return rgb_to_hex(Rgb{((px >> 16) & 0xff) / 255.0, ((px >> 8) & 0xff) / 255.0, (px & 0xff) / 255.0});
    }
    // Whether any pixel in columns [x0, x1) and rows [y0, y1) differs from `colour`.
    bool any_other(int x0, int y0, int x1, int y1, const std::string& colour) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (hex(x, y) != colour) return true;
        return false;
    }
    // Anti-aliased strokes and letters rarely cover a pixel fully; these tell their colours apart from
    // what lies under them in the tests below, by the channel that differs most.
    static bool reddish(uint32_t px) { return ((px >> 16) & 0xff) > 0x80 && ((px >> 8) & 0xff) < 0x60; }
    static bool greenish(uint32_t px) { return int((px >> 8) & 0xff) - int((px >> 16) & 0xff) > 0x30; }
    static bool pickish(uint32_t px) { return ((px >> 16) & 0xff) > 0x80 && (px & 0xff) < 0x80; }
    // Columns [x0, x1) that hold a pixel matching `is` in rows [y0, y1); false when none does.
    template <class Pred> bool columns_where(Pred is, int y0, int y1, int& x0, int& x1) {
        x0 = 1 << 30;
        x1 = -1;
        for (int y = y0; y < y1; ++y)
            for (int x = 0; x < 400; ++x)
                if (is(raw(x, y))) {
                    x0 = std::min(x0, x);
                    x1 = std::max(x1, x + 1);
                }
        return x1 >= 0;
    }

    // A square field 300 x 30 at (20, 20): text from x 28, room until 312, caret kept 10 inside that.
    static TextField field() {
        TextField f;
        f.box = {20, 20, 300, 30};
        f.fill = kFace;
        f.border = kEdge;
        f.border_width = 2;
        f.pad_left = 8;
        f.pad_right = 8;
        f.caret_margin = 10;
        f.clip_slack = 2;
        f.caret_inset = 5;
        f.caret_colour = kCaret;
        f.text = TextStyle(12.5, kInk);
        f.placeholder = TextStyle(11, kHint);
        f.selection = kEdge;
        f.selection_text = kPick;
        return f;
    }

    cairo_surface_t* surface;
    cairo_t* cr;
    Painter pt;
};

TEST_F(PainterTest, FocusedFieldPutsTheCaretAfterTheTextBeforeIt) {
    const std::string text = "hello world";
    const TextStyle style(12.5, kInk);
    const TextFieldGeometry g = pt.text_field(field(), text, 5, {}, true, "");
    EXPECT_EQ(g.scroll, 0);
    EXPECT_EQ(g.text_x, 28);
    EXPECT_DOUBLE_EQ(g.caret_x, 28 + pt.text_width("hello", style));
    // The caret is drawn where the geometry says, over the caret inset only.
    int x0, x1;
    ASSERT_TRUE(columns_where(reddish, 20, 50, x0, x1));
    EXPECT_LE(std::abs((x0 + x1) / 2.0 - g.caret_x), 1.0);
    EXPECT_FALSE(any_other(int(g.caret_x) - 1, 22, int(g.caret_x) + 2, 25, kFace));
    // The outline lies inside the box, the face within it.
    EXPECT_EQ(hex(20, 35), kEdge);
    EXPECT_EQ(hex(21, 35), kEdge);
    EXPECT_EQ(hex(19, 35), kWhite);
    EXPECT_EQ(hex(24, 35), kFace);
}

TEST_F(PainterTest, CaretOffsetsAreClampedAndMovedToCharacterStarts) {
    const std::string text = "a\xC3\xA9z"; // a, e acute (two bytes), z
    const double at_one = pt.text_field(field(), text, 1, {}, true, "").caret_x;
    EXPECT_DOUBLE_EQ(pt.text_field(field(), text, 2, {}, true, "").caret_x, at_one);
    const double at_end = pt.text_field(field(), text, text.size(), {}, true, "").caret_x;
    EXPECT_DOUBLE_EQ(pt.text_field(field(), text, 99, {}, true, "").caret_x, at_end);
    EXPECT_GT(at_end, at_one);
    EXPECT_DOUBLE_EQ(pt.text_field(field(), "", 7, {}, true, "").caret_x, 28);
}

TEST_F(PainterTest, LongTextScrollsToKeepTheCaretInsideAndStaysInTheClip) {
    const std::string text(200, 'w');
    const TextFieldGeometry g = pt.text_field(field(), text, text.size(), {}, true, "");
    EXPECT_GT(g.scroll, 0);
    // Scrolled exactly so far that the caret sits caret_margin before the end of the room.
    EXPECT_DOUBLE_EQ(g.caret_x, 320 - 8 - 10);
    EXPECT_DOUBLE_EQ(g.text_x, 28 - g.scroll);
    // The text is cut at the clip, 2 beyond the room on each side: the border and the face just inside it
    // stay clean.
    EXPECT_FALSE(any_other(22, 22, 26, 48, kFace));
    EXPECT_FALSE(any_other(315, 22, 318, 48, kFace));
    EXPECT_TRUE(any_other(30, 22, 300, 48, kFace));
    // The caret at the start of the same text needs no scrolling.
    EXPECT_EQ(pt.text_field(field(), text, 0, {}, true, "").scroll, 0);
}

TEST_F(PainterTest, UnfocusedFieldShowsPlaceholderOrEllipsizedTextWithoutCaret) {
    pt.text_field(field(), "", 0, {}, false, "type to search");
    int x0, x1;
    EXPECT_FALSE(columns_where(reddish, 20, 50, x0, x1));
    // Placeholder ink in its own colour, from the text start on.
    int h0, h1;
    ASSERT_TRUE(columns_where(greenish, 20, 50, h0, h1));
    EXPECT_GE(h0, 28);
    EXPECT_LT(h1, 200);

    // A long text at rest is not scrolled but ellipsized to the room.
    pt.fill_rect(0, 0, 400, 100, kWhite);
    const TextFieldGeometry g = pt.text_field(field(), std::string(200, 'w'), 200, {}, false, "hint");
    EXPECT_EQ(g.scroll, 0);
    EXPECT_FALSE(columns_where(reddish, 20, 50, x0, x1));
    EXPECT_FALSE(any_other(313, 22, 318, 48, kFace));
    EXPECT_TRUE(any_other(28, 22, 300, 48, kFace));
}

TEST_F(PainterTest, SelectionIsHighlightedBetweenItsEndsInEitherOrder) {
    const std::string text = "select me please";
    const TextStyle style(12.5, kInk);
    const double x0 = 28 + pt.text_width("select ", style);
    const double x1 = 28 + pt.text_width("select me", style);
    // A black caret, not to be taken for selected letters.
    TextField quiet_caret = field();
    quiet_caret.caret_colour = kInk;
    for (TextRange range : {TextRange{7, 9}, TextRange{9, 7}}) {
        SCOPED_TRACE(range.begin);
        pt.fill_rect(0, 0, 400, 100, kWhite);
        pt.text_field(quiet_caret, text, 0, range, true, "");
        // Highlight from the caret inset down, inside the ends only.
        EXPECT_EQ(hex(int(std::ceil(x0)) + 1, 26), kEdge);
        EXPECT_EQ(hex(int(x1) - 2, 43), kEdge);
        EXPECT_EQ(hex(int(x0) - 2, 26), kFace);
        EXPECT_EQ(hex(int(std::ceil(x1)) + 1, 26), kFace);
        // The selected letters are redrawn in the selection text colour, the others are not.
        int p0, p1;
        ASSERT_TRUE(columns_where(pickish, 25, 45, p0, p1));
        EXPECT_GE(p0, int(x0));
        EXPECT_LE(p1, int(std::ceil(x1)) + 1);
        EXPECT_LT(p0, int(x0) + 6);
    }
    // An empty range draws no highlight.
    pt.fill_rect(0, 0, 400, 100, kWhite);
    pt.text_field(quiet_caret, text, 0, {8, 8}, true, "");
    int p0, p1;
    EXPECT_FALSE(columns_where(pickish, 20, 50, p0, p1));
}

TEST_F(PainterTest, ClicksPlaceTheCaretAtTheNearestCharacterBoundary) {
    const TextField f = field();
    const std::string text = "caf\xC3\xA9 au lait"; // e acute takes bytes 3 and 4
    for (size_t at : {size_t(0), size_t(2), size_t(3), size_t(5), text.size()}) {
        const TextFieldGeometry g = pt.text_field(f, text, at, {}, true, "");
        EXPECT_EQ(pt.caret_offset(f, text, g.scroll, g.caret_x), at);
        EXPECT_EQ(pt.caret_offset(f, text, g.scroll, g.caret_x + 0.4), at);
    }
    EXPECT_EQ(pt.caret_offset(f, text, 0, 0), 0u);
    EXPECT_EQ(pt.caret_offset(f, text, 0, 10000), text.size());
    // Never inside a character: between the e acute's bytes there is no boundary.
    for (double x = 28; x < 28 + pt.text_width(text, f.text); x += 0.5)
        EXPECT_NE(pt.caret_offset(f, text, 0, x), 4u);
    // Scrolled text: the caret drawn at the right end maps back to the end of the text.
    const std::string long_text(200, 'w');
    const TextFieldGeometry g = pt.text_field(f, long_text, long_text.size(), {}, true, "");
    EXPECT_EQ(pt.caret_offset(f, long_text, g.scroll, g.caret_x), long_text.size());
    EXPECT_EQ(Painter(nullptr).caret_offset(f, text, 0, 100), 0u);
}

TEST_F(PainterTest, FieldWithoutAContextReportsItsTextStart) {
    Painter none(nullptr);
    const TextFieldGeometry g = none.text_field(field(), "abc", 3, {}, true, "");
    EXPECT_EQ(g.text_x, 28);
    EXPECT_EQ(g.caret_x, 28);
    EXPECT_FALSE(any_other(0, 0, 400, 100, kWhite));
}

TEST_F(PainterTest, AlignedAndEllipsizedTextKeepsToItsEdges) {
    const TextStyle base(14, kBlack);
    const double w = pt.text_width("Centre", base);
    ASSERT_GT(w, 20);
    pt.text("Centre", 200, 50, base.with_align(Align::Centre));
    int x0 = 400, x1 = -1;
    for (int x = 0; x < 400; ++x)
        if (any_other(x, 0, x + 1, 100, kWhite)) x0 = std::min(x0, x), x1 = std::max(x1, x + 1);
    EXPECT_NEAR((x0 + x1) / 2.0, 200, 3);

    // Right-aligned and ellipsized: ends at x and takes no more than the width.
    pt.fill_rect(0, 0, 400, 100, kWhite);
    const std::string long_text = "a right aligned text that is far too long for its room";
    EXPECT_DOUBLE_EQ(pt.text(long_text, 380, 50, base.with_align(Align::Right).with_max_width(150)), 150);
    EXPECT_FALSE(any_other(381, 0, 400, 100, kWhite));
    EXPECT_FALSE(any_other(0, 0, 380 - 150 - 1, 100, kWhite));
    EXPECT_TRUE(any_other(380 - 40, 0, 380, 100, kWhite));
    // The ellipsized layout does not leak into the plain one of the same text and style.
    EXPECT_GT(pt.text_width(long_text, base), 150);
}

TEST_F(PainterTest, StyleRefinementsLeaveTheOriginalAlone) {
    const TextStyle base(11, kBlack);
    const TextStyle bold = base.with_bold().with_mono().with_alpha(0.5);
    EXPECT_FALSE(base.bold);
    EXPECT_FALSE(base.mono);
    EXPECT_EQ(base.alpha, 1.0);
    EXPECT_TRUE(bold.bold && bold.mono);
    EXPECT_EQ(bold.size, 11);
    EXPECT_EQ(bold.colour, kBlack);
}

TEST_F(PainterTest, SavedScopeRestoresClipAndTransformation) {
    {
        Painter::Saved saved = pt.save();
        pt.clip(0, 0, 10, 10);
        pt.translate(100, 0);
        pt.fill_rect(0, 0, 400, 100, kBlack); // clipped away entirely: the clip was set before the move
    }
    EXPECT_FALSE(any_other(0, 0, 400, 100, kWhite));
    pt.fill_rect(50, 50, 10, 10, kBlack);
    EXPECT_EQ(hex(55, 55), kBlack);
    EXPECT_EQ(hex(155, 55), kWhite);
}

TEST_F(PainterTest, GlyphsPointTheirArrowsAndLeaveNoLineStateBehind) {
    // The move arrow's head is its widest part: more ink on the side it points to.
    auto ink_rows = [&](int x0, int x1) {
        int rows = 0;
        for (int y = 0; y < 100; ++y)
            rows += any_other(x0, y, x1, y + 1, kWhite) ? 1 : 0;
        return rows;
    };
    pt.glyph(Glyph::MoveArrow, 50, 50, 1, kBlack, 1);
    EXPECT_GT(ink_rows(56, 64), ink_rows(36, 44));
    pt.glyph(Glyph::MoveArrow, 150, 50, -1, kBlack, 1);
    EXPECT_GT(ink_rows(136, 144), ink_rows(156, 164));
    // Every glyph stays within 14 of its centre.
    for (Glyph g : {Glyph::CopyArrows, Glyph::PackArrow, Glyph::Refresh, Glyph::Plus, Glyph::Cross,
                    Glyph::Bytes, Glyph::Terminal, Glyph::Magnifier, Glyph::Trash}) {
        pt.fill_rect(0, 0, 400, 100, kWhite);
        pt.glyph(g, 200, 50, 1, kBlack, 1);
        EXPECT_TRUE(any_other(186, 36, 214, 64, kWhite)) << int(g);
        EXPECT_FALSE(any_other(0, 0, 186, 100, kWhite)) << int(g);
        EXPECT_FALSE(any_other(214, 0, 400, 100, kWhite)) << int(g);
    }
    // The cross sets round caps for itself only: a later line ends flat at its end point.
    pt.fill_rect(0, 0, 400, 100, kWhite);
    pt.glyph(Glyph::Cross, 50, 50, 1, kBlack, 1);
    pt.line(100, 80, 200, 80, kBlack, 6);
    EXPECT_EQ(hex(199, 80), kBlack);
    EXPECT_EQ(hex(201, 80), kWhite);
}

TEST_F(PainterTest, PathHelpersFillOutlinesHolesAndGradients) {
    // An outline inset by half its width stays inside the box.
    pt.stroke_rounded(10.5, 10.5, 59, 29, 6, kBlack, 1);
    EXPECT_EQ(hex(40, 10), kBlack);
    EXPECT_EQ(hex(40, 9), kWhite);
    EXPECT_EQ(hex(40, 25), kWhite);
    EXPECT_EQ(hex(10, 10), kWhite); // the corner is rounded off
    // Even-odd: the inner rectangle is a hole.
    pt.set_colour(kBlack);
    pt.rect(100, 10, 60, 60);
    pt.rect(120, 30, 20, 20);
    pt.fill_even_odd();
    EXPECT_EQ(hex(105, 15), kBlack);
    EXPECT_EQ(hex(130, 40), kWhite);
    // A polygon closes itself; a stroked polyline does not.
    pt.set_colour(kBlack);
    pt.polygon({{200, 10}, {260, 10}, {200, 70}});
    pt.fill();
    EXPECT_EQ(hex(210, 20), kBlack);
    EXPECT_EQ(hex(250, 60), kWhite);
    // A gradient runs from its first stop to its last.
    pt.set_linear_gradient(300, 0, 400, 0, {{0, Rgb{0, 0, 0}}, {1, Rgb{1, 1, 1}}});
    pt.rect(300, 80, 100, 20);
    pt.fill();
    EXPECT_LT(raw(302, 90) & 0xff, 0x20u);
    EXPECT_GT(raw(397, 90) & 0xff, 0xE0u);
    EXPECT_NEAR(double(raw(350, 90) & 0xff), 128, 12);
}

} // namespace
