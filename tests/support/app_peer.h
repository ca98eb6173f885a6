#pragma once

// Test access to the App's interface state, and off-screen frames: tests prepare panes, palette, overlays
// and pointer state directly and render with the same draw_all the window uses, no window needed.
#include "ui/app.h"
#include "ui/painter.h"
#include "ui/theme.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class AppTestPeer {
public:
    explicit AppTestPeer(App& app) : m_app(app) {}

    App& app() { return m_app; }

    // Panes and palette.
    Pane& pane(bool right) { return right ? m_app.m_right : m_app.m_left; }
    bool& active_right() { return m_app.m_active_right; }
    Palette& palette() { return m_app.m_palette; }

    // Frame state.
    App::Layout& layout() { return m_app.m_layout; }
    std::vector<App::HitRect>& hits() { return m_app.m_hits; }
    std::optional<App::HitRect>& hover() { return m_app.m_hover; }
    bool& drawing_overlay() { return m_app.m_drawing_overlay; }
    bool& drawing_menu() { return m_app.m_drawing_menu; }
    copy_engine::Progress& frame_copy() { return m_app.m_frame_copy; }
    BgTask::Status& frame_bg() { return m_app.m_frame_bg; }
    cairo_t*& cr() { return m_app.m_cr; }
    double ui_scale() const { return m_app.m_ui_scale; }
    App::Overlay& overlay() { return m_app.m_overlay; }
    std::string& overlay_title() { return m_app.m_overlay_title; }
    std::string& overlay_text() { return m_app.m_overlay_text; }
    std::string& input_buffer() { return m_app.m_input_buffer; }
    size_t& input_caret() { return m_app.m_input_caret; }
    std::map<char, Action>& overlay_accels() { return m_app.m_overlay_accels; }
    bool& overlay_scrolls() { return m_app.m_overlay_scrolls; }
    int& list_scroll() { return m_app.m_list_scroll; }
    double& typeahead_time() { return m_app.m_typeahead_time; }
    void draw_overlay_panel(double& w, double& h) { m_app.overlay_panel_size(w, h); }

    // Work and results.
    void tick() { m_app.tick(); }
    // The progress band alone, prepared as draw_all prepares a frame: fresh snapshots, the layout, the band.
    void draw_progress_band(cairo_t* cr, int width, int height) {
        m_app.m_frame_copy = copy_engine::instance().snapshot();
        m_app.m_frame_bg = BgTask::instance().snapshot();
        m_app.m_hits.clear();
        m_app.m_cr = cr;
        Painter::prepare_text(cr);
        m_app.m_layout = m_app.compute_layout(width, height);
        if (m_app.m_layout.progress_h > 0) m_app.draw_progress(m_app.m_layout.progress_y, width);
        m_app.m_cr = nullptr;
    }
    double& progress_hold_until() { return m_app.m_progress_hold_until; }
    App::LastResult& result() { return m_app.m_result; }
    double& reload_flash_until() { return m_app.m_reload_flash_until; }

    // Pane drawing inputs.
    int& open_drive_picker() { return m_app.m_open_drive_picker; }
    int& drive_hover() { return m_app.m_drive_hover; }
    bool& drive_popup_pass() { return m_app.m_drive_popup_pass; }
    int& path_edit() { return m_app.m_path_edit; }
    std::string& path_buffer() { return m_app.m_path_buffer; }
    size_t& path_caret() { return m_app.m_path_caret; }
    std::string& path_error() { return m_app.m_path_error; }
    int& search_pane() { return m_app.m_search_pane; }
    std::string& search_buffer() { return m_app.m_search_buffer; }
    size_t& search_caret() { return m_app.m_search_caret; }
    double* pane_hscroll() { return m_app.m_pane_hscroll; }
    double* pane_content_w() { return m_app.m_pane_content_w; }
    double* pane_view_w() { return m_app.m_pane_view_w; }
    double* pane_htrack_x() { return m_app.m_pane_htrack_x; }
    double* pane_htrack_w() { return m_app.m_pane_htrack_w; }
    bool& drag_active() { return m_app.m_drag_active; }
    bool& drag_inside() { return m_app.m_drag_inside; }
    bool& drag_target_right() { return m_app.m_drag_target_right; }
    int& drag_row() { return m_app.m_drag_row; }

    // Pointer presses and drags.
    bool& press_pending() { return m_app.m_press_pending; }
    bool& press_defer_select() { return m_app.m_press_defer_select; }
    bool& drag_from_pane() { return m_app.m_drag_from_pane; }
    bool& drag_source_right() { return m_app.m_drag_source_right; }
    int& col_drag() { return m_app.m_col_drag; }
    bool& dragging_scroll() { return m_app.m_dragging_scroll; }
    const char* cursor_name() const { return m_app.m_cursor_name; }
    double& overlay_min_w() { return m_app.m_overlay_min_w; }
    double& overlay_min_h() { return m_app.m_overlay_min_h; }
    int* pane_visible() { return m_app.m_pane_visible; }
    double* pane_vtrack_y() { return m_app.m_pane_vtrack_y; }
    double* pane_vtrack_h() { return m_app.m_pane_vtrack_h; }

    // Menus, header, bridge and status bar.
    int& open_menu() { return m_app.m_open_menu; }
    int& menu_hover_item() { return m_app.m_menu_hover_item; }
    bool& context_menu() { return m_app.m_context_menu; }
    bool& column_menu() { return m_app.m_column_menu; }
    double& context_x() { return m_app.m_context_x; }
    double& context_y() { return m_app.m_context_y; }
    bool& context_right() { return m_app.m_context_right; }
    std::vector<Action>& context_actions() { return m_app.m_context_actions; }
    double& mouse_x() { return m_app.m_mouse_x; }
    double& mouse_y() { return m_app.m_mouse_y; }
    double menu_title_x(int index) { return m_app.menu_title_x(index); }
    menu_model::ContextInfo context_info(bool right) const { return m_app.context_info(right); }
    std::string& flash_text() { return m_app.m_flash_text; }
    double& flash_until() { return m_app.m_flash_until; }

    // The painter's primitives on the app's frame context, callable while cr() is set.
    void set_color(const std::string& c, double a) { painter().set_colour(c, a); }
    void fill_rect(double x, double y, double w, double h, const std::string& c, double a = 1) {
        painter().fill_rect(x, y, w, h, c, a);
    }
    void fill_rounded(double x, double y, double w, double h, double r, const std::string& c, double a = 1) {
        painter().fill_rounded(x, y, w, h, r, c, a);
    }
    double text_width(const std::string& t, double size, bool bold = false, bool mono = false) {
        return painter().text_width(t, TextStyle(size).with_bold(bold).with_mono(mono));
    }
    void draw_text(const std::string& t, double x, double y, double size, const std::string& c) {
        painter().text(t, x, y, TextStyle(size, c));
    }
    void draw_text_right(const std::string& t, double x, double y, double size, const std::string& c) {
        painter().text(t, x, y, TextStyle(size, c).with_align(Align::Right));
    }
    double draw_text_clipped(const std::string& t, double x, double y, double max_w, double size,
                             const std::string& c) {
        return painter().text(t, x, y, TextStyle(size, c).with_max_width(max_w));
    }
    Painter painter() { return m_app.painter(); }
    void add_hit(double x, double y, double w, double h, App::Hit what, int param = 0, bool right = false) {
        m_app.add_hit(x, y, w, h, what, param, right);
    }

private:
    App& m_app;
};

namespace testsupport {

// An ARGB image the size of a window, with pixel reads in device pixels.
class Canvas {
public:
    Canvas(int width, int height)
        : m_surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)),
          m_cr(cairo_create(m_surface)) {}
    ~Canvas() {
        cairo_destroy(m_cr);
        cairo_surface_destroy(m_surface);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    cairo_t* cr() { return m_cr; }
    int width() const { return cairo_image_surface_get_width(m_surface); }
    int height() const { return cairo_image_surface_get_height(m_surface); }

    // Renders one whole frame of the app.
    void draw(App& app) { app.draw_all(m_cr, width(), height()); }

    // "#RRGGBB" of the pixel (alpha ignored: frames are opaque).
    std::string hex(int x, int y) {
        Rgb c = rgb(x, y);
        return rgb_to_hex(c);
    }
    Rgb rgb(int x, int y) {
        cairo_surface_flush(m_surface);
        if (x < 0 || y < 0 || x >= width() || y >= height()) return Rgb{-1, -1, -1};
        const unsigned char* data = cairo_image_surface_get_data(m_surface);
        int stride = cairo_image_surface_get_stride(m_surface);
        uint32_t px = *reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride) + size_t(x) * 4);
        return Rgb{((px >> 16) & 0xff) / 255.0, ((px >> 8) & 0xff) / 255.0, (px & 0xff) / 255.0};
    }
    uint32_t raw(int x, int y) {
        cairo_surface_flush(m_surface);
        const unsigned char* data = cairo_image_surface_get_data(m_surface);
        int stride = cairo_image_surface_get_stride(m_surface);
        return *reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride) + size_t(x) * 4);
    }
    bool write_png(const std::string& path) {
        return cairo_surface_write_to_png(m_surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    }

private:
    cairo_surface_t* m_surface;
    cairo_t* m_cr;
};

// Largest per-channel difference in 0..255 steps.
inline int colour_distance(const Rgb& a, const Rgb& b) {
    auto d = [](double x, double y) { return int(std::lround(std::abs(x - y) * 255)); };
    return std::max({d(a.r, b.r), d(a.g, b.g), d(a.b, b.b)});
}

inline Rgb rgb_of(const std::string& hex) {
    Rgb c{};
    hex_to_rgb(hex, c);
    return c;
}

} // namespace testsupport
