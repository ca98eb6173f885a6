// The frame cycle, the screen layout, the hit list and the drawing primitives every other drawing file uses.
#include "base/scope.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/strutil.h"
#include "config/settings.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "ui/app.h"

#include <gtk/gtk.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <tuple>
#include <unordered_map>

#include <unistd.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

#define X(name) #name,
const char* const kHitNames[] = {TAVRIN_HITS(X)};
const char* const kOverlayNames[] = {TAVRIN_OVERLAYS(X)};
#undef X

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

// Milliseconds since this process was started, from the kernel's start time of the process (clock ticks
// since boot, on the boot-time clock); -1 when it cannot be read. Tick resolution (10 ms) is plenty for a
// start-up figure, and it needs no cooperation from main().
double ms_since_process_start() {
    FILE* f = fopen("/proc/self/stat", "re");
    if (!f) return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name (field 2) may hold spaces and parentheses; the fields after it follow the last ')'.
    const char* p = strrchr(buf, ')');
    if (!p) return -1;
    // After ')' come fields 3 (state) to 21, then field 22, the start time.
    std::istringstream fields(p + 1);
    std::string skipped;
    for (int field = 3; field <= 21; ++field)
        if (!(fields >> skipped)) return -1;
    unsigned long long start_ticks = 0;
    if (!(fields >> start_ticks)) return -1;
    const long hz = sysconf(_SC_CLK_TCK);
    timespec now{};
    if (hz <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
    const double now_ms = double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
    return now_ms - double(start_ticks) * 1000.0 / double(hz);
}

} // namespace

const char* App::hit_name(Hit hit) {
    auto i = size_t(hit);
    return i < std::size(kHitNames) ? kHitNames[i] : "?";
}

const char* App::overlay_name(Overlay overlay) {
    auto i = size_t(overlay);
    return i < std::size(kOverlayNames) ? kOverlayNames[i] : "?";
}

App::Layout App::compute_layout(double width, double height) const {
    Layout l;
    l.width = width;
    l.height = height;
    l.menu_h = 30;
    l.header_y = l.menu_h;
    l.header_h = 64;
    l.progress_y = l.menu_h + l.header_h;
    if (m_frame_copy.running || m_frame_bg.running) {
        l.progress_h = 76;
    } else if (m_progress_hold_until > 0) {
        double rem = m_progress_hold_until - now_seconds();
        if (rem > 0.5)
            l.progress_h = 76;
        else if (rem > 0)
            l.progress_h = 34 + rem * 2 * 42;
        else
            l.progress_h = m_result.valid ? 34 : 0;
    } else {
        l.progress_h = m_result.valid ? 34 : 0;
    }
    l.pane_y = l.progress_y + l.progress_h;
    l.status_y = height - 24;
    l.pane_h = l.status_y - l.pane_y;
    l.left_x = 0;
    l.left_w = std::floor((width - 84) / 2);
    l.bridge_x = l.left_w;
    l.bridge_w = 84;
    l.right_x = l.left_w + 84;
    l.right_w = width - l.right_x;
    l.row_h = 24;
    l.visible_rows = std::max(1, int((l.pane_h - 132) / l.row_h));
    return l;
}

const App::HitRect* App::hit_test(double x, double y) const {
    for (auto it = m_hits.rbegin(); it != m_hits.rend(); ++it)
        if (it->x <= x && x < it->x + it->w && it->y <= y && y < it->y + it->h) return &*it;
    return nullptr;
}

bool App::hovered(Hit what, int param, bool right) const {
    return m_hover && m_hover->what == what && m_hover->param == param && m_hover->right == right;
}

void App::add_hit(double x, double y, double w, double h, Hit what, int param, bool right,
                  const std::string& label) {
    HitRect r;
    r.x = x;
    r.y = y;
    r.w = w;
    r.h = h;
    r.what = what;
    r.param = param;
    r.right = right;
    r.label = label;
    r.in_overlay = m_drawing_overlay;
    r.in_menu = m_drawing_menu;
    m_hits.push_back(std::move(r));
}

int App::on_draw_cb(GtkWidget* widget, cairo_t* cr, App* app) {
    app->draw_all(cr, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget));
    // How long start-up took until the user saw something: logged once, and watched by the start-up
    // benchmark.
    static bool s_first_frame_logged = false;
    if (!s_first_frame_logged) {
        s_first_frame_logged = true;
        double ms = ms_since_process_start();
        if (ms >= 0) Log::instance().infof("first frame drawn %.0f ms after start", ms);
    }
    return TRUE;
}

void App::draw_all(cairo_t* cr, int width, int height) {
    m_ui_scale = std::clamp(SettingsStore::instance().get().font_scale / 100.0, 0.7, 2.0);
    cairo_save(cr);
    cairo_scale(cr, m_ui_scale, m_ui_scale);
    m_frame_copy = copy_engine::instance().snapshot();
    m_frame_bg = BgTask::instance().snapshot();
    m_hits.clear();
    m_cr = cr;
    // Text must be shaped for this context's scale and font options.
    refresh_text_context(cr);
    m_layout = compute_layout(width / m_ui_scale, height / m_ui_scale);
    draw_all(cr);
    cairo_restore(cr);
    m_cr = nullptr;
}

void App::draw_all(cairo_t*) {
    const Layout& l = m_layout;
    if (l.pane_h > 0 && l.left_w > 0 && l.right_w > 0) {
        // The panes paint their whole rectangles opaquely; leaving them out of the window fill spares
        // most of a full-screen fill per frame and gives the same pixels.
        set_color(m_palette.window);
        cairo_rectangle(m_cr, 0, 0, l.width, l.height);
        cairo_rectangle(m_cr, l.left_x, l.pane_y, l.left_w, l.pane_h);
        cairo_rectangle(m_cr, l.right_x, l.pane_y, l.right_w, l.pane_h);
        cairo_save(m_cr);
        cairo_set_fill_rule(m_cr, CAIRO_FILL_RULE_EVEN_ODD);
        cairo_fill(m_cr);
        cairo_restore(m_cr);
    } else {
        fill_rect(0, 0, l.width, l.height, m_palette.window);
    }
    draw_header(l.header_y, l.width);
    draw_pane(m_left, false, l.left_x, l.pane_y, l.left_w, l.pane_h);
    draw_pane(m_right, true, l.right_x, l.pane_y, l.right_w, l.pane_h);
    draw_bridge(l.bridge_x, l.pane_y, l.bridge_w, l.pane_h);
    draw_status_bar(l.status_y, l.width);
    draw_menu_bar();
    if (m_open_menu >= 0) draw_open_menu();
    if (m_open_drive_picker == 0 || m_open_drive_picker == 1) {
        bool right = m_open_drive_picker == 1;
        m_drive_popup_pass = true;
        FlagReset reset{m_drive_popup_pass};
        draw_drive_bar(pane_for(right), right, right ? l.right_x : l.left_x, l.pane_y + 28,
                       right ? l.right_w : l.left_w);
    }
    if (m_context_menu) draw_context_menu();
}

void App::set_color(const std::string& colour, double alpha) {
    if (!m_cr) return;
    Rgb c{};
    if (!hex_to_rgb(colour, c)) c = Rgb{1, 0, 1};
    cairo_set_source_rgba(m_cr, c.r, c.g, c.b, alpha);
}

void App::fill_rect(double x, double y, double w, double h, const std::string& colour, double alpha) {
    if (!m_cr) return;
    set_color(colour, alpha);
    cairo_rectangle(m_cr, x, y, w, h);
    cairo_fill(m_cr);
}

void App::rounded_rect(double x, double y, double w, double h, double r) {
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

void App::fill_rounded(double x, double y, double w, double h, double r, const std::string& colour,
                       double alpha) {
    if (!m_cr) return;
    set_color(colour, alpha);
    rounded_rect(x, y, w, h, r);
    cairo_fill(m_cr);
}

double App::text_width(const std::string& text, double size, bool bold, bool mono) {
    if (!m_cr || text.empty()) return 0;
    double w = 0, h = 0;
    layout_size(layout_for(m_cr, text, size, bold, mono), w, h);
    return w;
}

void App::draw_text(const std::string& text, double x, double y, double size, const std::string& colour,
                    bool bold, bool mono, double alpha) {
    if (!m_cr || text.empty()) return;
    PangoLayout* layout = layout_for(m_cr, text, size, bold, mono);
    double w = 0, h = 0;
    layout_size(layout, w, h);
    set_color(colour, alpha);
    cairo_move_to(m_cr, x, y - h / 2);
    pango_cairo_show_layout(m_cr, layout);
}

void App::draw_text_right(const std::string& text, double x, double y, double size, const std::string& colour,
                          bool bold, bool mono) {
    if (!m_cr || text.empty()) return;
    PangoLayout* layout = layout_for(m_cr, text, size, bold, mono);
    double w = 0, h = 0;
    layout_size(layout, w, h);
    set_color(colour, 1.0);
    cairo_move_to(m_cr, x - w, y - h / 2);
    pango_cairo_show_layout(m_cr, layout);
}

double App::draw_text_clipped(const std::string& text, double x, double y, double max_w, double size,
                              const std::string& colour, bool bold, bool mono) {
    if (!m_cr || text.empty() || max_w <= 0) return 0;
    PangoLayout* layout = layout_for(m_cr, text, size, bold, mono);
    double w = 0, h = 0;
    layout_size(layout, w, h);
    double used = w;
    if (w > max_w) {
        layout = layout_for(m_cr, text, size, bold, mono, max_w);
        used = max_w;
    }
    set_color(colour, 1.0);
    cairo_move_to(m_cr, x, y - h / 2);
    pango_cairo_show_layout(m_cr, layout);
    return used;
}
