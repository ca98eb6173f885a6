#pragma once

#include "base/actions.h"
#include "base/clock.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "fs/dir_lister.h"
#include "ui/layout_metrics.h"
#include "ui/menu_model.h"
#include "ui/painter.h"
#include "ui/pane.h"
#include "ui/theme.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;
typedef struct _cairo cairo_t;
typedef union _GdkEvent GdkEvent;
typedef struct _GdkEventConfigure GdkEventConfigure;
typedef struct _GdkEventAny GdkEventAny;
typedef struct _GdkEventKey GdkEventKey;
typedef struct _GdkEventButton GdkEventButton;
typedef struct _GdkEventMotion GdkEventMotion;
typedef struct _GdkEventScroll GdkEventScroll;
typedef struct _GdkEventCrossing GdkEventCrossing;
typedef struct _GdkDragContext GdkDragContext;
typedef struct _GtkSelectionData GtkSelectionData;

class AppTestPeer;
namespace bookmarks {
struct Bookmark;
}
namespace drives {
struct Drive;
}
struct Settings;

// The kinds of clickable regions and of dialogs, in the order of their fixed values. Each list makes both
// the enumeration and its log names, so the two cannot drift apart.
#define TAVRIN_HITS(X) \
    X(None) X(MenuTitle) X(MenuItem) X(PaneRow) X(PaneBanner) X(PaneHeader) X(PaneHeaderMenu) X(PaneBackground) \
    X(DrivePicker) X(DriveItem) X(PathSegment) X(PathBar) X(PathEdit) X(ResultDismiss) X(LogVThumb) \
    X(LogHThumb) X(SearchBar) X(SearchClear) X(BridgeCopy) X(BridgeMove) X(BridgePack) X(BridgeRefresh) \
    X(BridgeNewFolder) X(BridgeDelete) X(BridgeSearch) X(BridgeHex) X(BridgeTerminal) X(BridgeTrash) \
    X(HexThumb) X(HexByte) X(HexFindField) X(OverlayResize) X(ColumnResize) X(PaneHScroll) X(ScrollThumb) \
    X(Overlay) X(PackFormat) X(ProgressCancel) X(ErrorBanner) X(ListItem) X(BookmarkItem) X(RecentItem) \
    X(PermBit)

#define TAVRIN_OVERLAYS(X) \
    X(None) X(About) X(Settings) X(Conflict) X(NewFolder) X(NewFile) X(ConfirmDelete) X(Pack) X(Properties) \
    X(Errors) X(SelectPattern) X(GoToPath) X(Message) X(LanguagePicker) X(LogView) X(Bookmarks) X(FontPicker) \
    X(BookmarkSide) X(UnpackSide) X(ArchiveView) X(HexView) X(Sandbox) X(Licenses)

// The one application object: owns the window, the drawing area, both panes and all interface state.
// Everything here runs on the GTK main thread.
class App {
    friend class AppTestPeer;

public:
    // ---- Rendering: frame, layout and hit regions (app_render.cpp) ----
    // Kinds of clickable regions. Values are fixed: hit_name() gives the log name of each.
    enum class Hit : int32_t {
#define X(name) name,
        TAVRIN_HITS(X)
#undef X
    };
    static const char* hit_name(Hit hit);

    // Which dialog is open. Values are fixed: overlay_name() gives the log name of each.
    enum class Overlay : int32_t {
#define X(name) name,
        TAVRIN_OVERLAYS(X)
#undef X
    };
    static const char* overlay_name(Overlay overlay);

    // One clickable region of the last frame, in layout units.
    struct HitRect {
        double x = 0, y = 0, w = 0, h = 0;
        Hit what = Hit::None;
        int param = 0;
        bool right = false;
        std::string label;
        bool in_overlay = false;
        bool in_menu = false;
    };

    // Where everything goes, in layout units (device pixels divided by the UI scale).
    struct Layout {
        double width = 0, height = 0;
        double menu_h = metrics::kMenuBarH;
        double header_y = metrics::kMenuBarH;
        double header_h = metrics::kHeaderH;
        double progress_y = metrics::kMenuBarH + metrics::kHeaderH;
        double progress_h = 0;
        double pane_y = metrics::kMenuBarH + metrics::kHeaderH;
        double status_y = 0;
        double pane_h = 0;
        double left_x = 0, left_w = 0;
        double bridge_x = 0, bridge_w = metrics::kBridgeW;
        double right_x = 0, right_w = 0;
        int visible_rows = 1;
        double row_h = metrics::kRowH;
    };

    Layout compute_layout(double width, double height) const;
    // The topmost region under the point (layout units), or null.
    const HitRect* hit_test(double x, double y) const;
    const Layout& layout() const { return m_layout; }
    const std::vector<HitRect>& hits() const { return m_hits; }
    double ui_scale() const { return m_ui_scale; }
    // ---- end rendering ----

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
    // Copies (or moves) the active entries of the other side into the folder of side `to_right`.
    void start_transfer(bool to_right, bool move);
    // The same for any sources (a drop); false when a check refused it (a message then says why).
    bool start_transfer_of(const std::vector<std::string>& sources, bool to_right, bool move);
    const LastResult& last_result() const { return m_result; }
    static double now_seconds() { return steady_seconds(); }

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

    // One whole frame into a cairo context of width x height device pixels: UI scale, work snapshots,
    // layout, painting and a fresh hit list. The window's draw handler and tests share it.
    void draw_all(cairo_t* cr, int width, int height);
    // The painting part of a frame, in paint order; needs m_cr, m_layout and the snapshots of a frame.
    void draw_all(cairo_t* cr);

    // ---- Keyboard (app_keys.cpp) ----
    // One key press through the chain of editors and then the panes' key map.
    void handle_key(GdkEventKey* event);
    void begin_path_edit(bool right);
    void commit_path_edit();
    void commit_rename();
    void begin_search(bool right);
    void end_search(bool clear_filter);
    // The folder of a pane that lies inside the active pane's explicit selection, or null.
    const std::string* pane_path_inside_selection() const;
    // ---- end keyboard ----

    // ---- Commands and dialogs (app_commands.cpp, app_dialogs.cpp) ----
    // The one place where commands run, whatever triggered them.
    void perform(Action action, int param = 0);
    void show_message(const std::string& title, const std::string& text, bool is_error,
                      Action action = Action::None, const std::string& action_label = std::string());
    // Opens the entry at `index` of that pane: into folders, the default application for files.
    void activate_row(int index, bool right);
    // Opens (or with None closes) a dialog; the button accelerators and the scroll flag of the dialog
    // before belong to that dialog and go with it.
    void set_overlay(Overlay overlay, const std::string& title = std::string());
    Overlay overlay() const { return m_overlay; }
    const std::string& overlay_title() const { return m_overlay_title; }
    const std::string& overlay_text() const { return m_overlay_text; }
    bool overlay_is_error() const { return m_overlay_is_error; }
    const std::string& input_buffer() const { return m_input_buffer; }

    struct ButtonSpec {
        const char* label_key = "";
        Action action = Action::None;
        bool primary = false;
        bool danger = false;
    };
    // Panel size of the open dialog before it is fitted into the window (layout units).
    void overlay_panel_size(double& w, double& h);
    // ---- end commands ----

    // ---- Pointer input (app_pointer.cpp) ----
    // One press at a point in layout units; click_count 2 is the press that completes a double click.
    void handle_click(double x, double y, int button, unsigned state, unsigned click_count);
    void handle_release();
    // Pointer motion in layout units; `state` holds the buttons and modifiers held.
    void handle_motion(double x, double y, unsigned state);
    // One wheel step: `notches` is -1 (up) or +1 (down) for a notch, or the vertical delta of a smooth
    // scroll (`smooth` set).
    void handle_scroll(double x, double y, double notches, bool smooth, unsigned state);
    void handle_leave();
    double column_width_now(int column, bool right) const;
    void set_column_width(int column, double width);
    void open_column_menu(double x, double y, bool right);
    void drag_pane_hscroll(double x);
    // The rows the last frame showed in that pane (the search bar takes one).
    int visible_rows_of(bool right) const;
    // ---- end pointer ----

    // ---- Drag and drop (app_dnd.cpp) ----
    // A drop of URIs onto the pane of side `right`; `from_pane` when they were dragged out of a pane of
    // this window, `move` when the drag asked for a move.
    void handle_drop(const std::vector<std::string>& uris, bool right, bool move, bool from_pane);
    // ---- end drag and drop ----

    // ---- Self-test (app_selftest.cpp) ----
    // Runs one step of a self-test script; false for a step it does not know.
    bool run_self_test_step(const std::string& step);
    // ---- end self-test ----

    // ---- Menus and action state (app_actions.cpp) ----
    // Whether the action may run now, judged on the active pane's entries; when not and `why` is given,
    // a short reason for the log.
    bool action_enabled(Action action, std::string* why = nullptr);
    // ---- end menus ----

private:
    static int on_configure_cb(GtkWidget* widget, GdkEventConfigure* event, App* app);
    static int on_delete_cb(GtkWidget* widget, GdkEvent* event, App* app);
    static int on_draw_cb(GtkWidget* widget, cairo_t* cr, App* app);
    static int on_tick_cb(App* app);
    static int on_signal_cb(void* app);
    static int on_key_press_cb(GtkWidget* widget, GdkEventKey* event, App* app);
    static int on_button_press_cb(GtkWidget* widget, GdkEventButton* event, App* app);
    static int on_button_release_cb(GtkWidget* widget, GdkEventButton* event, App* app);
    static int on_motion_cb(GtkWidget* widget, GdkEventMotion* event, App* app);
    static int on_scroll_cb(GtkWidget* widget, GdkEventScroll* event, App* app);
    static int on_leave_cb(GtkWidget* widget, GdkEventCrossing* event, App* app);
    void connect_pointer_signals();
    // Drag and drop (app_dnd.cpp).
    static void on_drag_begin_cb(GtkWidget* widget, GdkDragContext* context, App* app);
    static int on_drag_motion_cb(GtkWidget* widget, GdkDragContext* context, int x, int y, unsigned time,
                                 App* app);
    static int on_drag_drop_cb(GtkWidget* widget, GdkDragContext* context, int x, int y, unsigned time, App* app);
    static void on_drag_leave_cb(GtkWidget* widget, GdkDragContext* context, unsigned time, App* app);
    static void on_drag_data_received_cb(GtkWidget* widget, GdkDragContext* context, int x, int y,
                                         GtkSelectionData* data, unsigned info, unsigned time, App* app);
    static void on_drag_data_get_cb(GtkWidget* widget, GdkDragContext* context, GtkSelectionData* data,
                                    unsigned info, unsigned time, App* app);
    static void on_drag_end_cb(GtkWidget* widget, GdkDragContext* context, App* app);
    void connect_drag_signals();
    // Starts dragging the pressed pane's selection out of the window; `event` is the motion that passed
    // the threshold.
    void begin_pane_drag(GdkEvent* event);
    void tick();
    // The steps of the tick (app_jobs.cpp).
    void tick_transfer_ended();
    void tick_task_ended();
    void tick_conflict(const copy_engine::Progress& snap);
    // Renamed entries of a move the engine does not count; see app_jobs.cpp.
    int64_t renamed_entries() const;
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
    bool m_transfer_is_move = false;
    // Sources of the running move that a rename can carry over, with their targets.
    std::vector<std::pair<std::string, std::string>> m_rename_candidates;
    // The conflict question the dialog shows and the last one answered (engine serials).
    uint64_t m_conflict_serial = 0;
    uint64_t m_conflict_answered = 0;
    bool m_conflict_apply_all = false;
    // Which job's failures the error list shows: it lists only the job that opened it.
    enum class ErrorSource { None, Copy, Task };
    ErrorSource m_errors_source = ErrorSource::None;
    // The job the result line reports, whose failures its error banner lists.
    ErrorSource m_result_source = ErrorSource::None;
    double m_progress_hold_until = 0;
    LastResult m_result;
    std::string m_flash_text;
    double m_flash_until = 0;
    double m_reload_flash_until = 0;

    // ---- Rendering (app_render.cpp, app_panes.cpp) ----
    // Draws on the frame's context; inside a frame only, a painter over nothing otherwise.
    Painter painter() const { return Painter(m_cr); }
    void add_hit(double x, double y, double w, double h, Hit what, int param = 0, bool right = false,
                 const std::string& label = std::string());
    // Whether the region under the pointer (as of the last hit test) is this element.
    bool hovered(Hit what, int param, bool right) const;

    void draw_pane(const Pane& pane, bool right, double x, double y, double w, double h);
    void draw_drive_bar(const Pane& pane, bool right, double x, double y, double w);
    void draw_search_bar(const Pane& pane, bool right, double x, double y, double w);
    // The parts of draw_pane, top to bottom, sharing the pane's frame (app_panes.cpp).
    struct PaneFrame;
    void draw_pane_banner(const PaneFrame& f);
    void draw_path_bar(const PaneFrame& f);
    void place_pane_list(PaneFrame& f, double list_top);
    void draw_column_header(const PaneFrame& f, double hy);
    void draw_pane_rows(const PaneFrame& f);
    void draw_pane_row(const PaneFrame& f, int i, double ry, const char* date_fmt);
    void draw_row_cells(const PaneFrame& f, const FsEntry& e, double cy, bool strong, const char* date_fmt);
    void draw_pane_scroll_bars(const PaneFrame& f);
    void draw_drive_popup(const std::vector<drives::Drive>& list, bool right, double bx, double top,
                          double bw);
    void draw_path_edit_button(bool right, double ex, double by, double bh);

    Layout m_layout;
    std::vector<HitRect> m_hits;
    // A copy, not a pointer into m_hits: hover feedback reads it while the next frame rebuilds the list.
    std::optional<HitRect> m_hover;
    bool m_drawing_overlay = false;
    bool m_drawing_menu = false;
    copy_engine::Progress m_frame_copy;
    BgTask::Status m_frame_bg;
    Overlay m_overlay = Overlay::None;

    // Drive bar and its pop-up.
    int m_open_drive_picker = -1;
    int m_drive_hover = -1;
    bool m_drive_popup_pass = false;

    // Path editor and search bar of a pane (side 0 left, 1 right; -1 none).
    int m_path_edit = -1;
    std::string m_path_buffer;
    size_t m_path_caret = 0;
    std::string m_path_error;
    int m_search_pane = -1;
    std::string m_search_buffer;
    size_t m_search_caret = 0;

    // Horizontal scrolling of the pane columns, per side.
    double m_pane_hscroll[2] = {0, 0};
    double m_pane_content_w[2] = {0, 0};
    double m_pane_view_w[2] = {0, 0};
    double m_pane_htrack_x[2] = {0, 0};
    double m_pane_htrack_w[2] = {0, 0};
    int m_pane_hdrag = -1;
    int m_col_drag = -2;
    double m_col_drag_x = 0;
    bool m_dragging_scroll = false;
    bool m_drag_scroll_right = false;
    double m_drag_scroll_offset = 0;

    // What the last frame drew of each pane's list: the name column's width, the rows shown, and the
    // vertical scroll track (height 0 without one) with its thumb.
    double m_pane_name_w[2] = {0, 0};
    int m_pane_visible[2] = {0, 0};
    double m_pane_vtrack_y[2] = {0, 0};
    double m_pane_vtrack_h[2] = {0, 0};
    double m_pane_vthumb_h[2] = {0, 0};

    // Drag and drop over the panes.
    bool m_drag_active = false;
    bool m_drag_inside = false;
    bool m_drag_target_right = false;
    int m_drag_row = -1;
    // ---- end rendering ----

    // ---- Pointer input (app_pointer.cpp) and drag and drop (app_dnd.cpp) ----
    // Why a click is not dispatched: busy panes, an open dialog, a stale region; see app_pointer.cpp.
    bool click_refused(const HitRect& hit, unsigned click_count) const;
    // Closes an open menu or drive list instead of dispatching; true when the click was spent on that.
    bool click_closes_popup(const HitRect& hit);
    void dispatch_click(const HitRect& hit, double x, double y, int button, unsigned state);
    bool dispatch_pane_click(const HitRect& hit, double x, double y, int button, unsigned state);
    bool dispatch_bar_click(const HitRect& hit, int button);
    bool dispatch_menu_click(const HitRect& hit);
    bool dispatch_work_click(const HitRect& hit, double x, double y);
    void click_row(const HitRect& hit, double x, double y, int button, unsigned state, unsigned click_count);
    void click_path_segment(bool right, int segment);
    void click_drive_item(const HitRect& hit);
    void click_bookmark(int index);
    void make_pane_active(bool right);
    void open_context_menu(double x, double y, bool right);
    void close_menus();
    bool work_running() const;
    void drag_pane_vscroll(double y);
    void drag_overlay_size(double x, double y);
    void update_hover(double x, double y);
    void set_pointer_cursor(const char* name);
    void end_pane_drag();

    bool m_press_pending = false;
    double m_press_x = 0, m_press_y = 0;
    int m_press_row = -1;
    bool m_press_right = false;
    bool m_press_defer_select = false;
    bool m_drag_from_pane = false;
    bool m_drag_source_right = false;
    std::vector<std::string> m_drag_paths;
    const char* m_cursor_name = nullptr;
    int m_list_hover = -1;
    // Dialogs opened so far, and the count when the hit list was drawn: a region of a dialog that has
    // closed (or given way to another) since the frame was drawn is not clickable.
    uint64_t m_overlay_serial = 0;
    uint64_t m_hits_overlay_serial = 0;
    // ---- end pointer ----

    // ---- Menus, header, bridge and status bar (app_header.cpp, app_progress.cpp) ----
    void draw_menu_bar();
    void draw_open_menu();
    // The parts of the drop-down menu; each returns the y under what it drew.
    double draw_menu_items(const menu_model::Menu& menu, double x, double w, double cy);
    double draw_recent_section(const std::vector<std::string>& recent_dirs, double x, double w, double cy);
    void draw_bookmark_section(const std::vector<bookmarks::Bookmark>& marks, double x, double w, double cy);
    // Draws the column menu instead when m_column_menu is set.
    void draw_context_menu();
    void draw_column_menu();
    void draw_popup_frame(double x, double y, double w, double h, bool deep_shadow);
    void draw_header(double y, double w);
    void draw_bridge(double x, double y, double w, double h);
    struct BridgeButton;
    std::vector<BridgeButton> bridge_buttons();
    void draw_bridge_button(const BridgeButton& b, double bx, double by, double bw, double bh, bool idle);
    void draw_status_bar(double y, double w);
    // The progress panel under the header and the result line it collapses to (app_result.cpp).
    void draw_progress(double y, double w);
    void draw_copy_progress(double y, double w);
    void draw_copy_third_row(double y, double w);
    void draw_task_progress(double y, double w);
    void draw_result_line(double y, double w, double h);
    // What the context menu of one side is built for: that pane's action entries.
    menu_model::ContextInfo context_info(bool right) const;
    // Left edge of the menu bar title `index` (titles are laid out from x 10 without gaps).
    double menu_title_x(int index);
    // What action_enabled judges by, taken once when many rows or buttons ask in one frame: finding the
    // selection walks the whole folder.
    struct ActionTarget {
        std::vector<const FsEntry*> entries;
        bool has_selection = false;
    };
    ActionTarget action_target();
    static bool action_enabled_for(Action action, const ActionTarget& target, std::string* why);

    int m_open_menu = -1;
    int m_menu_hover_item = -1;
    bool m_context_menu = false;
    bool m_column_menu = false;
    double m_context_x = 0, m_context_y = 0;
    bool m_context_right = false;
    // The rows of the context (or column) menu as last drawn.
    std::vector<Action> m_context_actions;
    double m_mouse_x = 0, m_mouse_y = 0;
    // ---- end menus ----

    // ---- Keyboard (app_keys.cpp) ----
    bool handle_overlay_key(GdkEventKey* event);
    bool handle_overlay_text_key(GdkEventKey* event);
    bool handle_path_edit_key(GdkEventKey* event);
    bool handle_rename_key(GdkEventKey* event);
    bool handle_search_key(GdkEventKey* event);
    // The panes' key map; false when the key did nothing that needs a redraw.
    bool handle_global_key(GdkEventKey* event);
    // Cursor, selection, pane switching and opening; false for any other key.
    bool handle_pane_key(GdkEventKey* event);
    bool handle_control_key(unsigned keyval);
    bool type_ahead(unsigned keyval, unsigned state);
    void move_cursor_key(Pane::Move move, bool extend);
    std::string m_typeahead;
    double m_typeahead_time = -10;
    std::string m_input_buffer;
    size_t m_input_caret = 0;
    int m_list_scroll = 0;
    int m_overlay_page = 0;
    bool m_overlay_scrolls = false;
    std::map<char, Action> m_overlay_accels;
    // The dialog the accelerators were drawn for: a key may come before the new dialog's first frame.
    Overlay m_accels_overlay = Overlay::None;
    // ---- end keyboard ----

    // ---- Commands (app_commands.cpp) ----
    void perform_command(Action action);
    bool perform_pane_command(Action action);
    bool perform_navigation_command(Action action);
    bool perform_dialog_command(Action action);
    bool perform_settings_command(Action action);
    bool perform_bookmark_command(Action action);
    void overlay_ok();
    void open_dialog_for(Action action);
    void go_to_trash();
    void refresh_command();
    void copy_path_command();
    void request_delete(Action action);
    // Transfers, conflict answers, duplicates and links (app_jobs.cpp).
    bool perform_job_command(Action action);
    void answer_conflict(copy_engine::ConflictAction answer);
    void open_error_list(ErrorSource source, const std::string& title);
    // The lines of the error list for the job that opened it, and the number of failures it reports.
    std::vector<std::string> error_list_lines(const copy_engine::Progress& copy, const BgTask::Status& task,
                                              size_t& count) const;
    void make_links();
    void busy_message();
    void swap_panes();
    void toggle_column(Action action);
    void save_settings();
    void reset_settings();
    void next_archive_format(Settings& s);
    std::string m_overlay_title;
    std::string m_overlay_text;
    bool m_overlay_is_error = false;
    Action m_message_action = Action::None;
    std::string m_message_action_label;
    std::string m_pending_bookmark;
    int m_settings_scroll = 0;
    bool m_sandbox_copied = false;
    // ---- end commands ----

    // ---- Dialog frame and simple dialogs (app_dialogs.cpp) ----
    void draw_overlay();
    // With `fresh_letters` false the letters of an earlier row of the same dialog stay taken and active.
    double draw_buttons(double x, double y, double w, const std::vector<ButtonSpec>& buttons,
                        bool fresh_letters = true);
    // One button with its right edge at `right`; returns its width.
    double draw_button(double right, double y, const ButtonSpec& b, const std::string& label, int accel);
    void draw_overlay_message(double x, double y, double w, double h);
    void draw_overlay_text_input(double x, double y, double w, double h);
    void draw_overlay_confirm_delete(double x, double y, double w, double h);
    void draw_overlay_conflict(double x, double y, double w, double h);
    void draw_conflict_box(const copy_engine::ConflictRequest& c, bool incoming, double x, double y,
                           double w);
    void draw_overlay_errors(double x, double y, double w, double h);
    void draw_overlay_title(double x, double y, double w);
    double message_text_height(double width);
    void log_dialog_options();
    double m_overlay_min_w = 0, m_overlay_min_h = 0;
    // The dialog whose size the pointer drags: 0 none, 1 the archive browser, 2 the hex viewer.
    int m_overlay_resize = 0;
    Overlay m_logged_overlay = Overlay::None;
    // ---- end dialogs ----

    // ---- Self-test (app_selftest.cpp) ----
    static int on_self_test_cb(App* app);
    void self_test_next();
    bool self_test_settled() const;
    std::vector<std::string> m_selftest_steps;
    bool m_selftest_started = false;
    size_t m_selftest_next = 0;
    int m_selftest_executed = 0;
    int m_selftest_unknown = 0;
    double m_selftest_step_started = 0;
    double m_selftest_wait_until = 0;
    uint64_t m_selftest_frame_mark = 0;
    bool m_selftest_no_wait = false; // the step began with "&": go on while work runs
    uint64_t m_frames_drawn = 0;
    // With the step "hits", every frame whose regions differ from the last logged ones logs them all, in
    // window pixels, so that a test driving the real pointer knows where to click.
    void log_hits_if_changed();
    bool m_log_hits = false;
    std::string m_logged_hits;
    // ---- end self-test ----
};
