#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"
#include "base/version.h"
#include "config/recent.h"
#include "config/settings.h"
#include "config/window_manager.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "engine/drives.h"
#include "fs/fs_ops.h"
#include "ui/desktop_theme.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <unistd.h>

namespace {

using version::kBuild;
using version::kProduct;
using version::kVersion;
constexpr int kMinWidth = 1000;
constexpr int kMinHeight = 700;

// Work area of a monitor, or its full geometry when the work area is degenerate.
GdkRectangle monitor_area(GdkMonitor* mon) {
    GdkRectangle area{};
    gdk_monitor_get_workarea(mon, &area);
    if (area.width < 1 || area.height < 1) gdk_monitor_get_geometry(mon, &area);
    return area;
}

} // namespace

App::App() = default;
App::~App() = default;

void App::parse_args(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        if (!su::starts_with(arg, "--")) continue;
        size_t eq = arg.find('=');
        if (eq == std::string::npos) continue;
        std::string name = arg.substr(2, eq - 2);
        std::string value = arg.substr(eq + 1);
        if (name == "left")
            m_arg_left = value;
        else if (name == "right")
            m_arg_right = value;
        else if (name == "active")
            m_arg_active = value;
        else if (name == "geometry")
            m_arg_geometry = value;
        else if (name == "action")
            m_arg_actions = value;
    }
}

bool App::parse_geometry_arg(int& w, int& h, int& x, int& y) const {
    if (m_arg_geometry.empty()) return false;
    if (sscanf(m_arg_geometry.c_str(), "%dx%d+%d+%d", &w, &h, &x, &y) != 4) return false;
    return w > 0 && h > 0;
}

int App::run(int argc, char** argv) {
    gtk_init(&argc, &argv);
    parse_args(argc, argv);
    setlocale(LC_NUMERIC, "C");

    SettingsStore& store = SettingsStore::instance();
    store.load();
    const Settings& s = store.get();
    I18n::instance().set_language(s.language);
    I18n::instance().set_ui_font(s.font_family);

    Log& log = Log::instance();
    log.infof("%s %s (build %s) starting", kProduct, kVersion, kBuild);
    std::string streams = s.thread_count == 0 ? std::string("automatic") : std::to_string(s.thread_count);
    log.infof("%d CPU cores available, copy streams: %s", fsops::cpu_cores(), streams.c_str());
    std::string user = invoking_user();
    std::string via = user.empty() ? std::string() : " via " + user;
    log.infof("package %s, uid %d%s%s", package_kind(), int(geteuid()), running_as_root() ? " (ROOT)" : "",
              via.c_str());
    log.infof("language %s, theme %s", I18n::instance().effective_language().c_str(), s.theme.c_str());

    drives::init();
    load_state();
    build_window();

    desktop_theme::watch([this] {
        if (SettingsStore::instance().get().theme == "auto") {
            apply_theme();
            request_redraw();
        }
    });

    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(sig, &App::on_signal_cb, this);

    flash_status(std::string("Build ") + kBuild);
    m_flash_until = now_seconds() + 4.0;

    if (!m_arg_actions.empty()) {
        Log::instance().infof("selftest: %s", m_arg_actions.c_str());
        g_timeout_add(400, reinterpret_cast<GSourceFunc>(&App::on_self_test_cb), this);
    }

    gtk_main();

    drives::shutdown_wait(500);
    save_state();
    return 0;
}

int App::on_signal_cb(void*) {
    Log::instance().infof("signal received, shutting down");
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

void App::load_state() {
    const Settings& s = SettingsStore::instance().get();
    m_left.set_sort_order(s.left_sort);
    m_right.set_sort_order(s.right_sort);

    std::string home = real_home();
    std::string left = !m_arg_left.empty() ? m_arg_left : !s.left_path.empty() ? s.left_path : home;
    std::string right = !m_arg_right.empty() ? m_arg_right : !s.right_path.empty() ? s.right_path : home;
    m_left.navigate_to(left, s.show_hidden);
    m_right.navigate_to(right, s.show_hidden);
    // The start folders are visits too: the recent list shows where the user has been, this run included.
    recent::add(m_left.path());
    recent::add(m_right.path());
    if (!m_arg_left.empty() || !m_arg_right.empty())
        Log::instance().infof("state taken over from the calling instance: left %s, right %s", left.c_str(),
                              right.c_str());

    if (m_arg_active == "right")
        m_active_right = true;
    else if (m_arg_active == "left")
        m_active_right = false;

    m_saved_left = m_left.path();
    m_saved_right = m_right.path();
    m_saved_left_sort = m_left.sort_order();
    m_saved_right_sort = m_right.sort_order();
    apply_theme();
}

void App::save_state() {
    Settings& s = SettingsStore::instance().mutable_get();
    s.left_path = m_left.path();
    s.right_path = m_right.path();
    s.left_sort = m_left.sort_order();
    s.right_sort = m_right.sort_order();
    SettingsStore::instance().save();
    m_saved_left = s.left_path;
    m_saved_right = s.right_path;
    m_saved_left_sort = s.left_sort;
    m_saved_right_sort = s.right_sort;
}

void App::save_state_if_changed() {
    bool changed = false;
    for (bool right : {false, true}) {
        Pane& pane = pane_for(right);
        const std::string& saved = right ? m_saved_right : m_saved_left;
        if (pane.path() == saved) continue;
        changed = true;
        recent::add(pane.path());
        int code = pane.listing().error_code;
        if (!pane.error().empty() && (code == EACCES || code == EPERM))
            Log::instance().warnf("permission denied: %s", pane.path().c_str());
    }
    if (changed || m_left.sort_order() != m_saved_left_sort || m_right.sort_order() != m_saved_right_sort)
        save_state();
}

void App::apply_theme() {
    const std::string& theme = SettingsStore::instance().get().theme;
    bool dark = theme == "dark" || (theme == "auto" && desktop_theme::prefers_dark());
    m_palette = dark ? Palette::dark_() : Palette::light();
}

void App::refresh_both() {
    bool hidden = SettingsStore::instance().get().show_hidden;
    m_left.reload(hidden);
    m_right.reload(hidden);
    drives::refresh();
    request_redraw();
}

void App::request_redraw() {
    if (m_canvas) gtk_widget_queue_draw(m_canvas);
}

void App::flash_status(const std::string& text) {
    m_flash_text = text;
    m_flash_until = now_seconds() + 3.0;
    request_redraw();
}

void App::flash_panes() {
    m_reload_flash_until = now_seconds() + 0.45;
    request_redraw();
}

void App::place_at(int x, int y, int w, int h) {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) {
        gtk_window_move(GTK_WINDOW(m_window), x, y);
        return;
    }
    int n = gdk_display_get_n_monitors(display);
    for (int i = 0; i < n; ++i) {
        GdkMonitor* mon = gdk_display_get_monitor(display, i);
        if (!mon) continue;
        GdkRectangle a = monitor_area(mon);
        if (x >= a.x && y >= a.y && a.x + a.width >= x + w && a.y + a.height >= y + h) {
            gtk_window_move(GTK_WINDOW(m_window), x, y);
            return;
        }
    }
    Log::instance().infof("saved position %d,%d (%dx%d) fits no current monitor — centring", x, y, w, h);
    center_on_current_monitor(w, h);
}

void App::build_window() {
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(m_window), kProduct);

    WindowGeometry geo = WindowManager::instance().load();
    int gw = 0, gh = 0, gx = 0, gy = 0;
    if (parse_geometry_arg(gw, gh, gx, gy)) {
        Log::instance().infof("geometry taken over from the calling instance: %dx%d+%d+%d", gw, gh, gx, gy);
        int w = std::max(gw, kMinWidth), h = std::max(gh, kMinHeight);
        gtk_window_set_default_size(GTK_WINDOW(m_window), w, h);
        place_at(gx, gy, w, h);
    } else if (!geo.valid) {
        center_on_current_monitor(1100, 720);
    } else {
        int w = std::max(geo.saved_width, kMinWidth), h = std::max(geo.saved_height, kMinHeight);
        gtk_window_set_default_size(GTK_WINDOW(m_window), w, h);
        if (geo.maximized) {
            gtk_window_maximize(GTK_WINDOW(m_window));
        } else if (geo.has_position) {
            place_at(geo.x, geo.y, w, h);
        } else {
            Log::instance().infof("saved position %d,%d (%dx%d) fits no current monitor — centring", geo.x,
                                  geo.y, w, h);
            center_on_current_monitor(w, h);
        }
    }

    GdkGeometry hints{};
    hints.min_width = kMinWidth;
    hints.min_height = kMinHeight;
    gtk_window_set_geometry_hints(GTK_WINDOW(m_window), nullptr, &hints, GDK_HINT_MIN_SIZE);

    m_canvas = gtk_drawing_area_new();
    gtk_container_add(GTK_CONTAINER(m_window), m_canvas);
    gtk_widget_add_events(m_canvas, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                        GDK_BUTTON_RELEASE_MASK | GDK_KEY_PRESS_MASK | GDK_LEAVE_NOTIFY_MASK |
                                        GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK);
    gtk_widget_set_can_focus(m_canvas, TRUE);
    gtk_widget_grab_focus(m_canvas);

    g_signal_connect(m_canvas, "draw", G_CALLBACK(&App::on_draw_cb), this);
    g_signal_connect(m_window, "key-press-event", G_CALLBACK(&App::on_key_press_cb), this);
    g_signal_connect(m_window, "configure-event", G_CALLBACK(&App::on_configure_cb), this);
    g_signal_connect(m_window, "delete-event", G_CALLBACK(&App::on_delete_cb), this);
    g_signal_connect(m_window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    static const GtkTargetEntry kUriTarget{const_cast<gchar*>("text/uri-list"), 0, 0};
    // The drop itself is handled by hand (drag-drop): GTK's default would tell the source of a move to
    // delete its files as soon as their names arrived, long before the engine has copied them.
    gtk_drag_dest_set(m_canvas, GtkDestDefaults(GTK_DEST_DEFAULT_MOTION | GTK_DEST_DEFAULT_HIGHLIGHT), &kUriTarget, 1,
                      GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_MOVE));
    connect_pointer_signals();
    connect_drag_signals();

    m_tick_id = g_timeout_add(100, reinterpret_cast<GSourceFunc>(&App::on_tick_cb), this);
    gtk_widget_show_all(m_window);
}

void App::center_on_current_monitor(int want_w, int want_h) {
    GtkWindow* win = GTK_WINDOW(m_window);
    GdkDisplay* display = gdk_display_get_default();
    auto fallback = [&] {
        gtk_window_set_default_size(win, want_w, want_h);
        gtk_window_set_position(win, GTK_WIN_POS_CENTER);
    };
    if (!display) return fallback();

    GdkMonitor* mon = nullptr;
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) {
            int px = 0, py = 0;
            gdk_device_get_position(pointer, nullptr, &px, &py);
            mon = gdk_display_get_monitor_at_point(display, px, py);
        }
    }
    if (!mon) mon = gdk_display_get_primary_monitor(display);
    if (!mon) mon = gdk_display_get_monitor(display, 0);
    if (!mon) return fallback();

    GdkRectangle a = monitor_area(mon);
    int w = std::max(std::min(want_w, a.width), kMinWidth);
    int h = std::max(std::min(want_h, a.height), kMinHeight);
    gtk_window_set_default_size(win, w, h);
    int dx = a.width - w, dy = a.height - h;
    int x = a.x + (dx < 2 ? 0 : dx / 2);
    int y = a.y + (dy < 2 ? 0 : dy / 2);
    gtk_window_move(win, x, y);
    Log::instance().infof("centred at %d,%d (%dx%d) on monitor %dx%d+%d+%d", x, y, w, h, a.width, a.height,
                          a.x, a.y);
}

int App::on_configure_cb(GtkWidget*, GdkEventConfigure*, App* app) {
    GtkWindow* win = GTK_WINDOW(app->m_window);
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(win, &x, &y);
    gtk_window_get_size(win, &w, &h);
    WindowManager::instance().save(x, y, w, h, gtk_window_is_maximized(win));
    return FALSE;
}

int App::on_delete_cb(GtkWidget*, GdkEvent*, App* app) {
    // Closing is never refused: running work is asked to stop, then the window goes.
    if (copy_engine::instance().is_running()) copy_engine::instance().cancel();
    if (BgTask::instance().is_running()) BgTask::instance().cancel();
    app->save_state();
    return FALSE;
}

int App::on_tick_cb(App* app) {
    app->tick();
    return TRUE;
}

