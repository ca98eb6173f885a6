// Pointer input: presses and releases dispatched by the region under the pointer, the drags that follow a
// press (column edges, scroll thumbs), hover with the pointer's cursor shape, and the wheel.
#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/strutil.h"
#include "config/bookmarks.h"
#include "config/recent.h"
#include "config/settings.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "engine/drives.h"
#include "fs/fs_ops.h"
#include "ui/menu_model.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kRightButton = 3;
constexpr double kRowStep = 3;   // rows per wheel notch
constexpr double kSideStep = 60; // units per notch with Shift

bool show_hidden() {
    return SettingsStore::instance().get().show_hidden;
}

// Regions that act on a pane's listing; while work runs the panes are veiled and these do nothing.
bool acts_on_pane(App::Hit what) {
    using H = App::Hit;
    switch (what) {
    case H::PaneRow:
    case H::PaneBanner:
    case H::PaneHeader:
    case H::PaneHeaderMenu:
    case H::PaneBackground:
    case H::DrivePicker:
    case H::DriveItem:
    case H::PathSegment:
    case H::PathBar:
    case H::PathEdit:
    case H::SearchBar:
    case H::SearchClear:
        return true;
    default:
        return false;
    }
}

} // namespace

// ---- GTK callbacks ----

int App::on_button_press_cb(GtkWidget* widget, GdkEventButton* event, App* app) {
    gtk_widget_grab_focus(widget);
    if (event->type == GDK_3BUTTON_PRESS) return TRUE;
    const unsigned count = event->type == GDK_2BUTTON_PRESS ? 2 : 1;
    const double s = app->m_ui_scale;
    app->handle_click(event->x / s, event->y / s, int(event->button), event->state, count);
    return TRUE;
}

int App::on_button_release_cb(GtkWidget*, GdkEventButton*, App* app) {
    app->handle_release();
    return TRUE;
}

int App::on_motion_cb(GtkWidget*, GdkEventMotion* event, App* app) {
    const double s = app->m_ui_scale;
    const bool was_dragging = app->m_drag_from_pane;
    app->handle_motion(event->x / s, event->y / s, event->state);
    if (!was_dragging && app->m_drag_from_pane) app->begin_pane_drag(reinterpret_cast<GdkEvent*>(event));
    return TRUE;
}

int App::on_scroll_cb(GtkWidget*, GdkEventScroll* event, App* app) {
    const double s = app->m_ui_scale;
    const double x = event->x / s, y = event->y / s;
    switch (event->direction) {
    case GDK_SCROLL_UP:
        app->handle_scroll(x, y, -1, false, event->state);
        break;
    case GDK_SCROLL_DOWN:
        app->handle_scroll(x, y, 1, false, event->state);
        break;
    case GDK_SCROLL_SMOOTH:
        app->handle_scroll(x, y, event->delta_y, true, event->state);
        break;
    default:
        break;
    }
    return TRUE;
}

int App::on_leave_cb(GtkWidget*, GdkEventCrossing*, App* app) {
    app->handle_leave();
    return FALSE;
}

void App::connect_pointer_signals() {
    g_signal_connect(m_canvas, "button-press-event", G_CALLBACK(&App::on_button_press_cb), this);
    g_signal_connect(m_canvas, "button-release-event", G_CALLBACK(&App::on_button_release_cb), this);
    g_signal_connect(m_canvas, "motion-notify-event", G_CALLBACK(&App::on_motion_cb), this);
    g_signal_connect(m_canvas, "scroll-event", G_CALLBACK(&App::on_scroll_cb), this);
    g_signal_connect(m_canvas, "leave-notify-event", G_CALLBACK(&App::on_leave_cb), this);
}

// ---- Presses ----

bool App::work_running() const {
    return copy_engine::instance().is_running() || BgTask::instance().is_running();
}

int App::visible_rows_of(bool right) const {
    const int shown = m_pane_visible[right ? 1 : 0];
    return shown > 0 ? shown : m_layout.visible_rows;
}

void App::handle_click(double x, double y, int button, unsigned state, unsigned click_count) {
    const HitRect* found = hit_test(x, y);
    if (!found) {
        bool closed = m_context_menu || m_open_drive_picker >= 0 || m_open_menu >= 0;
        if (m_context_menu)
            m_context_menu = m_column_menu = false;
        else if (m_open_drive_picker >= 0)
            m_open_drive_picker = -1;
        else
            m_open_menu = -1;
        if (closed) request_redraw();
        return;
    }
    // A copy: what the click does may redraw and so rebuild the list the region lives in.
    const HitRect hit = *found;
    if (click_refused(hit, click_count) || click_closes_popup(hit)) return;
    if (hit.what == Hit::PaneRow)
        click_row(hit, x, y, button, state, click_count);
    else
        dispatch_click(hit, x, y, button, state);
}

// A double click arrives as two presses and then the double-click event: the presses have done what a
// click does, so the third event counts only where a double click means something, on a pane row. The
// regions of the last frame may also be older than the dialog state: a press that closed a dialog is
// followed by the second press of the double click before anything was redrawn.
bool App::click_refused(const HitRect& hit, unsigned click_count) const {
    if (click_count >= 2 && hit.what != Hit::PaneRow) return true;
    if (hit.in_overlay && (m_overlay == Overlay::None || m_hits_overlay_serial != m_overlay_serial))
        return true;
    return acts_on_pane(hit.what) && work_running();
}

bool App::click_closes_popup(const HitRect& hit) {
    if (m_context_menu && hit.what != Hit::MenuItem) {
        m_context_menu = m_column_menu = false;
    } else if (m_open_drive_picker >= 0 && hit.what != Hit::DriveItem) {
        m_open_drive_picker = -1;
    } else if (m_open_menu >= 0 && !hit.in_menu && hit.what != Hit::MenuTitle) {
        m_open_menu = -1;
    } else {
        // With nothing to close, a dialog ignores clicks beside it.
        return m_overlay != Overlay::None && !hit.in_overlay;
    }
    request_redraw();
    return true;
}

void App::dispatch_click(const HitRect& hit, double x, double y, int button, unsigned state) {
    const bool handled = dispatch_menu_click(hit) || dispatch_pane_click(hit, x, y, button, state) ||
                         dispatch_bar_click(hit, button) || dispatch_work_click(hit, x, y);
    if (handled) request_redraw();
}

void App::make_pane_active(bool right) {
    m_active_right = right;
}

void App::close_menus() {
    m_open_menu = -1;
    m_menu_hover_item = -1;
    m_context_menu = m_column_menu = false;
}

void App::open_context_menu(double x, double y, bool right) {
    m_context_menu = true;
    m_column_menu = false;
    m_context_right = right;
    m_context_x = x;
    m_context_y = y;
    request_redraw();
}

void App::open_column_menu(double x, double y, bool right) {
    make_pane_active(right);
    open_context_menu(x, y, right);
    m_column_menu = true;
}

// The menu bar, menu rows, dialog buttons and the rows listed in menus.
bool App::dispatch_menu_click(const HitRect& hit) {
    switch (hit.what) {
    case Hit::MenuTitle:
        if (hit.param < 0 || hit.param >= int(menu_model::bar().size())) return true;
        m_open_menu = m_open_menu == hit.param ? -1 : hit.param;
        m_menu_hover_item = -1;
        return true;
    case Hit::MenuItem:
        close_menus();
        // Disabled rows carry no action.
        if (hit.param != int(Action::None)) perform(static_cast<Action>(hit.param), 0);
        return true;
    case Hit::Overlay:
        perform(static_cast<Action>(hit.param), 0);
        return true;
    case Hit::RecentItem: {
        const std::vector<std::string> dirs = recent::all();
        if (hit.param < 0 || hit.param >= int(dirs.size())) return true;
        close_menus();
        m_pending_bookmark = dirs[size_t(hit.param)];
        set_overlay(Overlay::BookmarkSide, su::basename_of(m_pending_bookmark));
        return true;
    }
    case Hit::BookmarkItem:
        click_bookmark(hit.param);
        return true;
    default:
        return false;
    }
}

void App::click_bookmark(int index) {
    const std::vector<bookmarks::Bookmark> marks = bookmarks::all();
    if (index < 0 || index >= int(marks.size())) return;
    close_menus();
    const bookmarks::Bookmark& mark = marks[size_t(index)];
    m_pending_bookmark = mark.path;
    if (fsops::stat_path(mark.path).is_dir) return set_overlay(Overlay::BookmarkSide, mark.name);
    Log::instance().warnf("bookmark gone: %s", mark.path.c_str());
    show_message(tr("menu.bookmarks"), tr("err.bookmark_gone"), true, Action::BookmarkRemove,
                 tr("bookmark.forget"));
}

// The parts of a pane above and around its rows.
bool App::dispatch_pane_click(const HitRect& hit, double x, double y, int button, unsigned state) {
    Pane& pane = pane_for(hit.right);
    const bool context = button == kRightButton;
    switch (hit.what) {
    case Hit::PaneBanner:
        if (active_pane().renaming()) commit_rename();
        make_pane_active(hit.right);
        return true;
    case Hit::PaneHeader:
        make_pane_active(hit.right);
        if (context)
            open_column_menu(x, y, hit.right);
        else
            pane.toggle_sort_column(static_cast<dir_lister::SortKey>(hit.param));
        return true;
    case Hit::PaneHeaderMenu:
        if (context) open_column_menu(x, y, hit.right);
        return context;
    case Hit::PaneBackground:
        make_pane_active(hit.right);
        if (pane.renaming()) commit_rename();
        if (context)
            open_context_menu(x, y, hit.right);
        else if (!(state & (GDK_SHIFT_MASK | GDK_CONTROL_MASK)))
            pane.clear_selection();
        return true;
    case Hit::PathSegment:
        make_pane_active(hit.right);
        click_path_segment(hit.right, hit.param);
        return true;
    case Hit::PathBar:
    case Hit::PathEdit:
        make_pane_active(hit.right);
        if (hit.what == Hit::PathEdit && pane.renaming()) commit_rename();
        begin_path_edit(hit.right);
        return true;
    case Hit::SearchBar:
        make_pane_active(hit.right);
        begin_search(hit.right);
        return true;
    case Hit::SearchClear:
        make_pane_active(hit.right);
        m_search_pane = hit.right ? 1 : 0;
        end_search(true);
        return true;
    default:
        return false;
    }
}

// Segment 0 is the root; segment n ends before the n-th "/" after it.
void App::click_path_segment(bool right, int segment) {
    Pane& pane = pane_for(right);
    const std::string& path = pane.path();
    if (segment < 0 || path.empty() || path[0] != '/') return;
    size_t end = 0;
    for (int i = 0; i < segment; ++i) {
        end = path.find('/', end + 1);
        if (end == std::string::npos) {
            end = path.size();
            // A segment past the last one is a region of an older path.
            if (i + 1 < segment) return;
            break;
        }
    }
    const std::string target = segment == 0 ? std::string("/") : path.substr(0, end);
    if (target != path) pane.navigate_to(target, show_hidden());
}

void App::click_drive_item(const HitRect& hit) {
    const bool right = m_open_drive_picker == 1;
    m_open_drive_picker = -1;
    m_drive_hover = -1;
    if (hit.label.empty()) return;
    pane_for(right).navigate_to(hit.label, show_hidden());
    make_pane_active(right);
}

// The drive bar and the bridge between the panes.
bool App::dispatch_bar_click(const HitRect& hit, int) {
    const int side = hit.right ? 1 : 0;
    switch (hit.what) {
    case Hit::DrivePicker:
        if (m_open_drive_picker == side) {
            m_open_drive_picker = -1;
        } else {
            m_open_drive_picker = side;
            drives::refresh();
        }
        m_drive_hover = -1;
        return true;
    case Hit::DriveItem:
        click_drive_item(hit);
        return true;
    case Hit::BridgeCopy:
    case Hit::BridgeMove:
        start_transfer(hit.right, hit.what == Hit::BridgeMove);
        return true;
    default:
        break;
    }
    static const std::pair<Hit, Action> kBridge[] = {
        {Hit::BridgePack, Action::PackToOther},      {Hit::BridgeRefresh, Action::Refresh},
        {Hit::BridgeNewFolder, Action::NewFolder},   {Hit::BridgeDelete, Action::Delete},
        {Hit::BridgeSearch, Action::SearchPane},     {Hit::BridgeHex, Action::ViewHex},
        {Hit::BridgeTerminal, Action::OpenTerminal}, {Hit::BridgeTrash, Action::GoToTrash},
    };
    for (const auto& [what, action] : kBridge) {
        if (what != hit.what) continue;
        perform(action, 0);
        return true;
    }
    return false;
}

// The progress panel, the result line and the drags a press starts.
bool App::dispatch_work_click(const HitRect& hit, double x, double y) {
    const int side = hit.right ? 1 : 0;
    switch (hit.what) {
    case Hit::ResultDismiss:
        m_result.valid = false;
        return true;
    case Hit::ProgressCancel:
        if (copy_engine::instance().is_running()) copy_engine::instance().cancel();
        if (BgTask::instance().is_running()) BgTask::instance().cancel();
        return true;
    case Hit::ErrorBanner: {
        // The failures of the job on screen: the running one, else the one the result line reports.
        ErrorSource source = m_frame_copy.running ? ErrorSource::Copy
                             : m_frame_bg.running ? ErrorSource::Task
                                                  : m_result_source;
        open_error_list(source == ErrorSource::None ? ErrorSource::Copy : source, tr("dlg.errors_title"));
        return true;
    }
    case Hit::ScrollThumb:
        m_dragging_scroll = true;
        m_drag_scroll_right = hit.right;
        m_drag_scroll_offset = y - hit.y;
        return false;
    case Hit::PaneHScroll:
        m_pane_hdrag = side;
        drag_pane_hscroll(x);
        return true;
    case Hit::OverlayResize:
        m_overlay_resize = hit.param == 0 ? 1 : 2;
        return true;
    case Hit::ColumnResize:
        m_col_drag = hit.param;
        m_col_drag_x = hit.x + hit.w / 2 - column_width_now(hit.param, hit.right);
        make_pane_active(hit.right);
        return true;
    default:
        return false;
    }
}

void App::click_row(const HitRect& hit, double x, double y, int button, unsigned state,
                    unsigned click_count) {
    Pane& pane = pane_for(hit.right);
    make_pane_active(hit.right);
    if (pane.renaming() && pane.rename_index() != hit.param) commit_rename();
    const int row = hit.param;
    // The region may be older than the listing: a reload between frames can shorten it.
    if (row < 0 || row >= pane.count()) return request_redraw();
    if (button == kRightButton) {
        if (!pane.is_selected(row)) pane.set_cursor(row, true);
        return open_context_menu(x, y, hit.right);
    }
    if (click_count == 2) return activate_row(row, hit.right);
    const bool shift = state & GDK_SHIFT_MASK, control = state & GDK_CONTROL_MASK;
    if (button == 1) {
        m_press_pending = true;
        m_press_x = x;
        m_press_y = y;
        m_press_right = hit.right;
        m_press_row = row;
        m_drag_from_pane = false;
        // Pressing on the selection may start dragging it: the release decides whether it collapses.
        m_press_defer_select = !shift && !control && pane.is_selected(row);
        if (m_press_defer_select) return request_redraw();
    }
    if (shift)
        pane.extend_selection_to(row);
    else if (control)
        pane.toggle_selection(row);
    else
        pane.set_cursor(row, true);
    pane.ensure_cursor_visible(visible_rows_of(hit.right));
    request_redraw();
}

// ---- Release and motion ----

void App::handle_release() {
    if (m_press_pending && m_press_defer_select && !m_drag_from_pane) {
        Pane& pane = pane_for(m_press_right);
        if (m_press_row >= 0 && m_press_row < pane.count()) {
            pane.set_cursor(m_press_row, true);
            pane.ensure_cursor_visible(visible_rows_of(m_press_right));
        }
        request_redraw();
    }
    m_press_pending = false;
    m_press_defer_select = false;
    m_press_row = -1;
    if (m_col_drag != -2) {
        m_col_drag = -2;
        SettingsStore::instance().save();
    }
    m_pane_hdrag = -1;
    if (m_overlay_resize != 0) {
        m_overlay_resize = 0;
        SettingsStore::instance().save();
    }
    if (m_dragging_scroll) {
        m_dragging_scroll = false;
        request_redraw();
    }
}

void App::handle_motion(double x, double y, unsigned state) {
    m_mouse_x = x;
    m_mouse_y = y;
    if (m_col_drag != -2) {
        set_column_width(m_col_drag, x - m_col_drag_x);
        return request_redraw();
    }
    if (m_pane_hdrag >= 0) {
        drag_pane_hscroll(x);
        return request_redraw();
    }
    if (m_overlay_resize != 0) {
        drag_overlay_size(x, y);
        return request_redraw();
    }
    if (m_press_pending && !m_drag_from_pane && (state & GDK_BUTTON1_MASK)) {
        // The threshold is in window pixels, as the desktop's setting means it.
        const double s = m_ui_scale;
        const bool passed = m_canvas ? gtk_drag_check_threshold(m_canvas, int(m_press_x * s),
                                                                int(m_press_y * s), int(x * s), int(y * s))
                                     : std::hypot(x - m_press_x, y - m_press_y) * s > 8;
        if (passed) {
            m_drag_from_pane = true;
            return;
        }
    }
    if (m_dragging_scroll) return drag_pane_vscroll(y);
    update_hover(x, y);
}

// The thumb keeps the offset at which it was grabbed; its top maps back to the first row the way the
// drawing places it: top = track top + (track - thumb) * first / (rows - shown).
void App::drag_pane_vscroll(double y) {
    const bool right = m_drag_scroll_right;
    const int side = right ? 1 : 0;
    Pane& pane = pane_for(right);
    const int n = pane.count(), v = visible_rows_of(right);
    const double travel = m_pane_vtrack_h[side] - m_pane_vthumb_h[side];
    if (v >= n || m_pane_vtrack_h[side] <= 0 || travel <= 0) return;
    const double f = std::clamp((y - m_drag_scroll_offset - m_pane_vtrack_y[side]) / travel, 0.0, 1.0);
    pane.set_scroll(int(std::lround(f * (n - v))), v);
    request_redraw();
}

void App::drag_pane_hscroll(double x) {
    if (m_pane_hdrag < 0 || m_pane_hdrag > 1) return;
    const int side = m_pane_hdrag;
    const double track = m_pane_htrack_w[side];
    if (track <= 0) return;
    const double f = std::clamp((x - m_pane_htrack_x[side]) / track, 0.0, 1.0);
    m_pane_hscroll[side] = f * std::max(0.0, m_pane_content_w[side] - m_pane_view_w[side]);
}

// Dialogs are centred: the grip at the lower right corner moves both edges, so the size is twice the
// pointer's distance from the middle, never above the window less a margin nor below the dialog's minimum.
void App::drag_overlay_size(double x, double y) {
    const Layout& l = m_layout;
    const double w = std::max(std::min(2 * (x - l.width / 2), l.width - 40), m_overlay_min_w);
    const double h = std::max(std::min(2 * (y - l.height / 2), l.height - 40), m_overlay_min_h);
    Settings& s = SettingsStore::instance().mutable_get();
    (m_overlay_resize == 1 ? s.archive_view_w : s.hex_view_w) = int(w);
    (m_overlay_resize == 1 ? s.archive_view_h : s.hex_view_h) = int(h);
}

void App::set_column_width(int column, double width) {
    Settings& s = SettingsStore::instance().mutable_get();
    const int w = int(std::clamp(width, 40.0, 900.0));
    if (column < 0)
        s.col_w_name = w;
    else
        column_width_setting(s, static_cast<ColumnId>(column)) = w;
}

void App::set_pointer_cursor(const char* name) {
    if (name == m_cursor_name || (name && m_cursor_name && std::string(name) == m_cursor_name)) return;
    m_cursor_name = name;
    GdkWindow* window = m_canvas ? gtk_widget_get_window(m_canvas) : nullptr;
    if (!window) return;
    GdkCursor* cursor = name ? gdk_cursor_new_from_name(gdk_window_get_display(window), name) : nullptr;
    gdk_window_set_cursor(window, cursor);
    if (cursor) g_object_unref(cursor);
}

void App::update_hover(double x, double y) {
    const HitRect* hit = hit_test(x, y);
    const int old_menu = m_menu_hover_item, old_drive = m_drive_hover, old_list = m_list_hover;
    bool changed = hit ? !m_hover || m_hover->what != hit->what || m_hover->param != hit->param ||
                             m_hover->right != hit->right || hit->what == Hit::MenuItem ||
                             hit->what == Hit::DriveItem
                       : m_hover.has_value();
    if (!hit) {
        m_hover.reset();
        set_pointer_cursor(nullptr);
        m_menu_hover_item = m_drive_hover = m_list_hover = -1;
    } else {
        m_hover = *hit;
        // Menus follow the pointer along the bar.
        if (m_open_menu >= 0 && hit->what == Hit::MenuTitle && hit->param != m_open_menu) {
            m_open_menu = hit->param;
            changed = true;
        }
        set_pointer_cursor(hit->what == Hit::ColumnResize    ? "col-resize"
                           : hit->what == Hit::OverlayResize ? "se-resize"
                           : hit->what == Hit::PaneHScroll   ? "default"
                                                             : nullptr);
        m_menu_hover_item = hit->what == Hit::MenuItem ? hit->param : -1;
        m_drive_hover = hit->what == Hit::DriveItem ? hit->param : -1;
        m_list_hover = hit->what != Hit::ListItem ? -1 : hit->param < 0 ? ~hit->param : hit->param;
    }
    if (changed || old_menu != m_menu_hover_item || old_drive != m_drive_hover || old_list != m_list_hover)
        request_redraw();
}

void App::handle_leave() {
    if (!m_hover && m_menu_hover_item < 0 && m_drive_hover < 0) return;
    m_hover.reset();
    m_menu_hover_item = -1;
    m_drive_hover = -1;
    request_redraw();
}

// ---- The wheel ----

void App::handle_scroll(double x, double, double notches, bool smooth, unsigned state) {
    const double rows = kRowStep * notches;
    int step = int(rows); // toward zero
    if (m_overlay != Overlay::None && m_overlay_scrolls) {
        if (step == 0) return;
        m_list_scroll = std::max(0, std::max(0, m_list_scroll) + step);
        return request_redraw();
    }
    const bool right = x >= m_layout.right_x;
    const int side = right ? 1 : 0;
    Pane& pane = pane_for(right);
    if (state & GDK_SHIFT_MASK) {
        const double max_h = std::max(0.0, m_pane_content_w[side] - m_pane_view_w[side]);
        m_pane_hscroll[side] = std::clamp(m_pane_hscroll[side] + kSideStep * notches, 0.0, max_h);
        return request_redraw();
    }
    // However small a smooth step, it moves the list.
    if (step == 0 && smooth && notches != 0) step = notches > 0 ? 1 : -1;
    if (step == 0) return;
    pane.scroll_by(step, visible_rows_of(right));
    request_redraw();
}
