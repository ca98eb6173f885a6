// The two bands at the top of the window (menu bar and header) and every menu: the drop-down menus of the
// bar with their recent-folder and bookmark sections, the pane context menu and the column menu.
#include "ui/app.h"

#include "base/format.h"
#include "base/i18n.h"
#include "base/paths.h"
#include "base/scope.h"
#include "base/strutil.h"
#include "base/version.h"
#include "config/bookmarks.h"
#include "config/recent.h"
#include "config/settings.h"
#include "engine/archive_ops.h"
#include "fs/fs_entry.h"
#include "ui/menu_model.h"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMenuBarH = 30;
constexpr double kRowH = 26;
constexpr double kSepH = 7;
constexpr double kHeaderH = 64;
constexpr const char* kWhite = "#FFFFFF";
constexpr const char* kBlack = "#000000";

// The product name as the word mark's three runs: regular, bold, bold in the accent.
constexpr std::array<const char*, 3> kWordMark = {"Tav", "r", "in"};

struct Lane {
    double y_frac;
    double speed;
    double idle_speed;
    double size;
    double alpha;
};
constexpr std::array<Lane, 3> kLanes = {{
    {0.30, 120, 6, 7, 0.20},
    {0.52, 190, 14, 9, 0.30},
    {0.74, 150, 9.5, 6, 0.16},
}};

// Whether a checkable row is on right now.
bool item_checked(const menu_model::Item& item) {
    const Settings& s = SettingsStore::instance().get();
    const auto action = static_cast<Action>(item.action);
    if (action == Action::ToggleHidden) return s.show_hidden;
    if (auto column = column_for_action(action)) return column_enabled(s, *column);
    return false;
}

std::string label_of(const menu_model::Item& item) {
    return item.label_key ? tr(item.label_key) : std::string();
}

// A menu that would cross the right or bottom edge opens to the other side of the point, but never
// closer than 4 units to the top-left corner.
void place_at_point(double px, double py, double w, double h, double win_w, double win_h, double& x,
                    double& y) {
    x = px;
    y = py;
    if (x + w > win_w - 4) x = std::max(4.0, px - w);
    if (y + h > win_h - 4) y = std::max(4.0, py - h);
}

} // namespace

menu_model::ContextInfo App::context_info(bool right) const {
    menu_model::ContextInfo info;
    const Pane& pane = right ? m_right : m_left;
    const std::vector<const FsEntry*> entries = pane.action_entries();
    info.has_selection = !entries.empty();
    info.selection_count = static_cast<int>(entries.size());
    if (!entries.empty()) {
        const FsEntry& first = *entries.front();
        info.is_dir = first.is_folder_like();
        info.is_link = first.is_symlink();
        info.is_archive = archive_ops::is_archive_name(first.name);
    }
    return info;
}

double App::menu_title_x(int index) {
    const auto& menus = menu_model::bar();
    double x = 10;
    for (int i = 0; i < index && i < static_cast<int>(menus.size()); ++i) {
        const std::string title = tr(menus[i].title_key);
        x += title.empty() ? 20 : text_width(title, 12.5) + 20;
    }
    return x;
}

void App::draw_menu_bar() {
    const double w = m_layout.width;
    fill_rect(0, 0, w, kMenuBarH, m_palette.bar);
    fill_rect(0, kMenuBarH - 1, w, 1, m_palette.divider);
    const auto& menus = menu_model::bar();
    double x = 10;
    for (int i = 0; i < static_cast<int>(menus.size()); ++i) {
        const std::string title = tr(menus[i].title_key);
        const double cell = title.empty() ? 20 : text_width(title, 12.5) + 20;
        if (i == m_open_menu)
            fill_rounded(x, 3, cell, 23, 4, m_palette.menu_hover);
        else if (hovered(Hit::MenuTitle, i, false))
            fill_rounded(x, 3, cell, 23, 4, m_palette.control_hover);
        draw_text(title, x + 10, kMenuBarH / 2, 12.5, m_palette.text);
        add_hit(x, 0, cell, kMenuBarH, Hit::MenuTitle, i, false, title);
        x += cell;
    }
}

void App::draw_open_menu() {
    const auto& menus = menu_model::bar();
    if (m_open_menu < 0 || m_open_menu >= static_cast<int>(menus.size()) || !m_cr) return;
    m_drawing_menu = true;
    FlagReset reset{m_drawing_menu};

    const menu_model::Menu& menu = menus[m_open_menu];
    const std::string title_key = menu.title_key;
    const bool go_menu = title_key == "menu.go";
    const bool bookmark_menu = title_key == "menu.bookmarks";

    double w = 160;
    double h = 6 + 6;
    for (const auto& item : menu.items) {
        if (item.separator) {
            h += kSepH;
            continue;
        }
        const std::string label = label_of(item);
        double need = label.empty() ? 50 : text_width(label, 12.5) + 50;
        if (item.shortcut) need += text_width(item.shortcut, 11) + 20;
        w = std::max(w, need);
        h += kRowH;
    }
    std::vector<std::string> recent_dirs;
    if (go_menu) {
        recent_dirs = recent::all();
        if (!recent_dirs.empty()) {
            h += kSepH + kRowH + kRowH * static_cast<double>(recent_dirs.size());
            for (const auto& dir : recent_dirs)
                w = std::max(w, text_width(su::basename_of(dir), 12.5) + 50);
        }
    }
    std::vector<bookmarks::Bookmark> marks;
    if (bookmark_menu) {
        marks = bookmarks::all();
        h += marks.empty() ? kSepH + kRowH : kSepH + kRowH * static_cast<double>(marks.size());
        for (const auto& mark : marks)
            w = std::max(w, text_width(mark.name, 12.5) + 40);
    }

    double x = menu_title_x(m_open_menu);
    const double y = kMenuBarH;
    if (x + w > m_layout.width - 4) x = m_layout.width - 4 - w;

    draw_popup_frame(x, y, w, h, true);

    const ActionTarget target = action_target();
    double cy = y + 6;
    for (const auto& item : menu.items) {
        if (item.separator) {
            fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
            cy += kSepH;
            continue;
        }
        const auto action = static_cast<Action>(item.action);
        const bool enabled = action_enabled_for(action, target, nullptr);
        const double c = cy + kRowH / 2;
        if (enabled && item.action == m_menu_hover_item)
            fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        if (item.checkable && item_checked(item)) {
            set_color(m_palette.accent);
            cairo_set_line_width(m_cr, 1.8);
            cairo_move_to(m_cr, x + 14, c);
            cairo_line_to(m_cr, x + 17.5, c + 3.5);
            cairo_line_to(m_cr, x + 23, c - 4);
            cairo_stroke(m_cr);
        }
        const std::string label = label_of(item);
        draw_text(label, x + 30, c, 12.5, enabled ? m_palette.text : m_palette.dim);
        if (item.shortcut) draw_text_right(item.shortcut, x + w - 10, c, 11, m_palette.dim);
        add_hit(x, cy, w, kRowH, Hit::MenuItem, enabled ? item.action : 0, false, label);
        cy += kRowH;
    }

    if (go_menu && !recent_dirs.empty()) {
        fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
        cy += kSepH;
        draw_text(tr("menu.recent"), x + 10, cy + kRowH / 2, 11, m_palette.secondary, true);
        cy += kRowH;
        for (int i = 0; i < static_cast<int>(recent_dirs.size()); ++i) {
            const std::string& dir = recent_dirs[i];
            std::string name = su::basename_of(dir);
            if (name.empty()) name = dir;
            const double c = cy + kRowH / 2;
            if (hovered(Hit::RecentItem, i, false))
                fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
            draw_text(name, x + 30, c, 12.5, m_palette.text);
            const double after = x + 30 + text_width(name, 12.5) + 10;
            const double room = x + w - 10 - after;
            if (room > 40) draw_text_clipped(su::parent_of(dir), after, c, room, 11, m_palette.dim);
            add_hit(x, cy, w, kRowH, Hit::RecentItem, i, false, name);
            cy += kRowH;
        }
    }

    if (bookmark_menu) {
        fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
        cy += kSepH;
        if (marks.empty()) {
            draw_text(tr("bookmark.empty_menu"), x + 30, cy + kRowH / 2, 11, m_palette.dim);
            cy += kRowH;
        }
        for (int i = 0; i < static_cast<int>(marks.size()); ++i) {
            const double c = cy + kRowH / 2;
            if (hovered(Hit::BookmarkItem, i, false))
                fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
            set_color(m_palette.accent);
            cairo_new_sub_path(m_cr);
            cairo_arc(m_cr, x + 18, c, 3.5, 0, 2 * kPi);
            cairo_fill(m_cr);
            draw_text_clipped(marks[i].name, x + 30, c, w - 50, 12.5, m_palette.text);
            add_hit(x, cy, w, kRowH, Hit::BookmarkItem, i, false, marks[i].name);
            cy += kRowH;
        }
    }
}

// Shadow, face and outline shared by the drop-down, context and column menus; the drop-down hangs from
// the menu bar and casts a second, softer shadow.
void App::draw_popup_frame(double x, double y, double w, double h, bool deep_shadow) {
    fill_rounded(x + 2, y + 3, w, h, 4, kBlack, 0.1);
    if (deep_shadow) fill_rounded(x + 1, y + 2, w, h, 4, kBlack, 0.08);
    fill_rounded(x, y, w, h, 4, m_palette.menu_bg);
    set_color(m_palette.menu_border);
    cairo_set_line_width(m_cr, 1);
    rounded_rect(x + 0.5, y + 0.5, w - 1, h - 1, 4);
    cairo_stroke(m_cr);
}

void App::draw_context_menu() {
    if (!m_context_menu || !m_cr) return;
    if (m_column_menu) {
        draw_column_menu();
        return;
    }
    const std::vector<menu_model::Item> items = menu_model::context_menu(context_info(m_context_right));
    m_context_actions.clear();

    double w = 180;
    double h = 6 + 6;
    for (const auto& item : items) {
        if (item.separator) {
            h += kSepH;
            continue;
        }
        m_context_actions.push_back(static_cast<Action>(item.action));
        double need = text_width(label_of(item), 12.5) + 40;
        if (item.shortcut) need += text_width(item.shortcut, 11) + 10;
        w = std::max(w, need);
        h += kRowH;
    }
    double x = 0, y = 0;
    place_at_point(m_context_x, m_context_y, w, h, m_layout.width, m_layout.height, x, y);

    draw_popup_frame(x, y, w, h, false);

    double cy = y + 6;
    for (const auto& item : items) {
        if (item.separator) {
            fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
            cy += kSepH;
            continue;
        }
        const double c = cy + kRowH / 2;
        if (item.action == m_menu_hover_item) fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        const std::string label = label_of(item);
        const bool danger = static_cast<Action>(item.action) == Action::Delete;
        draw_text(label, x + 15, c, 12.5, danger ? m_palette.danger : m_palette.text);
        if (item.shortcut) draw_text_right(item.shortcut, x + w - 10, c, 11, m_palette.dim);
        add_hit(x, cy, w, kRowH, Hit::MenuItem, item.action, false, label);
        cy += kRowH;
    }
}

void App::draw_column_menu() {
    if (!m_cr) return;
    const auto& items = menu_model::columns();
    m_context_actions.clear();
    double w = 190;
    for (const auto& item : items) {
        w = std::max(w, text_width(label_of(item), 12.5) + 52);
        m_context_actions.push_back(static_cast<Action>(item.action));
    }
    const double h = 39 + kRowH * static_cast<double>(items.size()) + 6;
    double x = 0, y = 0;
    place_at_point(m_context_x, m_context_y, w, h, m_layout.width, m_layout.height, x, y);

    draw_popup_frame(x, y, w, h, false);

    draw_text(tr("menu.columns"), x + 10, y + 6 + kRowH / 2, 11, m_palette.secondary, true);
    fill_rect(x + 10, y + 6 + kRowH + 3, w - 20, 1, m_palette.divider);
    double cy = y + 39;
    for (const auto& item : items) {
        const double c = cy + kRowH / 2;
        if (item.action == m_menu_hover_item) fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        if (item_checked(item)) {
            set_color(m_palette.accent);
            cairo_set_line_width(m_cr, 1.7);
            cairo_move_to(m_cr, x + 14, c);
            cairo_line_to(m_cr, x + 17.5, c + 3.5);
            cairo_line_to(m_cr, x + 23, c - 4);
            cairo_stroke(m_cr);
        }
        const std::string label = label_of(item);
        draw_text(label, x + 32, c, 12.5, m_palette.text);
        add_hit(x, cy, w, kRowH, Hit::MenuItem, item.action, false, label);
        cy += kRowH;
    }
}

void App::draw_header(double y, double w) {
    if (!m_cr) return;
    const double h = kHeaderH;
    const copy_engine::Progress& copy = m_frame_copy;
    const BgTask::Status& task = m_frame_bg;
    const bool busy = copy.running || task.running;
    // The copy's own clock keeps the animation in step with its progress; a background task has none, so
    // it runs on the wall clock like the idle drift.
    const double t = copy.running ? copy.elapsed_seconds : now_seconds();

    double fraction = 0;
    bool known = false;
    if (copy.running) {
        if (copy.bytes_total > 0) {
            fraction = double(copy.bytes_done) / double(copy.bytes_total);
            known = true;
        } else if (copy.files_total > 0) {
            fraction = double(copy.files_done) / double(copy.files_total);
            known = true;
        }
    } else if (task.running && task.total > 0) {
        fraction = double(task.done) / double(task.total);
        known = true;
    }
    fraction = std::clamp(fraction, 0.0, 1.0);
    const bool indeterminate = (copy.running && copy.scanning) || !known;

    // A dark blue band in both themes; all text on it is white.
    cairo_pattern_t* bg = cairo_pattern_create_linear(0, y, 0, y + h);
    if (m_palette.dark) {
        cairo_pattern_add_color_stop_rgb(bg, 0, 0.055, 0.075, 0.11);
        cairo_pattern_add_color_stop_rgb(bg, 0.6, 0.075, 0.11, 0.165);
        cairo_pattern_add_color_stop_rgb(bg, 1, 0.055, 0.09, 0.13);
    } else {
        cairo_pattern_add_color_stop_rgb(bg, 0, 0.086, 0.129, 0.216);
        cairo_pattern_add_color_stop_rgb(bg, 0.6, 0.118, 0.196, 0.318);
        cairo_pattern_add_color_stop_rgb(bg, 1, 0.086, 0.149, 0.251);
    }
    cairo_set_source(m_cr, bg);
    cairo_rectangle(m_cr, 0, y, w, h);
    cairo_fill(m_cr);
    cairo_pattern_destroy(bg);

    Rgb fill2{};
    if (!hex_to_rgb(m_palette.progress_fill_2, fill2)) fill2 = Rgb{1, 0, 1};
    if (busy) {
        cairo_save(m_cr);
        cairo_rectangle(m_cr, 0, y, w, h);
        cairo_clip(m_cr);
        if (indeterminate) {
            const double band = 0.35 * w;
            const double left = std::fmod(t * 260, w + band) - band;
            cairo_pattern_t* p = cairo_pattern_create_linear(left, 0, left + band, 0);
            cairo_pattern_add_color_stop_rgba(p, 0, fill2.r, fill2.g, fill2.b, 0);
            cairo_pattern_add_color_stop_rgba(p, 0.5, fill2.r, fill2.g, fill2.b, 0.22);
            cairo_pattern_add_color_stop_rgba(p, 1, fill2.r, fill2.g, fill2.b, 0);
            cairo_set_source(m_cr, p);
            cairo_rectangle(m_cr, left, y, band, h);
            cairo_fill(m_cr);
            cairo_pattern_destroy(p);
        } else {
            const double pulse = std::sin(t * 4.7) * 0.5 + 0.5;
            const double end = fraction * w;
            fill_rect(0, y, end, h, m_palette.progress_fill_2, 0.16 + 0.16 * pulse);
            cairo_pattern_t* p = cairo_pattern_create_linear(end - 40, 0, end + 3, 0);
            cairo_pattern_add_color_stop_rgba(p, 0, fill2.r, fill2.g, fill2.b, 0);
            cairo_pattern_add_color_stop_rgba(p, 1, fill2.r, fill2.g, fill2.b, 0.55 + 0.45 * pulse);
            cairo_set_source(m_cr, p);
            cairo_rectangle(m_cr, end - 40, y, 43, h);
            cairo_fill(m_cr);
            cairo_pattern_destroy(p);
        }
        cairo_restore(m_cr);
    }

    // Logo: two sheets, the front one with a folded corner, and an arrow leaving them.
    const double back_top = y + 11.36;
    const double back_bottom = back_top + 33.28;
    fill_rounded(25, back_top, 20.63, 33.28, 3, kWhite, 0.35);
    const double fx0 = 18, fx1 = 38.63, ftop = y + 18.36, fold = 7.02;
    set_color(kWhite, 0.92);
    cairo_move_to(m_cr, fx0, ftop);
    cairo_line_to(m_cr, fx1 - fold, ftop);
    cairo_line_to(m_cr, fx1, ftop + fold);
    cairo_line_to(m_cr, fx1, back_bottom);
    cairo_line_to(m_cr, fx0, back_bottom);
    cairo_close_path(m_cr);
    cairo_fill(m_cr);
    cairo_set_source_rgb(m_cr, 0.55, 0.68, 0.85);
    cairo_move_to(m_cr, fx1 - fold, ftop);
    cairo_line_to(m_cr, fx1 - fold, ftop + fold);
    cairo_line_to(m_cr, fx1, ftop + fold);
    cairo_close_path(m_cr);
    cairo_fill(m_cr);
    const double mid = y + h / 2;
    set_color(m_palette.progress_fill_2);
    cairo_set_line_width(m_cr, 3);
    cairo_move_to(m_cr, 46.63, mid);
    cairo_line_to(m_cr, 58.94, mid);
    cairo_stroke(m_cr);
    cairo_move_to(m_cr, 55.94, mid - 5.5);
    cairo_line_to(m_cr, 63.94, mid);
    cairo_line_to(m_cr, 55.94, mid + 5.5);
    cairo_close_path(m_cr);
    cairo_fill(m_cr);

    // Word mark.
    const double mark_y = y + 32;
    double mx = 77.94;
    draw_text(kWordMark[0], mx, mark_y, 34.56, kWhite, false, false, 0.72);
    mx += text_width(kWordMark[0], 34.56);
    draw_text(kWordMark[1], mx, mark_y, 34.56, kWhite, true);
    mx += text_width(kWordMark[1], 34.56, true);
    draw_text(kWordMark[2], mx, mark_y, 34.56, m_palette.progress_fill_2, true);
    mx += text_width(kWordMark[2], 34.56, true);

    // Files streaming past between the word mark and the state text.
    const double x0 = mx + 34, x1 = w - 62;
    if (x1 > x0 + 40) {
        cairo_save(m_cr);
        cairo_rectangle(m_cr, x0, y, x1 - x0, h);
        cairo_clip(m_cr);
        for (const Lane& lane : kLanes) {
            const double spacing = lane.size * 5;
            const double phase = std::fmod((busy ? lane.speed : lane.idle_speed) * t, spacing);
            const double cy = y + lane.y_frac * kHeaderH;
            for (double bx = x0 - spacing + phase; bx < x1 + spacing; bx += spacing) {
                const double fade = std::min(1.0, std::min(x1 - bx, bx - x0 + 20) / 55);
                if (fade <= 0) continue;
                fill_rounded(bx, cy - lane.size / 2, lane.size * 1.7, lane.size, 2, kWhite,
                             fade * lane.alpha);
            }
        }
        cairo_restore(m_cr);
    }

    // The state of running work, or who we are when idle.
    const double right = w - 10;
    if (copy.running && copy.scanning) {
        draw_text_right(tr("progress.measuring"), right, mid, 12.5, kWhite);
    } else if (copy.running) {
        const std::string files =
            fmt::count(copy.files_done) + " / " + fmt::count(copy.files_total) + "  " + tr("label.files");
        char pct[32];
        std::snprintf(pct, sizeof pct, "%d %%", static_cast<int>(fraction * 100));
        std::string rate = pct;
        if (copy.bytes_per_second > 0)
            rate += "   " + fmt::bytes(static_cast<int64_t>(copy.bytes_per_second)) + "/s";
        draw_text_right(files, right, mid - 9, 11, kWhite);
        draw_text_right(rate, right, mid + 9, 15, m_palette.progress_fill_2, true);
    } else if (task.running) {
        if (task.total > 0) {
            draw_text_right(task.title, right, mid - 9, 11, kWhite);
            draw_text_right(fmt::count(task.done) + " / " + fmt::count(task.total), right, mid + 9, 15,
                            m_palette.progress_fill_2, true);
        } else {
            draw_text_right(task.title, right, mid, 12.5, kWhite);
        }
    } else if (running_as_root()) {
        std::string badge = tr("header.root_mode");
        const std::string user = invoking_user();
        if (!user.empty()) badge += "  (" + user + " → root)";
        const double tw = text_width(badge, 11, true);
        const double bx = right - (tw + 14);
        fill_rounded(bx, mid - 9, tw + 14, 18, 4, m_palette.danger, 0.92);
        draw_text(badge, bx + 7, mid, 11, kWhite, true);
    } else {
        draw_text_right(std::string("v") + version::kVersion, right, mid, 11, kWhite);
    }

    fill_rect(0, y + h - 1, w, 1, m_palette.dark ? "#000000" : "#0B1524", 0.5);
}
