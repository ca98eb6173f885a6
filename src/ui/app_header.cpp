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
#include "ui/layout_metrics.h"
#include "ui/menu_model.h"
#include "ui/painter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kMenuBarH = metrics::kMenuBarH;
constexpr double kRowH = metrics::kMenuRowH;
constexpr double kSepH = metrics::kMenuSeparatorH;
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

// The size of a drop-down menu: wide enough for its longest label with its shortcut, and for the recent
// folders or bookmarks it lists; high enough for all rows.
void measure_menu(const Painter& pt, const menu_model::Menu& menu,
                  const std::vector<std::string>& recent_dirs, bool bookmark_menu,
                  const std::vector<bookmarks::Bookmark>& marks, double& w, double& h) {
    w = 160;
    h = 6 + 6;
    for (const auto& item : menu.items) {
        if (item.separator) {
            h += kSepH;
            continue;
        }
        const std::string label = label_of(item);
        double need = label.empty() ? 50 : pt.text_width(label, TextStyle(12.5)) + 50;
        if (item.shortcut) need += pt.text_width(item.shortcut, TextStyle(11)) + 20;
        w = std::max(w, need);
        h += kRowH;
    }
    if (!recent_dirs.empty()) {
        h += kSepH + kRowH + kRowH * static_cast<double>(recent_dirs.size());
        for (const auto& dir : recent_dirs)
            w = std::max(w, pt.text_width(su::basename_of(dir), TextStyle(12.5)) + 50);
    }
    if (bookmark_menu) {
        h += marks.empty() ? kSepH + kRowH : kSepH + kRowH * static_cast<double>(marks.size());
        for (const auto& mark : marks)
            w = std::max(w, pt.text_width(mark.name, TextStyle(12.5)) + 40);
    }
}

// How far the running work is, 0 to 1; `known` tells whether there is a total to measure it by.
double work_fraction(const copy_engine::Progress& copy, const BgTask::Status& task, bool& known) {
    double fraction = 0;
    known = false;
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
    return std::clamp(fraction, 0.0, 1.0);
}

// A dark blue band in both themes; all text on it is white. While work runs, a sheen sweeps across it
// (the amount is unknown) or the done part glows with a pulsing edge.
void header_band(Painter& pt, const Palette& palette, double y, double w, bool busy, bool indeterminate,
                 double fraction, double t) {
    const double h = metrics::kHeaderH;
    if (palette.dark)
        pt.set_linear_gradient(
            0, y, 0, y + h,
            {{0, {0.055, 0.075, 0.11}}, {0.6, {0.075, 0.11, 0.165}}, {1, {0.055, 0.09, 0.13}}});
    else
        pt.set_linear_gradient(
            0, y, 0, y + h,
            {{0, {0.086, 0.129, 0.216}}, {0.6, {0.118, 0.196, 0.318}}, {1, {0.086, 0.149, 0.251}}});
    pt.rect(0, y, w, h);
    pt.fill();
    if (!busy) return;

    Rgb fill2{};
    if (!hex_to_rgb(palette.progress_fill_2, fill2)) fill2 = Rgb{1, 0, 1};
    Painter::Saved saved = pt.save();
    pt.clip(0, y, w, h);
    if (indeterminate) {
        const double band = 0.35 * w;
        const double left = std::fmod(t * 260, w + band) - band;
        pt.set_linear_gradient(left, 0, left + band, 0, {{0, fill2, 0}, {0.5, fill2, 0.22}, {1, fill2, 0}});
        pt.rect(left, y, band, h);
        pt.fill();
    } else {
        const double pulse = std::sin(t * 4.7) * 0.5 + 0.5;
        const double end = fraction * w;
        pt.fill_rect(0, y, end, h, palette.progress_fill_2, 0.16 + 0.16 * pulse);
        pt.set_linear_gradient(end - 40, 0, end + 3, 0, {{0, fill2, 0}, {1, fill2, 0.55 + 0.45 * pulse}});
        pt.rect(end - 40, y, 43, h);
        pt.fill();
    }
}

// The logo and the word mark at the left of the header; returns where the word mark ends.
double logo_and_word_mark(Painter& pt, const Palette& palette, double y) {
    // Logo: two sheets, the front one with a folded corner, and an arrow leaving them.
    const double back_top = y + 11.36;
    const double back_bottom = back_top + 33.28;
    pt.fill_rounded(25, back_top, 20.63, 33.28, 3, kWhite, 0.35);
    const double fx0 = 18, fx1 = 38.63, ftop = y + 18.36, fold = 7.02;
    pt.set_colour(kWhite, 0.92);
    pt.polygon({{fx0, ftop}, {fx1 - fold, ftop}, {fx1, ftop + fold}, {fx1, back_bottom}, {fx0, back_bottom}});
    pt.fill();
    pt.set_colour(Rgb{0.55, 0.68, 0.85});
    pt.polygon({{fx1 - fold, ftop}, {fx1 - fold, ftop + fold}, {fx1, ftop + fold}});
    pt.fill();
    const double mid = y + metrics::kHeaderH / 2;
    pt.line(46.63, mid, 58.94, mid, palette.progress_fill_2, 3);
    pt.polygon({{55.94, mid - 5.5}, {63.94, mid}, {55.94, mid + 5.5}});
    pt.fill();

    // Word mark.
    const double mark_y = y + 32;
    double mx = 77.94;
    pt.text(kWordMark[0], mx, mark_y, TextStyle(34.56, kWhite).with_alpha(0.72));
    mx += pt.text_width(kWordMark[0], TextStyle(34.56));
    pt.text(kWordMark[1], mx, mark_y, TextStyle(34.56, kWhite).with_bold());
    mx += pt.text_width(kWordMark[1], TextStyle(34.56).with_bold());
    pt.text(kWordMark[2], mx, mark_y, TextStyle(34.56, palette.progress_fill_2).with_bold());
    mx += pt.text_width(kWordMark[2], TextStyle(34.56).with_bold());
    return mx;
}

// Small white sheets drifting along three lanes between x0 and x1, fading in and out at the ends; they
// hurry while work runs.
void file_stream(Painter& pt, double x0, double x1, double y, bool busy, double t) {
    if (x1 <= x0 + 40) return;
    Painter::Saved saved = pt.save();
    pt.clip(x0, y, x1 - x0, metrics::kHeaderH);
    for (const Lane& lane : kLanes) {
        const double spacing = lane.size * 5;
        const double phase = std::fmod((busy ? lane.speed : lane.idle_speed) * t, spacing);
        const double cy = y + lane.y_frac * metrics::kHeaderH;
        for (double bx = x0 - spacing + phase; bx < x1 + spacing; bx += spacing) {
            const double fade = std::min(1.0, std::min(x1 - bx, bx - x0 + 20) / 55);
            if (fade <= 0) continue;
            pt.fill_rounded(bx, cy - lane.size / 2, lane.size * 1.7, lane.size, 2, kWhite, fade * lane.alpha);
        }
    }
}

// The state of running work, or who we are when idle, right-aligned at `right` around line `mid`.
void work_state(Painter& pt, const Palette& palette, const copy_engine::Progress& copy,
                const BgTask::Status& task, double fraction, double right, double mid) {
    const TextStyle line = TextStyle(12.5, kWhite).with_align(Align::Right);
    const TextStyle small = TextStyle(11, kWhite).with_align(Align::Right);
    const TextStyle big = TextStyle(15, palette.progress_fill_2).with_bold().with_align(Align::Right);
    if (copy.running && copy.scanning) {
        pt.text(tr("progress.measuring"), right, mid, line);
    } else if (copy.running) {
        const std::string files =
            fmt::count(copy.files_done) + " / " + fmt::count(copy.files_total) + "  " + tr("label.files");
        char pct[32];
        std::snprintf(pct, sizeof pct, "%d %%", static_cast<int>(fraction * 100));
        std::string rate = pct;
        if (copy.bytes_per_second > 0)
            rate += "   " + fmt::bytes(static_cast<int64_t>(copy.bytes_per_second)) + "/s";
        pt.text(files, right, mid - 9, small);
        pt.text(rate, right, mid + 9, big);
    } else if (task.running) {
        if (task.total > 0) {
            pt.text(task.title, right, mid - 9, small);
            pt.text(fmt::count(task.done) + " / " + fmt::count(task.total), right, mid + 9, big);
        } else {
            pt.text(task.title, right, mid, line);
        }
    } else if (running_as_root()) {
        std::string badge = tr("header.root_mode");
        const std::string user = invoking_user();
        if (!user.empty()) badge += "  (" + user + " → root)";
        const double tw = pt.text_width(badge, TextStyle(11).with_bold());
        const double bx = right - (tw + 14);
        pt.fill_rounded(bx, mid - 9, tw + 14, 18, 4, palette.danger, 0.92);
        pt.text(badge, bx + 7, mid, TextStyle(11, kWhite).with_bold());
    } else {
        pt.text(std::string("v") + version::kVersion, right, mid, small);
    }
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
    const Painter pt = painter();
    const auto& menus = menu_model::bar();
    double x = 10;
    for (int i = 0; i < index && i < static_cast<int>(menus.size()); ++i) {
        const std::string title = tr(menus[i].title_key);
        x += title.empty() ? 20 : pt.text_width(title, TextStyle(12.5)) + 20;
    }
    return x;
}

void App::draw_menu_bar() {
    Painter pt = painter();
    const double w = m_layout.width;
    pt.fill_rect(0, 0, w, kMenuBarH, m_palette.bar);
    pt.fill_rect(0, kMenuBarH - 1, w, 1, m_palette.divider);
    const auto& menus = menu_model::bar();
    double x = 10;
    for (int i = 0; i < static_cast<int>(menus.size()); ++i) {
        const std::string title = tr(menus[i].title_key);
        const double cell = title.empty() ? 20 : pt.text_width(title, TextStyle(12.5)) + 20;
        if (i == m_open_menu)
            pt.fill_rounded(x, 3, cell, 23, 4, m_palette.menu_hover);
        else if (hovered(Hit::MenuTitle, i, false))
            pt.fill_rounded(x, 3, cell, 23, 4, m_palette.control_hover);
        pt.text(title, x + 10, kMenuBarH / 2, TextStyle(12.5, m_palette.text));
        add_hit(x, 0, cell, kMenuBarH, Hit::MenuTitle, i, false, title);
        x += cell;
    }
}

void App::draw_open_menu() {
    const auto& menus = menu_model::bar();
    Painter pt = painter();
    if (m_open_menu < 0 || m_open_menu >= static_cast<int>(menus.size()) || !pt) return;
    m_drawing_menu = true;
    FlagReset reset{m_drawing_menu};

    const menu_model::Menu& menu = menus[m_open_menu];
    const std::string title_key = menu.title_key;
    const bool go_menu = title_key == "menu.go";
    const bool bookmark_menu = title_key == "menu.bookmarks";
    std::vector<std::string> recent_dirs;
    if (go_menu) recent_dirs = recent::all();
    std::vector<bookmarks::Bookmark> marks;
    if (bookmark_menu) marks = bookmarks::all();

    double w = 0, h = 0;
    measure_menu(pt, menu, recent_dirs, bookmark_menu, marks, w, h);
    double x = menu_title_x(m_open_menu);
    const double y = kMenuBarH;
    if (x + w > m_layout.width - 4) x = m_layout.width - 4 - w;

    draw_popup_frame(x, y, w, h, true);
    double cy = draw_menu_items(menu, x, w, y + 6);
    if (!recent_dirs.empty()) cy = draw_recent_section(recent_dirs, x, w, cy);
    if (bookmark_menu) draw_bookmark_section(marks, x, w, cy);
}

// The rows of a drop-down menu from `cy` down; returns the y under the last one.
double App::draw_menu_items(const menu_model::Menu& menu, double x, double w, double cy) {
    Painter pt = painter();
    const ActionTarget target = action_target();
    for (const auto& item : menu.items) {
        if (item.separator) {
            pt.fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
            cy += kSepH;
            continue;
        }
        const auto action = static_cast<Action>(item.action);
        const bool enabled = action_enabled_for(action, target, nullptr);
        const double c = cy + kRowH / 2;
        if (enabled && item.action == m_menu_hover_item)
            pt.fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        if (item.checkable && item_checked(item)) {
            pt.set_colour(m_palette.accent);
            pt.polyline({{x + 14, c}, {x + 17.5, c + 3.5}, {x + 23, c - 4}});
            pt.stroke(1.8);
        }
        const std::string label = label_of(item);
        pt.text(label, x + 30, c, TextStyle(12.5, enabled ? m_palette.text : m_palette.dim));
        if (item.shortcut)
            pt.text(item.shortcut, x + w - 10, c, TextStyle(11, m_palette.dim).with_align(Align::Right));
        add_hit(x, cy, w, kRowH, Hit::MenuItem, enabled ? item.action : 0, false, label);
        cy += kRowH;
    }
    return cy;
}

// The recent folders under the Go menu: name, and the folder it is in where there is room.
double App::draw_recent_section(const std::vector<std::string>& recent_dirs, double x, double w, double cy) {
    Painter pt = painter();
    pt.fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
    cy += kSepH;
    pt.text(tr("menu.recent"), x + 10, cy + kRowH / 2, TextStyle(11, m_palette.secondary).with_bold());
    cy += kRowH;
    for (int i = 0; i < static_cast<int>(recent_dirs.size()); ++i) {
        const std::string& dir = recent_dirs[i];
        std::string name = su::basename_of(dir);
        if (name.empty()) name = dir;
        const double c = cy + kRowH / 2;
        if (hovered(Hit::RecentItem, i, false))
            pt.fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        pt.text(name, x + 30, c, TextStyle(12.5, m_palette.text));
        const double after = x + 30 + pt.text_width(name, TextStyle(12.5)) + 10;
        const double room = x + w - 10 - after;
        if (room > 40)
            pt.text(su::parent_of(dir), after, c, TextStyle(11, m_palette.dim).with_max_width(room));
        add_hit(x, cy, w, kRowH, Hit::RecentItem, i, false, name);
        cy += kRowH;
    }
    return cy;
}

// The bookmarks under the Bookmarks menu, or a line saying there are none.
void App::draw_bookmark_section(const std::vector<bookmarks::Bookmark>& marks, double x, double w,
                                double cy) {
    Painter pt = painter();
    pt.fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
    cy += kSepH;
    if (marks.empty()) {
        pt.text(tr("bookmark.empty_menu"), x + 30, cy + kRowH / 2, TextStyle(11, m_palette.dim));
        cy += kRowH;
    }
    for (int i = 0; i < static_cast<int>(marks.size()); ++i) {
        const double c = cy + kRowH / 2;
        if (hovered(Hit::BookmarkItem, i, false))
            pt.fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        pt.set_colour(m_palette.accent);
        pt.circle(x + 18, c, 3.5);
        pt.fill();
        pt.text(marks[i].name, x + 30, c, TextStyle(12.5, m_palette.text).with_max_width(w - 50));
        add_hit(x, cy, w, kRowH, Hit::BookmarkItem, i, false, marks[i].name);
        cy += kRowH;
    }
}

// Shadow, face and outline shared by the drop-down, context and column menus; the drop-down hangs from
// the menu bar and casts a second, softer shadow.
void App::draw_popup_frame(double x, double y, double w, double h, bool deep_shadow) {
    Painter pt = painter();
    pt.fill_rounded(x + 2, y + 3, w, h, 4, kBlack, 0.1);
    if (deep_shadow) pt.fill_rounded(x + 1, y + 2, w, h, 4, kBlack, 0.08);
    pt.fill_rounded(x, y, w, h, 4, m_palette.menu_bg);
    pt.stroke_rounded(x + 0.5, y + 0.5, w - 1, h - 1, 4, m_palette.menu_border, 1);
}

void App::draw_context_menu() {
    Painter pt = painter();
    if (!m_context_menu || !pt) return;
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
        double need = pt.text_width(label_of(item), TextStyle(12.5)) + 40;
        if (item.shortcut) need += pt.text_width(item.shortcut, TextStyle(11)) + 10;
        w = std::max(w, need);
        h += kRowH;
    }
    double x = 0, y = 0;
    place_at_point(m_context_x, m_context_y, w, h, m_layout.width, m_layout.height, x, y);

    draw_popup_frame(x, y, w, h, false);

    double cy = y + 6;
    for (const auto& item : items) {
        if (item.separator) {
            pt.fill_rect(x + 10, cy + 3, w - 20, 1, m_palette.divider);
            cy += kSepH;
            continue;
        }
        const double c = cy + kRowH / 2;
        if (item.action == m_menu_hover_item)
            pt.fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        const std::string label = label_of(item);
        const bool danger = static_cast<Action>(item.action) == Action::Delete;
        pt.text(label, x + 15, c, TextStyle(12.5, danger ? m_palette.danger : m_palette.text));
        if (item.shortcut)
            pt.text(item.shortcut, x + w - 10, c, TextStyle(11, m_palette.dim).with_align(Align::Right));
        add_hit(x, cy, w, kRowH, Hit::MenuItem, item.action, false, label);
        cy += kRowH;
    }
}

void App::draw_column_menu() {
    Painter pt = painter();
    if (!pt) return;
    const auto& items = menu_model::columns();
    m_context_actions.clear();
    double w = 190;
    for (const auto& item : items) {
        w = std::max(w, pt.text_width(label_of(item), TextStyle(12.5)) + 52);
        m_context_actions.push_back(static_cast<Action>(item.action));
    }
    const double h = 39 + kRowH * static_cast<double>(items.size()) + 6;
    double x = 0, y = 0;
    place_at_point(m_context_x, m_context_y, w, h, m_layout.width, m_layout.height, x, y);

    draw_popup_frame(x, y, w, h, false);

    pt.text(tr("menu.columns"), x + 10, y + 6 + kRowH / 2, TextStyle(11, m_palette.secondary).with_bold());
    pt.fill_rect(x + 10, y + 6 + kRowH + 3, w - 20, 1, m_palette.divider);
    double cy = y + 39;
    for (const auto& item : items) {
        const double c = cy + kRowH / 2;
        if (item.action == m_menu_hover_item)
            pt.fill_rounded(x + 3, cy, w - 6, kRowH, 3, m_palette.menu_hover);
        if (item_checked(item)) {
            pt.set_colour(m_palette.accent);
            pt.polyline({{x + 14, c}, {x + 17.5, c + 3.5}, {x + 23, c - 4}});
            pt.stroke(1.7);
        }
        const std::string label = label_of(item);
        pt.text(label, x + 32, c, TextStyle(12.5, m_palette.text));
        add_hit(x, cy, w, kRowH, Hit::MenuItem, item.action, false, label);
        cy += kRowH;
    }
}

void App::draw_header(double y, double w) {
    Painter pt = painter();
    if (!pt) return;
    const double h = metrics::kHeaderH;
    const copy_engine::Progress& copy = m_frame_copy;
    const BgTask::Status& task = m_frame_bg;
    const bool busy = copy.running || task.running;
    // The copy's own clock keeps the animation in step with its progress; a background task has none, so
    // it runs on the wall clock like the idle drift.
    const double t = copy.running ? copy.elapsed_seconds : now_seconds();
    bool known = false;
    const double fraction = work_fraction(copy, task, known);
    const bool indeterminate = (copy.running && copy.scanning) || !known;

    header_band(pt, m_palette, y, w, busy, indeterminate, fraction, t);
    const double mark_end = logo_and_word_mark(pt, m_palette, y);
    // Files streaming past between the word mark and the state text.
    file_stream(pt, mark_end + 34, w - 62, y, busy, t);
    work_state(pt, m_palette, copy, task, fraction, w - 10, y + h / 2);
    pt.fill_rect(0, y + h - 1, w, 1, m_palette.dark ? "#000000" : "#0B1524", 0.5);
}
