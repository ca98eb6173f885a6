// The painter's drawing routines and the cache of shaped text layouts behind them.
#include "ui/painter.h"

#include "base/i18n.h"
#include "base/strutil.h"
#include "config/settings.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numbers>
#include <tuple>
#include <unordered_map>

namespace {

constexpr double kPi = std::numbers::pi;

// Shaping text is the dearest part of a frame, and consecutive frames draw nearly the same texts (the same
// rows, labels and cells). So every text keeps its shaped layout for a while: a two-generation cache that
// drops the older generation whenever the newer one is full, which holds the texts of the last frame or two
// and bounds memory. All layouts share one pango context; it is brought up to date with the cairo context
// (surface font options and transformation) whenever a frame or another context comes along, and pango
// re-lays out cached layouts by itself when that changed anything.
struct LayoutKey {
    std::string text;
    const PangoFontDescription* font = nullptr;
    int width = -1; // pango units; -1 when not ellipsized

    bool operator==(const LayoutKey&) const = default;
};

struct LayoutKeyHash {
    size_t operator()(const LayoutKey& k) const {
        size_t h = std::hash<std::string>()(k.text);
        h ^= std::hash<const void*>()(k.font) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= std::hash<int>()(k.width) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

using LayoutMap = std::unordered_map<LayoutKey, PangoLayout*, LayoutKeyHash>;

constexpr size_t kLayoutsPerGeneration = 1500;
constexpr size_t kMaxFonts = 256;

void release_all(LayoutMap& map) {
    for (auto& [key, layout] : map)
        g_object_unref(layout);
    map.clear();
}

struct TextCache {
    PangoContext* context = nullptr;
    cairo_t* cr = nullptr; // the context `context` was last updated for
    LayoutMap current, previous;
    // Font descriptions by (family, size in pango units, bold): layouts are keyed by these pointers.
    std::map<std::tuple<std::string, int, bool>, PangoFontDescription*> fonts;

    void drop_layouts() {
        release_all(current);
        release_all(previous);
    }
    ~TextCache() {
        drop_layouts();
        for (auto& [key, desc] : fonts)
            pango_font_description_free(desc);
        if (context) g_object_unref(context);
    }
};

TextCache& text_cache() {
    static TextCache cache;
    return cache;
}

// Attached to the cairo context the pango context was updated for: a new context that happens to get the
// old one's address must not be taken for it.
cairo_user_data_key_t g_context_key;

void on_context_destroyed(void*) {
    text_cache().cr = nullptr;
}

// Brings the shared pango context in line with `cr` (font options, scale).
void refresh_text_context(cairo_t* cr) {
    TextCache& tc = text_cache();
    if (!tc.context) tc.context = pango_font_map_create_context(pango_cairo_font_map_get_default());
    pango_cairo_update_context(cr, tc.context);
    if (tc.cr != cr) {
        tc.cr = cr;
        cairo_set_user_data(cr, &g_context_key, &tc, &on_context_destroyed);
    }
}

const PangoFontDescription* font_for(const std::string& family, double size, bool bold) {
    TextCache& tc = text_cache();
    int units = int(std::lround(size * PANGO_SCALE));
    auto key = std::make_tuple(family, units, bold);
    auto it = tc.fonts.find(key);
    if (it != tc.fonts.end()) return it->second;
    if (tc.fonts.size() >= kMaxFonts) {
        // Layouts are keyed by description pointers; they go together.
        tc.drop_layouts();
        for (auto& [k, desc] : tc.fonts)
            pango_font_description_free(desc);
        tc.fonts.clear();
    }
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, family.c_str());
    pango_font_description_set_absolute_size(desc, units);
    if (bold) pango_font_description_set_weight(desc, PANGO_WEIGHT_BOLD);
    tc.fonts.emplace(key, desc);
    return desc;
}

// The shaped layout of one text in one font, ellipsized at the end to `width` layout units when width > 0.
PangoLayout* layout_for(cairo_t* cr, const std::string& text, double size, bool bold, bool mono,
                        double width = -1) {
    TextCache& tc = text_cache();
    if (tc.cr != cr || !tc.context) refresh_text_context(cr);
    std::string family;
    if (mono) {
        family = I18n::mono_font_family();
    } else {
        family = SettingsStore::instance().get().font_family;
        if (family.empty()) family = I18n::instance().ui_font_family();
    }
    LayoutKey key{text, font_for(family, size, bold), width > 0 ? int(width * PANGO_SCALE) : -1};
    if (auto it = tc.current.find(key); it != tc.current.end()) return it->second;
    if (auto it = tc.previous.find(key); it != tc.previous.end()) {
        PangoLayout* layout = it->second;
        tc.previous.erase(it);
        tc.current.emplace(std::move(key), layout);
        return layout;
    }
    PangoLayout* layout = pango_layout_new(tc.context);
    // A file name may hold a line break; show it as a glyph on the one line a row has.
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    pango_layout_set_font_description(layout, key.font);
    // Names are sanitised when listed, but nothing that reaches the screen may carry invalid UTF-8:
    // pango would complain and draw boxes.
    if (su::is_valid_utf8(text)) {
        pango_layout_set_text(layout, text.data(), int(text.size()));
    } else {
        std::string clean = su::sanitize_utf8(text);
        pango_layout_set_text(layout, clean.data(), int(clean.size()));
    }
    if (key.width > 0) {
        pango_layout_set_width(layout, key.width);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    if (tc.current.size() >= kLayoutsPerGeneration) {
        release_all(tc.previous);
        tc.previous.swap(tc.current);
    }
    tc.current.emplace(std::move(key), layout);
    return layout;
}

void layout_size(PangoLayout* layout, double& w, double& h) {
    int pw = 0, ph = 0;
    pango_layout_get_size(layout, &pw, &ph);
    w = double(pw) / PANGO_SCALE;
    h = double(ph) / PANGO_SCALE;
}

// The offset clamped to the text and moved back to the first byte of the character it falls into.
size_t char_start(const std::string& text, size_t offset) {
    offset = std::min(offset, text.size());
    while (offset > 0 && offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80)
        --offset;
    return offset;
}

// A horizontal arrow from `from` to `to` on line y: a shaft ending where the filled head begins.
void arrow(cairo_t* cr, double from, double to, double y, double line, double head, double half) {
    const double d = to >= from ? 1 : -1;
    cairo_set_line_width(cr, line);
    cairo_move_to(cr, from, y);
    cairo_line_to(cr, to - d * head * 0.7, y);
    cairo_stroke(cr);
    cairo_move_to(cr, to, y);
    cairo_line_to(cr, to - d * head, y - half);
    cairo_line_to(cr, to - d * head, y + half);
    cairo_close_path(cr);
    cairo_fill(cr);
}

// An arrow running into an open-topped box with its lid lifted.
void pack_arrow(cairo_t* cr, double cx, double cy, double d) {
    const double box_cx = cx + d * 7;
    const double bx = box_cx - 4.5;
    cairo_set_line_width(cr, 1.8);
    cairo_move_to(cr, bx, cy - 4.5);
    cairo_line_to(cr, bx, cy + 6.5);
    cairo_line_to(cr, bx + 9, cy + 6.5);
    cairo_line_to(cr, bx + 9, cy - 4.5);
    cairo_stroke(cr);
    cairo_move_to(cr, bx - 1, cy - 6.5);
    cairo_line_to(cr, bx + 10, cy - 6.5);
    cairo_stroke(cr);
    arrow(cr, cx - d * 13, box_cx, cy + 1, 2, 5, 3.2);
}

void refresh(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 2.4);
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx, cy, 8.5, -kPi * 0.35, kPi * 1.45);
    cairo_stroke(cr);
    // Head at the open end of the arc, pointing along it.
    const double a = -kPi * 0.35;
    const double ex = cx + 8.5 * std::cos(a), ey = cy + 8.5 * std::sin(a);
    cairo_move_to(cr, ex + 4.5, ey + 1.5);
    cairo_line_to(cr, ex - 2.5, ey - 4.5);
    cairo_line_to(cr, ex - 1.5, ey + 4.5);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void plus(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, cx - 8, cy);
    cairo_line_to(cr, cx + 8, cy);
    cairo_move_to(cr, cx, cy - 8);
    cairo_line_to(cr, cx, cy + 8);
    cairo_stroke(cr);
}

void cross(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 3);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, cx - 7, cy - 7);
    cairo_line_to(cr, cx + 7, cy + 7);
    cairo_move_to(cr, cx + 7, cy - 7);
    cairo_line_to(cr, cx - 7, cy + 7);
    cairo_stroke(cr);
}

// Filled (1) and outlined (0) cells of the bytes glyph, 3 rows of 4.
constexpr std::array<std::array<int, 4>, 3> kByteCells = {{{1, 0, 1, 1}, {0, 1, 1, 0}, {1, 1, 0, 1}}};

void bytes(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 1);
    const double w = 5, h = 3.4, dx = 6.5, dy = 6;
    const double left = cx - (3 * dx + w) / 2, top = cy - (2 * dy + h) / 2;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            const double x = left + c * dx, y = top + r * dy;
            if (kByteCells[r][c]) {
                cairo_rectangle(cr, x, y, w, h);
                cairo_fill(cr);
            } else {
                cairo_rectangle(cr, x + 0.5, y + 0.5, w - 1, h - 1);
                cairo_stroke(cr);
            }
        }
    }
}

void terminal(Painter& painter, cairo_t* cr, double cx, double cy) {
    const double x = cx - 12, y = cy - 9;
    cairo_set_line_width(cr, 1.7);
    painter.rounded_rect(x, y, 24, 18, 3);
    cairo_stroke(cr);
    cairo_move_to(cr, x + 5, cy - 4);
    cairo_line_to(cr, x + 9.5, cy);
    cairo_line_to(cr, x + 5, cy + 4);
    cairo_stroke(cr);
    cairo_move_to(cr, x + 11.5, cy + 4.5);
    cairo_line_to(cr, x + 18, cy + 4.5);
    cairo_stroke(cr);
}

void magnifier(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 1.6);
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx - 2, cy - 2, 7, 0, 2 * kPi);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 2.8);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, cx + 3.2, cy + 3.2);
    cairo_line_to(cr, cx + 9, cy + 9);
    cairo_stroke(cr);
}

void trash(cairo_t* cr, double cx, double cy) {
    cairo_set_line_width(cr, 1.7);
    // Lid with its handle.
    cairo_move_to(cr, cx - 8, cy - 6);
    cairo_line_to(cr, cx + 8, cy - 6);
    cairo_stroke(cr);
    cairo_move_to(cr, cx - 2.5, cy - 6);
    cairo_line_to(cr, cx - 2.5, cy - 8.5);
    cairo_line_to(cr, cx + 2.5, cy - 8.5);
    cairo_line_to(cr, cx + 2.5, cy - 6);
    cairo_stroke(cr);
    // Bin, narrowing to the bottom, with two inner lines.
    cairo_move_to(cr, cx - 6.5, cy - 4);
    cairo_line_to(cr, cx - 5.5, cy + 9);
    cairo_line_to(cr, cx + 5.5, cy + 9);
    cairo_line_to(cr, cx + 6.5, cy - 4);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 1.3);
    cairo_move_to(cr, cx - 2, cy - 1.5);
    cairo_line_to(cr, cx - 2, cy + 6.5);
    cairo_move_to(cr, cx + 2, cy - 1.5);
    cairo_line_to(cr, cx + 2, cy + 6.5);
    cairo_stroke(cr);
}

} // namespace

void Painter::prepare_text(cairo_t* cr) {
    if (cr) refresh_text_context(cr);
}

void Painter::set_colour(std::string_view colour, double alpha) {
    if (!m_cr) return;
    Rgb c{};
    if (!hex_to_rgb(colour, c)) c = Rgb{1, 0, 1};
    cairo_set_source_rgba(m_cr, c.r, c.g, c.b, alpha);
}

void Painter::set_colour(const Rgb& colour, double alpha) {
    if (m_cr) cairo_set_source_rgba(m_cr, colour.r, colour.g, colour.b, alpha);
}

void Painter::set_linear_gradient(double x0, double y0, double x1, double y1,
                                  std::initializer_list<GradientStop> stops) {
    if (!m_cr) return;
    cairo_pattern_t* p = cairo_pattern_create_linear(x0, y0, x1, y1);
    for (const GradientStop& s : stops)
        cairo_pattern_add_color_stop_rgba(p, s.offset, s.colour.r, s.colour.g, s.colour.b, s.alpha);
    // The context keeps its own reference.
    cairo_set_source(m_cr, p);
    cairo_pattern_destroy(p);
}

void Painter::rect(double x, double y, double w, double h) {
    if (m_cr) cairo_rectangle(m_cr, x, y, w, h);
}

void Painter::rounded_rect(double x, double y, double w, double h, double r) {
    if (!m_cr) return;
    r = std::min(r, std::min(w, h) / 2);
    if (r < 0) r = 0;
    cairo_new_sub_path(m_cr);
    cairo_arc(m_cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(m_cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(m_cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(m_cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(m_cr);
}

void Painter::circle(double cx, double cy, double r) {
    arc(cx, cy, r, 0, 2 * kPi);
}

void Painter::arc(double cx, double cy, double r, double a0, double a1) {
    if (!m_cr) return;
    cairo_new_sub_path(m_cr);
    cairo_arc(m_cr, cx, cy, r, a0, a1);
}

void Painter::polyline(std::initializer_list<Point> points) {
    if (!m_cr || points.size() == 0) return;
    auto it = points.begin();
    cairo_move_to(m_cr, it->x, it->y);
    for (++it; it != points.end(); ++it)
        cairo_line_to(m_cr, it->x, it->y);
}

void Painter::polygon(std::initializer_list<Point> points) {
    if (!m_cr || points.size() == 0) return;
    polyline(points);
    cairo_close_path(m_cr);
}

void Painter::fill() {
    if (m_cr) cairo_fill(m_cr);
}

void Painter::fill_even_odd() {
    if (!m_cr) return;
    cairo_save(m_cr);
    cairo_set_fill_rule(m_cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill(m_cr);
    cairo_restore(m_cr);
}

void Painter::stroke(double line_width) {
    if (!m_cr) return;
    cairo_set_line_width(m_cr, line_width);
    cairo_stroke(m_cr);
}

void Painter::fill_rect(double x, double y, double w, double h, std::string_view colour, double alpha) {
    if (!m_cr) return;
    set_colour(colour, alpha);
    cairo_rectangle(m_cr, x, y, w, h);
    cairo_fill(m_cr);
}

void Painter::fill_rounded(double x, double y, double w, double h, double r, std::string_view colour,
                           double alpha) {
    if (!m_cr) return;
    set_colour(colour, alpha);
    rounded_rect(x, y, w, h, r);
    cairo_fill(m_cr);
}

void Painter::stroke_rect(double x, double y, double w, double h, std::string_view colour, double line_width,
                          double alpha) {
    if (!m_cr) return;
    set_colour(colour, alpha);
    cairo_rectangle(m_cr, x, y, w, h);
    stroke(line_width);
}

void Painter::stroke_rounded(double x, double y, double w, double h, double r, std::string_view colour,
                             double line_width, double alpha) {
    if (!m_cr) return;
    set_colour(colour, alpha);
    rounded_rect(x, y, w, h, r);
    stroke(line_width);
}

void Painter::line(double x0, double y0, double x1, double y1, std::string_view colour, double line_width,
                   double alpha) {
    if (!m_cr) return;
    set_colour(colour, alpha);
    cairo_move_to(m_cr, x0, y0);
    cairo_line_to(m_cr, x1, y1);
    stroke(line_width);
}

Painter::Saved::Saved(cairo_t* cr) : m_cr(cr) {
    if (m_cr) cairo_save(m_cr);
}

Painter::Saved::~Saved() {
    if (m_cr) cairo_restore(m_cr);
}

void Painter::clip(double x, double y, double w, double h) {
    if (!m_cr) return;
    cairo_rectangle(m_cr, x, y, w, h);
    cairo_clip(m_cr);
}

void Painter::translate(double dx, double dy) {
    if (m_cr) cairo_translate(m_cr, dx, dy);
}

void Painter::rotate(double radians) {
    if (m_cr) cairo_rotate(m_cr, radians);
}

void Painter::set_line_cap(LineCap cap) {
    if (m_cr) cairo_set_line_cap(m_cr, cap == LineCap::Round ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
}

void Painter::set_line_join(LineJoin join) {
    if (m_cr)
        cairo_set_line_join(m_cr, join == LineJoin::Round ? CAIRO_LINE_JOIN_ROUND : CAIRO_LINE_JOIN_MITER);
}

double Painter::text_width(const std::string& text, const TextStyle& style) const {
    if (!m_cr || text.empty()) return 0;
    double w = 0, h = 0;
    layout_size(layout_for(m_cr, text, style.size, style.bold, style.mono), w, h);
    return w;
}

double Painter::text(const std::string& text, double x, double y, const TextStyle& style) {
    if (!m_cr || text.empty() || style.max_width <= 0) return 0;
    PangoLayout* layout = layout_for(m_cr, text, style.size, style.bold, style.mono);
    double w = 0, h = 0;
    layout_size(layout, w, h);
    double used = w, shown = w;
    if (w > style.max_width) {
        layout = layout_for(m_cr, text, style.size, style.bold, style.mono, style.max_width);
        used = style.max_width;
        double eh = 0;
        layout_size(layout, shown, eh);
    }
    double left = x;
    if (style.align == Align::Right)
        left = x - shown;
    else if (style.align == Align::Centre)
        left = x - shown / 2;
    set_colour(style.colour, style.alpha);
    cairo_move_to(m_cr, left, y - h / 2);
    pango_cairo_show_layout(m_cr, layout);
    return used;
}

void Painter::glyph(Glyph glyph, double cx, double cy, double dir, std::string_view colour, double alpha) {
    if (!m_cr) return;
    cairo_t* cr = m_cr;
    Saved saved = save();
    set_colour(colour, alpha);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    switch (glyph) {
    case Glyph::CopyArrows:
        arrow(cr, cx - dir * 13, cx + dir * 13, cy - 5, 2.4, 7, 0.62 * 7);
        arrow(cr, cx - dir * 13, cx + dir * 13, cy + 5, 2.4, 7, 0.62 * 7);
        break;
    case Glyph::MoveArrow:
        arrow(cr, cx - dir * 13, cx + dir * 13, cy, 3.4, 9, 0.62 * 9);
        break;
    case Glyph::PackArrow:
        pack_arrow(cr, cx, cy, dir);
        break;
    case Glyph::Refresh:
        refresh(cr, cx, cy);
        break;
    case Glyph::Plus:
        plus(cr, cx, cy);
        break;
    case Glyph::Cross:
        cross(cr, cx, cy);
        break;
    case Glyph::Bytes:
        bytes(cr, cx, cy);
        break;
    case Glyph::Terminal:
        terminal(*this, cr, cx, cy);
        break;
    case Glyph::Magnifier:
        magnifier(cr, cx, cy);
        break;
    case Glyph::Trash:
        trash(cr, cx, cy);
        break;
    }
}

TextFieldGeometry Painter::text_field(const TextField& f, const std::string& text, size_t caret,
                                      TextRange selection, bool focused, const std::string& placeholder) {
    const Rect& b = f.box;
    const double tx = b.x + f.pad_left;
    const double room = b.x + b.w - f.pad_right - tx;
    const double cy = b.y + b.h / 2;
    TextFieldGeometry g;
    g.text_x = tx;
    g.caret_x = tx;
    if (!m_cr) return g;

    if (f.radius > 0)
        fill_rounded(b.x, b.y, b.w, b.h, f.radius, f.fill);
    else
        fill_rect(b.x, b.y, b.w, b.h, f.fill);
    if (f.border_width > 0) {
        const double in = f.border_width / 2;
        if (f.radius > 0)
            stroke_rounded(b.x + in, b.y + in, b.w - f.border_width, b.h - f.border_width, f.radius, f.border,
                           f.border_width);
        else
            stroke_rect(b.x + in, b.y + in, b.w - f.border_width, b.h - f.border_width, f.border,
                        f.border_width);
    }

    TextStyle style = f.text;
    style.align = Align::Left;
    if (!focused) {
        // At rest the text is not scrolled: what does not fit ends in an ellipsis.
        TextStyle shown = text.empty() ? f.placeholder : style;
        shown.align = Align::Left;
        shown.max_width = room;
        this->text(text.empty() ? placeholder : text, tx, cy, shown);
        return g;
    }

    style.max_width = std::numeric_limits<double>::infinity();
    caret = char_start(text, caret);
    const double caret_w = text_width(text.substr(0, caret), style);
    // Scrolled just enough to keep the caret in the room.
    g.scroll = std::max(0.0, caret_w - (room - f.caret_margin));
    g.text_x = tx - g.scroll;
    g.caret_x = g.text_x + caret_w;

    Saved saved = save();
    clip(tx - f.clip_slack, b.y, std::max(0.0, room + 2 * f.clip_slack), b.h);
    size_t s0 = char_start(text, std::min(selection.begin, selection.end));
    size_t s1 = char_start(text, std::max(selection.begin, selection.end));
    if (s1 > s0) {
        const double x0 = g.text_x + text_width(text.substr(0, s0), style);
        const double x1 = g.text_x + text_width(text.substr(0, s1), style);
        fill_rect(x0, b.y + f.caret_inset, x1 - x0, b.h - 2 * f.caret_inset, f.selection);
        this->text(text, g.text_x, cy, style);
        // The selected part again in its own colour, cut to the highlight.
        Saved inner = save();
        clip(x0, b.y, x1 - x0, b.h);
        TextStyle picked = style;
        picked.colour = f.selection_text;
        this->text(text, g.text_x, cy, picked);
    } else {
        this->text(text, g.text_x, cy, style);
    }
    line(g.caret_x, b.y + f.caret_inset, g.caret_x, b.y + b.h - f.caret_inset, f.caret_colour, 1.4);
    return g;
}

size_t Painter::caret_offset(const TextField& f, const std::string& text, double scroll, double x) const {
    if (!m_cr) return 0;
    TextStyle style = f.text;
    style.max_width = std::numeric_limits<double>::infinity();
    const double tx = f.box.x + f.pad_left - scroll;
    size_t best = 0;
    double best_d = std::abs(x - tx);
    for (size_t i = 1; i <= text.size(); ++i) {
        if (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        // Measured as the caret is placed: by the width of the text before it.
        const double d = tx + text_width(text.substr(0, i), style) - x;
        if (std::abs(d) < best_d) {
            best = i;
            best_d = std::abs(d);
        }
        if (d > best_d) break; // widths only grow from here
    }
    return best;
}
