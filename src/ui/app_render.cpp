// The frame cycle, the screen layout and the hit list.
#include "base/scope.h"

#include "base/logger.h"
#include "config/settings.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "ui/app.h"
#include "ui/layout_metrics.h"
#include "ui/painter.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include <unistd.h>

namespace {

#define X(name) #name,
const char* const kHitNames[] = {TAVRIN_HITS(X)};
const char* const kOverlayNames[] = {TAVRIN_OVERLAYS(X)};
#undef X

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
    using namespace metrics;
    Layout l;
    l.width = width;
    l.height = height;
    l.menu_h = kMenuBarH;
    l.header_y = l.menu_h;
    l.header_h = kHeaderH;
    l.progress_y = l.menu_h + l.header_h;
    if (m_frame_copy.running || m_frame_bg.running) {
        l.progress_h = kProgressH;
    } else if (m_progress_hold_until > 0) {
        // In the last half second of the hold the panel collapses to the result line.
        double rem = m_progress_hold_until - now_seconds();
        if (rem > 0.5)
            l.progress_h = kProgressH;
        else if (rem > 0)
            l.progress_h = kResultLineH + rem * 2 * (kProgressH - kResultLineH);
        else
            l.progress_h = m_result.valid ? kResultLineH : 0;
    } else {
        l.progress_h = m_result.valid ? kResultLineH : 0;
    }
    l.pane_y = l.progress_y + l.progress_h;
    l.status_y = height - kStatusBarH;
    l.pane_h = l.status_y - l.pane_y;
    l.left_x = 0;
    l.left_w = std::floor((width - kBridgeW) / 2);
    l.bridge_x = l.left_w;
    l.bridge_w = kBridgeW;
    l.right_x = l.left_w + kBridgeW;
    l.right_w = width - l.right_x;
    l.row_h = kRowH;
    l.visible_rows = std::max(1, int((l.pane_h - kPaneChromeH) / l.row_h));
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
    m_hits_overlay_serial = m_overlay_serial;
    m_cr = cr;
    // Text must be shaped for this context's scale and font options.
    Painter::prepare_text(cr);
    m_layout = compute_layout(width / m_ui_scale, height / m_ui_scale);
    draw_all(cr);
    log_dialog_options();
    if (m_log_hits) log_hits_if_changed();
    cairo_restore(cr);
    m_cr = nullptr;
    ++m_frames_drawn;
}

void App::draw_all(cairo_t*) {
    const Layout& l = m_layout;
    Painter pt = painter();
    if (l.pane_h > 0 && l.left_w > 0 && l.right_w > 0) {
        // The panes paint their whole rectangles opaquely; leaving them out of the window fill spares
        // most of a full-screen fill per frame and gives the same pixels. The holes stop one unit short
        // of the panes' edges: at a fractional scale an edge falls inside a device pixel, which the hole
        // and the pane would then each cover only in part, leaving it see-through.
        pt.set_colour(m_palette.window);
        pt.rect(0, 0, l.width, l.height);
        if (l.left_w > 2 && l.pane_h > 2) pt.rect(l.left_x + 1, l.pane_y + 1, l.left_w - 2, l.pane_h - 2);
        if (l.right_w > 2 && l.pane_h > 2) pt.rect(l.right_x + 1, l.pane_y + 1, l.right_w - 2, l.pane_h - 2);
        pt.fill_even_odd();
    } else {
        pt.fill_rect(0, 0, l.width, l.height, m_palette.window);
    }
    draw_header(l.header_y, l.width);
    if (l.progress_h > 0) draw_progress(l.progress_y, l.width);
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
        draw_drive_bar(pane_for(right), right, right ? l.right_x : l.left_x, l.pane_y + metrics::kDriveBarTop,
                       right ? l.right_w : l.left_w);
    }
    if (m_context_menu) draw_context_menu();
    if (m_overlay != Overlay::None) draw_overlay();
}
