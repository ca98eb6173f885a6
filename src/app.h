#pragma once

#include "dir_lister.h"
#include "pane.h"
#include "theme.h"

#include <cstdint>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _cairo cairo_t;
typedef union _GdkEvent GdkEvent;
typedef struct _GdkEventConfigure GdkEventConfigure;
typedef struct _GdkEventAny GdkEventAny;

// The one application object: owns the window, the drawing area, both panes and all interface state.
// Everything here runs on the GTK main thread.
class App {
public:
    // The result line under the panes, filled when a job ends.
    struct LastResult {
        bool valid = false;
        std::string title;
        int64_t files = 0;
        int64_t bytes = 0;
        double seconds = 0;
        size_t failures = 0;
        bool cancelled = false;
        std::string detail;
        bool disk_full = false;
    };

    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    int run(int argc, char** argv);

    // Parses the command line into m_arg_*; unknown arguments are ignored. Exposed for tests.
    void parse_args(int argc, char** argv);

    void build_window();
    void center_on_current_monitor(int want_w, int want_h);
    void load_state();
    void save_state();
    void save_state_if_changed();
    void apply_theme();
    void refresh_both();
    void request_redraw();
    void flash_status(const std::string& text);
    void flash_panes();
    static double now_seconds();

    Pane& active_pane() { return m_active_right ? m_right : m_left; }
    Pane& other_pane() { return m_active_right ? m_left : m_right; }
    Pane& pane_for(bool right) { return right ? m_right : m_left; }

    // Read access for tests and for the drawing code of later stages.
    const Pane& left() const { return m_left; }
    const Pane& right() const { return m_right; }
    bool active_right() const { return m_active_right; }
    const Palette& palette() const { return m_palette; }
    const std::string& arg_left() const { return m_arg_left; }
    const std::string& arg_right() const { return m_arg_right; }
    const std::string& arg_active() const { return m_arg_active; }
    const std::string& arg_geometry() const { return m_arg_geometry; }
    const std::string& arg_actions() const { return m_arg_actions; }
    const std::string& flash_text() const { return m_flash_text; }
    double flash_until() const { return m_flash_until; }

    // Paints one whole frame into a cairo context; the window's draw handler and tests share it.
    void draw_all(cairo_t* cr, int width, int height);

private:
    static int on_configure_cb(GtkWidget* widget, GdkEventConfigure* event, App* app);
    static int on_delete_cb(GtkWidget* widget, GdkEvent* event, App* app);
    static int on_draw_cb(GtkWidget* widget, cairo_t* cr, App* app);
    static int on_tick_cb(App* app);
    static int on_signal_cb(void* app);
    void tick();
    bool parse_geometry_arg(int& w, int& h, int& x, int& y) const;
    void place_at(int x, int y, int w, int h);

    // Process and start-up.
    std::string m_arg_left, m_arg_right, m_arg_active, m_arg_geometry, m_arg_actions;

    // Window and drawing.
    GtkWidget* m_window = nullptr;
    GtkWidget* m_canvas = nullptr;
    cairo_t* m_cr = nullptr;
    Palette m_palette = Palette::light();
    double m_ui_scale = 1.0;
    unsigned m_idle_frame = 0;

    // Panes.
    Pane m_left, m_right;
    bool m_active_right = false;
    std::string m_saved_left, m_saved_right;
    dir_lister::SortOrder m_saved_left_sort, m_saved_right_sort;

    // Running work and results.
    unsigned m_tick_id = 0;
    bool m_transfer_was_running = false;
    bool m_bgtask_was_running = false;
    double m_progress_hold_until = 0;
    LastResult m_result;
    std::string m_flash_text;
    double m_flash_until = 0;
    double m_reload_flash_until = 0;
};
