// Drag and drop of files: the selection of a pane dragged out as "text/uri-list", and URIs dropped onto
// a pane copied (or moved) into its folder.
#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/strutil.h"
#include "ui/painter.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace {

// The local path of a "file:" URI on this machine, or "" for anything else (other schemes, other hosts,
// malformed escapes).
std::string local_path_of(const std::string& uri) {
    gchar* host = nullptr;
    gchar* path = g_filename_from_uri(uri.c_str(), &host, nullptr);
    std::string out = path ? path : "";
    const bool here =
        !host || !*host || g_strcmp0(host, "localhost") == 0 || g_strcmp0(host, g_get_host_name()) == 0;
    g_free(host);
    g_free(path);
    return here && !out.empty() && out[0] == '/' ? out : std::string();
}

// A small label under the pointer: how many entries are dragged, and the first one's name.
cairo_surface_t* make_drag_icon(const Palette& palette, const std::vector<std::string>& paths) {
    std::string text = su::basename_of(paths.front());
    if (paths.size() > 1) text = std::to_string(paths.size()) + " \u00d7  " + text;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 220, 26);
    cairo_t* cr = cairo_create(surface);
    Painter::prepare_text(cr);
    Painter pt(cr);
    pt.fill_rounded(0, 0, 220, 26, 5, palette.accent, 0.9);
    pt.text(text, 10, 13, TextStyle(12.5, "#FFFFFF").with_bold().with_max_width(200));
    cairo_destroy(cr);
    return surface;
}

} // namespace

void App::connect_drag_signals() {
    g_signal_connect(m_canvas, "drag-data-received", G_CALLBACK(&App::on_drag_data_received_cb), this);
    g_signal_connect(m_canvas, "drag-drop", G_CALLBACK(&App::on_drag_drop_cb), this);
    g_signal_connect(m_canvas, "drag-motion", G_CALLBACK(&App::on_drag_motion_cb), this);
    g_signal_connect(m_canvas, "drag-leave", G_CALLBACK(&App::on_drag_leave_cb), this);
    g_signal_connect(m_canvas, "drag-data-get", G_CALLBACK(&App::on_drag_data_get_cb), this);
    g_signal_connect(m_canvas, "drag-begin", G_CALLBACK(&App::on_drag_begin_cb), this);
    g_signal_connect(m_canvas, "drag-end", G_CALLBACK(&App::on_drag_end_cb), this);
}

void App::begin_pane_drag(GdkEvent* event) {
    Pane& pane = pane_for(m_press_right);
    // A press on an unselected row has already made it the selection; a deferred press keeps the
    // selection it landed on.
    m_drag_paths = pane.action_paths();
    if (m_drag_paths.empty() || !m_canvas) {
        m_drag_from_pane = false;
        return;
    }
    m_drag_source_right = m_press_right;
    GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
    gtk_target_list_add(targets, gdk_atom_intern_static_string("text/uri-list"), 0, 0);
    gtk_drag_begin_with_coordinates(m_canvas, targets, GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_MOVE), 1,
                                    event, -1, -1);
    gtk_target_list_unref(targets);
    Log::instance().infof("drag: %zu item(s) from the %s pane", m_drag_paths.size(),
                          m_press_right ? "right" : "left");
}

void App::on_drag_begin_cb(GtkWidget*, GdkDragContext* context, App* app) {
    if (app->m_drag_paths.empty()) return;
    cairo_surface_t* icon = make_drag_icon(app->m_palette, app->m_drag_paths);
    gtk_drag_set_icon_surface(context, icon);
    cairo_surface_destroy(icon);
}

void App::on_drag_data_get_cb(GtkWidget*, GdkDragContext*, GtkSelectionData* data, unsigned, unsigned,
                              App* app) {
    std::vector<gchar*> uris;
    for (const std::string& path : app->m_drag_paths)
        if (gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr)) uris.push_back(uri);
    uris.push_back(nullptr);
    gtk_selection_data_set_uris(data, uris.data());
    for (gchar* uri : uris)
        g_free(uri);
}

void App::on_drag_end_cb(GtkWidget*, GdkDragContext*, App* app) {
    app->end_pane_drag();
}

void App::end_pane_drag() {
    m_drag_from_pane = false;
    m_press_pending = false;
    m_press_defer_select = false;
    m_drag_paths.clear();
    m_drag_active = m_drag_inside = false;
    request_redraw();
}

int App::on_drag_motion_cb(GtkWidget*, GdkDragContext*, int x, int, unsigned, App* app) {
    // Which pane would take the drop; the frame outlines it. GTK answers the source itself.
    const bool right = x / app->m_ui_scale >= app->m_layout.right_x;
    if (!app->m_drag_active || !app->m_drag_inside || app->m_drag_target_right != right) {
        app->m_drag_active = app->m_drag_inside = true;
        app->m_drag_target_right = right;
        app->request_redraw();
    }
    return FALSE;
}

int App::on_drag_drop_cb(GtkWidget* widget, GdkDragContext* context, int, int, unsigned time, App*) {
    GdkAtom uri_list = gdk_atom_intern_static_string("text/uri-list");
    GList* offered = gdk_drag_context_list_targets(context);
    if (!g_list_find(offered, uri_list)) {
        gtk_drag_finish(context, FALSE, FALSE, time);
        return TRUE;
    }
    gtk_drag_get_data(widget, context, uri_list, time);
    return TRUE;
}

void App::on_drag_leave_cb(GtkWidget*, GdkDragContext*, unsigned, App* app) {
    app->m_drag_active = app->m_drag_inside = false;
    app->request_redraw();
}

void App::on_drag_data_received_cb(GtkWidget* widget, GdkDragContext* context, int x, int,
                                   GtkSelectionData* data, unsigned, unsigned time, App* app) {
    // Never ask the source to delete anything: a move is carried out by the engine, which removes each
    // source only once its copy is in place.
    gtk_drag_finish(context, gtk_selection_data_get_length(data) >= 0, FALSE, time);
    app->m_drag_active = app->m_drag_inside = false;
    app->request_redraw();
    const double lx = x / app->m_ui_scale;
    // Over the bridge the drop belongs to neither pane.
    if (lx >= app->m_layout.bridge_x && lx < app->m_layout.right_x) return;
    std::vector<std::string> uris;
    if (gchar** list = gtk_selection_data_get_uris(data)) {
        for (gchar** u = list; *u; ++u)
            uris.emplace_back(*u);
        g_strfreev(list);
    }
    const bool from_pane = app->m_drag_from_pane && gtk_drag_get_source_widget(context) == widget;
    const bool move = gdk_drag_context_get_selected_action(context) == GDK_ACTION_MOVE;
    app->handle_drop(uris, lx >= app->m_layout.right_x, move, from_pane);
}

void App::handle_drop(const std::vector<std::string>& uris, bool right, bool move, bool from_pane) {
    Log& log = Log::instance();
    if (uris.empty()) return;
    // Back onto the pane it came from: the user changed their mind.
    if (from_pane && right == m_drag_source_right) return;
    if (work_running()) {
        log.infof("drop refused: work is running");
        return busy_message();
    }
    std::vector<std::string> paths;
    for (const std::string& uri : uris) {
        std::string path = local_path_of(uri);
        if (path.empty()) {
            // Nothing of a mixed drop is taken: a part of it landing would be harder to follow.
            log.warnf("drop refused: not a local file: %s", uri.c_str());
            return show_message(tr("dlg.error"), tr("err.drop_not_local"), true);
        }
        paths.push_back(std::move(path));
    }
    const std::string& target = pane_for(right).path();
    if (std::all_of(paths.begin(), paths.end(),
                    [&](const std::string& p) { return su::parent_of(p) == target; }))
        return show_message(tr("dlg.same_dir_title"), tr("err.drop_same_dir"), false);
    log.infof("drop: %zu item(s) -> %s (%s%s)", paths.size(), target.c_str(), move ? "move" : "copy",
              from_pane ? ", from pane" : ", from outside");
    start_transfer_of(paths, right, move);
}
