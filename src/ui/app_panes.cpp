// Drawing of the two file panes: banner, drive bar and its pop-up, path bar or path editor, search bar,
// column header, rows, scroll bars, the reload wash, the busy veil and the frame.
#include "ui/app.h"
#include "ui/layout_metrics.h"
#include "ui/painter.h"

#include "base/format.h"
#include "base/i18n.h"
#include "config/settings.h"
#include "engine/archive_ops.h"
#include "engine/drives.h"
#include "fs/dir_lister.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr const char* kWhite = "#FFFFFF";
constexpr double kNameMinWidth = 130;

struct ColumnSpec {
    ColumnId id;
    const char* label_key;
    dir_lister::SortKey sort_key;
    double width;
};

const ColumnSpec kColumnSpecs[] = {
    {ColumnId::Size, "col.size", dir_lister::SortKey::Size, 78},
    {ColumnId::Type, "col.type", dir_lister::SortKey::Kind, 66},
    {ColumnId::Modified, "col.modified", dir_lister::SortKey::Modified, 104},
    {ColumnId::Created, "col.created", dir_lister::SortKey::Created, 104},
    {ColumnId::Permissions, "col.permissions", dir_lister::SortKey::Permissions, 82},
    {ColumnId::Owner, "col.owner", dir_lister::SortKey::Owner, 78},
    {ColumnId::Group, "col.group", dir_lister::SortKey::Group, 78},
};

struct PlacedColumn {
    const ColumnSpec* def = nullptr;
    double x = 0;
    double w = 0;
};

struct Columns {
    double name_x = 0;
    double name_w = 0;
    std::vector<PlacedColumn> placed;
    double content_w = 0;
};

double column_width(const Settings& s, const ColumnSpec& def) {
    int saved = column_width_setting(s, def.id);
    return saved > 0 ? double(saved) : def.width;
}

// The name column takes all spare width; when the pane is too narrow for it to keep its minimum, the
// content grows wider than the view and scrolls horizontally.
Columns compute_columns(double x, double w, const Settings& s, double scrollbar_w, double hscroll) {
    Columns c;
    c.name_x = x + 10 - hscroll;
    double cols = 0;
    for (const ColumnSpec& def : kColumnSpecs)
        if (column_enabled(s, def.id)) cols += column_width(s, def) + 16;
    double name_min = s.col_w_name > 0 ? double(s.col_w_name) : kNameMinWidth;
    c.name_w = std::max(w - scrollbar_w - 20 - cols, name_min);
    double edge = c.name_x + c.name_w;
    for (const ColumnSpec& def : kColumnSpecs) {
        if (!column_enabled(s, def.id)) continue;
        PlacedColumn p;
        p.def = &def;
        p.x = edge + 16;
        p.w = column_width(s, def);
        edge = p.x + p.w;
        c.placed.push_back(p);
    }
    c.content_w = cols + c.name_w + 20;
    return c;
}

std::string time_text(int64_t when, const char* date_fmt) {
    time_t t = time_t(when);
    struct tm tmv {};
    if (!localtime_r(&t, &tmv)) return {};
    std::string pattern = std::string(date_fmt ? date_fmt : "%Y-%m-%d") + " %H:%M";
    char buf[64];
    size_t n = strftime(buf, sizeof buf, pattern.c_str(), &tmv);
    return n ? std::string(buf, n) : std::string();
}

// The type cell: the extension upper-cased when it is 1 to 8 characters long and the dot is not the first
// character of the name.
std::string type_text(const FsEntry& e) {
    if (e.is_dir_like() || e.kind == FsEntry::Kind::Parent) return {};
    size_t dot = e.name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= e.name.size()) return {};
    const char* ext = e.name.c_str() + dot + 1;
    glong chars = g_utf8_strlen(ext, -1);
    if (chars < 1 || chars > 8) return {};
    gchar* up = g_utf8_strup(ext, -1);
    std::string out = up ? up : "";
    g_free(up);
    return out;
}

bool is_parent(const FsEntry& e) {
    return e.kind == FsEntry::Kind::Parent;
}

// The drive whose folder holds `path`; the root entry only counts when nothing else matches.
const drives::Drive* drive_for_path(const std::vector<drives::Drive>& list, const std::string& path) {
    const drives::Drive* found = nullptr;
    for (const drives::Drive& d : list) {
        bool match = d.path == path;
        if (!match && !d.path.empty()) {
            if (d.path.back() == '/')
                match = path.compare(0, d.path.size(), d.path) == 0;
            else
                match = path.size() > d.path.size() && path.compare(0, d.path.size(), d.path) == 0 &&
                        path[d.path.size()] == '/';
        }
        if (!match) continue;
        bool is_root = d.path.size() <= 1;
        if (found && is_root) continue;
        found = &d;
    }
    return found;
}

std::string free_text(const drives::Drive& d, bool with_total) {
    if (d.free_bytes < 0) return {};
    std::string s = fmt::bytes(d.free_bytes) + " " + tr("label.free");
    if (with_total && d.total_bytes > 0) s += " / " + fmt::bytes(d.total_bytes);
    return s;
}

std::vector<std::string> path_segments(const std::string& path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

// The colour of a name in the list, by the kind of entry.
const std::string& name_colour_of(const Palette& p, const FsEntry& e) {
    switch (e.kind) {
    case FsEntry::Kind::Dir:
    case FsEntry::Kind::Parent:
        return p.dir_text;
    case FsEntry::Kind::Symlink:
    case FsEntry::Kind::SymlinkDir:
        return p.link_text;
    case FsEntry::Kind::BrokenSymlink:
        return p.broken_text;
    case FsEntry::Kind::Special:
        return p.secondary;
    case FsEntry::Kind::File:
        if (archive_ops::is_archive_name(e.name)) return p.archive_text;
        if (e.perm & 0111) return p.exec_text;
        break;
    }
    return p.text;
}

// The dot before a place in the drive list.
const std::string& drive_dot_colour(const Palette& p, drives::Kind kind) {
    switch (kind) {
    case drives::Kind::Home:
    case drives::Kind::Bookmark:
        return p.accent;
    case drives::Kind::Removable:
        return p.warn;
    case drives::Kind::Network:
        return p.link_text;
    case drives::Kind::Local:
    case drives::Kind::Root:
        break;
    }
    return p.exec_text;
}

} // namespace

// What the parts of one pane share while it is drawn: where it is, whether it is the active one, and the
// list geometry that the column header, the rows and the scroll bars agree on.
struct App::PaneFrame {
    const Pane& pane;
    bool right = false;
    int side = 0;
    bool active = false;
    double x = 0, y = 0, w = 0, h = 0;
    double list_top = 0, list_h = 0, row_h = metrics::kRowH;
    int count = 0;   // rows of the pane
    int visible = 0; // rows that fit
    double view_w = 0, max_hscroll = 0;
    Columns cols;

    PaneFrame(const Pane& pane_, bool right_, bool active_, double x_, double y_, double w_, double h_)
        : pane(pane_), right(right_), side(right_ ? 1 : 0), active(active_), x(x_), y(y_), w(w_), h(h_) {}
};

void App::draw_pane(const Pane& pane, bool right, double x, double y, double w, double h) {
    const Palette& p = m_palette;
    const int side = right ? 1 : 0;
    const bool active = right == m_active_right;
    Painter pt = painter();
    if (!pt) return;

    pt.fill_rect(x, y, w, h, active ? p.pane_active : p.pane);
    PaneFrame f(pane, right, active, x, y, w, h);
    draw_pane_banner(f);
    draw_drive_bar(pane, right, x, y + metrics::kDriveBarTop, w);
    draw_path_bar(f);

    const bool search_shown = m_search_pane == side || !pane.filter().empty();
    double top = y + metrics::kSearchBarTop;
    if (search_shown) {
        draw_search_bar(pane, right, x, top, w);
        top += metrics::kSearchBarH;
    }
    place_pane_list(f, top + metrics::kColumnHeaderH);
    draw_column_header(f, top);
    draw_pane_rows(f);
    draw_pane_scroll_bars(f);

    if (m_path_edit == side && !m_path_error.empty()) {
        double ey = y + metrics::kPathBarTop + metrics::kPathBarH;
        pt.fill_rect(x, ey, w, 20, p.danger_bg);
        pt.fill_rect(x, ey, 3, 20, p.danger);
        pt.text(m_path_error, x + 10, ey + 10, TextStyle(11, p.danger).with_max_width(w - 20));
    }

    if (m_frame_copy.running || m_frame_bg.running) pt.fill_rect(x, y, w, h, p.window, 0.45);

    if (m_drag_active && m_drag_inside && m_drag_target_right == right)
        pt.stroke_rect(x + 2, y + 2, w - 4, h - 4, p.ok, 4);
    else
        pt.stroke_rect(x + 1.5, y + 1.5, w - 3, h - 3, active ? p.source_tint : p.target_tint,
                       active ? 4 : 1.5, active ? 1.0 : 0.45);
}

// Banner: says which side is the source; the arrow points from the source to the target.
void App::draw_pane_banner(const PaneFrame& f) {
    Painter pt = painter();
    const double x = f.x, y = f.y, w = f.w;
    pt.fill_rect(x, y, w, metrics::kBannerH, f.active ? m_palette.source_tint : m_palette.target_tint);
    std::string label = tr(f.active ? "pane.source" : "pane.target");
    std::string hint = tr(f.active ? "pane.source_hint" : "pane.target_hint");
    double lw = pt.text_width(label, TextStyle(14).with_bold());
    double hw = pt.text_width(hint, TextStyle(11));
    double cy = y + 14;
    double dir = m_active_right ? -1 : 1;
    double tail, tip;
    if (!f.right) {
        pt.text(label, x + 16, cy, TextStyle(14, kWhite).with_bold());
        double start = x + 16 + lw + 12;
        tail = dir > 0 ? start : start + 30;
        tip = dir > 0 ? start + 30 : start;
        if (w > lw + hw + 110) pt.text(hint, x + w - 16 - hw, cy, TextStyle(11, kWhite).with_alpha(0.85));
    } else {
        pt.text(label, x + w - 16, cy, TextStyle(14, kWhite).with_bold().with_align(Align::Right));
        double end = x + w - 16 - lw - 12;
        tail = dir > 0 ? end - 30 : end;
        tip = dir > 0 ? end : end - 30;
        if (w > lw + hw + 110) pt.text(hint, x + 16, cy, TextStyle(11, kWhite).with_alpha(0.85));
    }
    pt.line(tail, cy, tip - dir * 10, cy, kWhite, 3, 0.95);
    pt.polygon({{tip, cy}, {tip - dir * 12, cy - 7}, {tip - dir * 12, cy + 7}});
    pt.fill();
    add_hit(x, y, w, metrics::kBannerH, Hit::PaneBanner, 0, f.right);
}

// Path bar, or the path editor while this side's path is typed in.
void App::draw_path_bar(const PaneFrame& f) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double x = f.x, w = f.w, py = f.y + metrics::kPathBarTop, bar_h = metrics::kPathBarH;
    if (m_path_edit == f.side) {
        TextField field;
        field.box = {x, py, w, bar_h};
        field.fill = p.control;
        field.border = m_path_error.empty() ? p.accent : p.danger;
        field.border_width = 2;
        field.pad_left = 8;
        field.pad_right = 8;
        field.caret_margin = 16;
        field.clip_slack = 4;
        field.caret_inset = 4;
        field.caret_colour = p.accent;
        field.text = TextStyle(11, p.control_text).with_mono();
        pt.text_field(field, m_path_buffer, m_path_caret, {}, true, {});
        return;
    }
    pt.fill_rect(x, py, w, bar_h, f.active ? p.header_active : p.header);
    add_hit(x, py, w, bar_h, Hit::PathBar, 0, f.right);
    const double cy = py + 13;
    double slash_w = pt.text_width("/", TextStyle(11));
    pt.text("/", x + 10, cy, TextStyle(11, p.accent));
    add_hit(x + 7, py, slash_w + 6, bar_h, Hit::PathSegment, 0, f.right, "/");
    std::vector<std::string> segs = path_segments(f.pane.path());
    std::vector<double> widths;
    for (size_t i = 0; i < segs.size(); ++i)
        widths.push_back(pt.text_width(segs[i], TextStyle(11).with_bold(i + 1 == segs.size())));
    double cx = x + 10 + slash_w + 8;
    const double limit = x + w - 10;
    double need = 0;
    for (double sw : widths)
        need += sw + 14;
    size_t first = 0;
    if (cx + need > limit && segs.size() > 1) {
        // Drop leading segments until the rest fits after the ellipsis; the last one always stays.
        double ell_w = pt.text_width("…", TextStyle(11)) + 8;
        while (first + 1 < segs.size() && cx + ell_w + need > limit) {
            need -= widths[first] + 14;
            ++first;
        }
        pt.text("…", cx, cy, TextStyle(11, p.dim));
        cx += ell_w;
    }
    for (size_t i = first; i < segs.size(); ++i) {
        bool last = i + 1 == segs.size();
        double sw = widths[i];
        if (last)
            sw = pt.text(segs[i], cx, cy, TextStyle(11, p.text).with_bold().with_max_width(limit - cx));
        else
            pt.text(segs[i], cx, cy, TextStyle(11, p.accent));
        add_hit(cx - 3, py, sw + 6, bar_h, Hit::PathSegment, int(i + 1), f.right, segs[i]);
        if (!last) pt.text("›", cx + sw + 4, cy, TextStyle(11, p.dim));
        cx += sw + 14;
    }
}

// Columns and scrolling: the list from `list_top` to the horizontal scroll bar, the rows that fit, and the
// columns, with the horizontal scroll clamped to what the columns need.
void App::place_pane_list(PaneFrame& f, double list_top) {
    const Settings& settings = SettingsStore::instance().get();
    const int side = f.side;
    f.count = f.pane.count();
    f.list_top = list_top;
    f.list_h = std::max(0.0, f.y + f.h - metrics::kHScrollBarH - list_top);
    f.row_h = m_layout.row_h > 0 ? m_layout.row_h : metrics::kRowH;
    // Rows that fit in this pane's own list, which the search bar makes one bar shorter.
    const int fit_rows = std::max(1, int(f.list_h / f.row_h));
    f.visible = std::min(m_layout.visible_rows, fit_rows);
    const double sbw = f.count > f.visible ? metrics::kVScrollBarW : 0;
    f.cols = compute_columns(f.x, f.w, settings, sbw, m_pane_hscroll[side]);
    f.view_w = std::max(0.0, f.w - sbw);
    f.max_hscroll = std::max(0.0, f.cols.content_w - f.view_w);
    const double hs = std::clamp(m_pane_hscroll[side], 0.0, f.max_hscroll);
    if (hs != m_pane_hscroll[side]) {
        m_pane_hscroll[side] = hs;
        f.cols = compute_columns(f.x, f.w, settings, sbw, hs);
    }
    m_pane_content_w[side] = f.cols.content_w;
    m_pane_view_w[side] = f.view_w;
    m_pane_name_w[side] = f.cols.name_w;
    // Keys and the wheel page by what this frame shows, not by the window's row count.
    m_pane_visible[side] = f.visible;
}

double App::column_width_now(int column, bool right) const {
    const Settings& s = SettingsStore::instance().get();
    if (column < 0) {
        if (s.col_w_name > 0) return s.col_w_name;
        const int side = right ? 1 : 0;
        return m_pane_name_w[side] > 0 ? m_pane_name_w[side] : kNameMinWidth;
    }
    for (const ColumnSpec& def : kColumnSpecs)
        if (int(def.id) == column) return column_width(s, def);
    return 78;
}

// Column header: the labels with the sort mark, the dividers and the resize handles between columns.
void App::draw_column_header(const PaneFrame& f, double hy) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double x = f.x, w = f.w, view_w = f.view_w, head_h = metrics::kColumnHeaderH;
    const bool right = f.right;
    const Columns& cols = f.cols;
    const dir_lister::SortOrder& order = f.pane.sort_order();
    pt.fill_rect(x, hy, w, head_h, f.active ? mix_hex(p.source_tint, p.bar, 0.13) : p.header);
    if (f.active)
        pt.fill_rect(x, hy + 25, w, 2, p.source_tint);
    else
        pt.fill_rect(x, hy + 25, w, 1, p.divider);
    add_hit(x, hy, w, head_h, Hit::PaneHeaderMenu, 0, right);

    std::optional<Painter::Saved> clip(std::in_place, pt.context());
    pt.clip(x, hy, view_w, head_h);
    const double cy = hy + 13;
    // Hit regions stay inside the visible part of the header.
    auto clipped_hit = [&](double hx, double hw, Hit what, int param) {
        double l = std::max(hx, x), r = std::min(hx + hw, x + view_w);
        if (r > l) add_hit(l, hy, r - l, head_h, what, param, right);
    };
    auto triangle = [&](double tx, bool up) {
        pt.set_colour(p.accent);
        pt.polygon({{tx, up ? cy + 2.5 : cy - 2.5},
                    {tx + 7, up ? cy + 2.5 : cy - 2.5},
                    {tx + 3.5, up ? cy - 2.5 : cy + 2.5}});
        pt.fill();
    };
    bool sorted = order.key == dir_lister::SortKey::Name;
    const TextStyle name_style = TextStyle(11, sorted ? p.accent : p.secondary).with_bold(sorted);
    double nw = pt.text(tr("col.name"), cols.name_x, cy, name_style.with_max_width(cols.name_w - 14));
    if (sorted) triangle(cols.name_x + nw + 5, order.ascending);
    double name_edge = cols.name_x + cols.name_w;
    clipped_hit(x, name_edge - x, Hit::PaneHeader, int(dir_lister::SortKey::Name));
    double prev = name_edge;
    for (const PlacedColumn& c : cols.placed) {
        bool s = order.key == c.def->sort_key;
        double r = c.x + c.w;
        std::string label = tr(c.def->label_key);
        if (s) {
            pt.text(label, r - 6 - 12, cy, TextStyle(11, p.accent).with_bold().with_align(Align::Right));
            triangle(r - 9 - 7, order.ascending);
        } else {
            pt.text(label, r - 6, cy, TextStyle(11, p.secondary).with_align(Align::Right));
        }
        clipped_hit(prev, r - prev, Hit::PaneHeader, int(c.def->sort_key));
        prev = r;
    }
    std::vector<std::pair<double, int>> edges{{name_edge, -1}};
    for (const PlacedColumn& c : cols.placed)
        edges.emplace_back(c.x + c.w, int(c.def->id));
    for (auto& [ex, id] : edges) {
        double lx = std::round(ex) + 0.5;
        pt.line(lx, hy + 6, lx, hy + 20, p.divider, 1);
    }
    clip.reset();
    for (auto& [ex, id] : edges)
        if (ex + 6 > x && ex - 6 < x + view_w) add_hit(ex - 6, hy, 12, head_h, Hit::ColumnResize, id, right);
}

// Rows: the visible entries, or why there are none, under the reload wash.
void App::draw_pane_rows(const PaneFrame& f) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double x = f.x, w = f.w, list_top = f.list_top, list_h = f.list_h;
    const int n = f.count;
    const double list_bottom = list_top + list_h;
    Painter::Saved saved = pt.save();
    // Cells scrolled sideways end where the vertical scroll bar begins, as the column header does.
    pt.clip(x, list_top, f.view_w, list_h);
    // The list and its rows take clicks over the pane's whole width; the scroll thumb, registered later,
    // lies on top of them, and the track beside it then still belongs to the list.
    add_hit(x, list_top, w, list_h, Hit::PaneBackground, 0, f.right);
    const dir_lister::Listing& listing = f.pane.listing();
    if (!listing.error.empty()) {
        pt.text(tr("err.cannot_read"), x + 10, list_top + 28, TextStyle(12.5, p.danger).with_bold());
        pt.text(listing.error, x + 10, list_top + 48, TextStyle(11, p.secondary).with_max_width(w - 20));
    } else if (n == 0) {
        pt.text(tr("label.empty_folder"), x + 10, list_top + 28, TextStyle(12.5, p.dim));
    }
    const char* date_fmt = I18n::instance().date_format();
    const int first = std::clamp(f.pane.scroll(), 0, std::max(0, n - 1));
    for (int i = first; i < n; ++i) {
        double ry = list_top + (i - first) * f.row_h;
        if (ry >= list_bottom) break;
        draw_pane_row(f, i, ry, date_fmt);
    }

    // The wash after a reload fades out over 0.45 s.
    if (m_reload_flash_until > 0) {
        double fade = (m_reload_flash_until - now_seconds()) / 0.45;
        if (fade > 0)
            pt.fill_rect(x, list_top, w, list_h, p.accent, 0.16 * fade * fade);
        else
            m_reload_flash_until = 0;
    }
}

// One row: its background marks (selection, stripes, drop target, cursor), the name or the rename box,
// and the cells of the other columns.
void App::draw_pane_row(const PaneFrame& f, int i, double ry, const char* date_fmt) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double x = f.x, view_w = f.view_w, row_h = f.row_h;
    const bool active = f.active;
    const Pane& pane = f.pane;
    const FsEntry& e = pane.entries()[size_t(i)];
    bool selected = pane.is_selected(i);
    if (selected)
        pt.fill_rect(x, ry, view_w, row_h, p.selection, active ? 1.0 : 0.45);
    else if (active && i % 2 == 1)
        pt.fill_rect(x, ry, view_w, row_h, p.row_alt);
    if (m_drag_active && m_drag_target_right == f.right && m_drag_row == i) {
        pt.fill_rect(x, ry, view_w, row_h, p.ok, 0.3);
        pt.stroke_rect(x + 1, ry + 1, view_w - 2, row_h - 2, p.ok, 2);
    }
    if (active && i == pane.cursor()) {
        pt.fill_rect(x, ry, 4, row_h, p.source_tint);
        pt.stroke_rect(x + 0.5, ry + 0.5, view_w - 1, row_h - 1, p.source_tint, 1, 0.55);
    }

    const bool strong = selected && active;
    const std::string& name_colour = strong ? p.selection_text : name_colour_of(p, e);
    const double cy = ry + row_h / 2;
    const Columns& cols = f.cols;
    double tx = cols.name_x;
    if (e.is_dir_like() || is_parent(e)) {
        // Folder glyph: a body with a tab on its upper left.
        pt.set_colour(name_colour);
        double gx = cols.name_x, gy = cy - 4;
        pt.polygon({{gx, gy - 1.5},
                    {gx + 4, gy - 1.5},
                    {gx + 5, gy},
                    {gx + 10, gy},
                    {gx + 10, gy + 8},
                    {gx, gy + 8}});
        pt.fill();
        tx += 15;
    }
    const double name_room = cols.name_x + cols.name_w - tx;
    if (pane.renaming() && pane.rename_index() == i) {
        TextField field;
        field.box = {tx - 3, ry + 2, std::min(name_room + 6, 406.0), 20};
        field.fill = p.control;
        field.border = p.accent;
        field.border_width = 1.5;
        field.pad_left = 3;
        field.pad_right = 3;
        // Keeps the caret in view when the name is longer than the box.
        field.caret_margin = 6;
        field.clip_slack = 1.5;
        field.caret_inset = 3;
        field.caret_colour = p.accent;
        field.text = TextStyle(12.5, p.control_text);
        pt.text_field(field, pane.rename_buffer(), pane.rename_caret(), {}, true, {});
    } else {
        std::string shown = e.name;
        if (e.is_symlink() && !e.link_target.empty()) shown += " → " + e.link_target;
        pt.text(shown, tx, cy, TextStyle(12.5, name_colour).with_max_width(name_room));
    }
    if (!is_parent(e)) draw_row_cells(f, e, cy, strong, date_fmt);
    // A row cut off by the end of the list takes clicks only on its visible part, not on the scroll
    // strip and the status bar beneath.
    const double row_hit_h = std::min(row_h, f.list_top + f.list_h - ry);
    if (row_hit_h > 0) add_hit(x, ry, f.w, row_hit_h, Hit::PaneRow, i, f.right, e.name);
}

// The cells of the columns after the name, right-aligned; those scrolled out of view are skipped.
void App::draw_row_cells(const PaneFrame& f, const FsEntry& e, double cy, bool strong, const char* date_fmt) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const TextStyle cell = TextStyle(11, strong ? p.selection_text : p.secondary).with_align(Align::Right);
    const TextStyle mono = cell.with_mono();
    for (const PlacedColumn& c : f.cols.placed) {
        double r = c.x + c.w - 6;
        if (c.x > f.x + f.view_w || r < f.x) continue;
        switch (c.def->id) {
        case ColumnId::Size:
            pt.text(e.is_dir_like() || e.size < 0 ? std::string("—") : fmt::bytes(e.size), r, cy, mono);
            break;
        case ColumnId::Type:
            pt.text(type_text(e), r, cy, cell);
            break;
        case ColumnId::Modified:
            if (e.mtime >= 1) pt.text(time_text(e.mtime, date_fmt), r, cy, mono);
            break;
        case ColumnId::Created:
            if (e.btime >= 1)
                pt.text(time_text(e.btime, date_fmt), r, cy, mono);
            else
                pt.text("—", r, cy, mono.with_colour(strong ? p.selection_text : p.dim));
            break;
        case ColumnId::Permissions:
            pt.text(dir_lister::permission_string(e), r, cy, mono);
            break;
        case ColumnId::Owner:
            pt.text(e.owner, r, cy, cell);
            break;
        case ColumnId::Group:
            pt.text(e.group, r, cy, cell);
            break;
        }
    }
}

// The horizontal scroll bar under the list, and the vertical one at the right edge when rows are hidden.
void App::draw_pane_scroll_bars(const PaneFrame& f) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double x = f.x, w = f.w, view_w = f.view_w, list_top = f.list_top, list_h = f.list_h;
    const int side = f.side, n = f.count, v = f.visible;
    {
        const double by = list_top + list_h;
        pt.fill_rect(x, by, w, 1, p.divider);
        pt.fill_rect(x, by + 1, w, metrics::kHScrollBarH - 1, p.header);
        const bool scrolls = f.cols.content_w > view_w;
        double tw = scrolls ? std::max(40.0, view_w * view_w / f.cols.content_w) : std::max(40.0, view_w);
        double travel = std::max(0.0, view_w - tw);
        double frac = f.max_hscroll > 0 ? m_pane_hscroll[side] / f.max_hscroll : 0;
        double alpha = !scrolls ? 0.45 : m_pane_hdrag == side ? 0.9 : 0.65;
        pt.fill_rounded(x + travel * frac, by + 3, tw, 12, 5, p.secondary, alpha);
        m_pane_htrack_x[side] = x;
        m_pane_htrack_w[side] = view_w - tw;
        if (scrolls) add_hit(x, by, w, metrics::kHScrollBarH, Hit::PaneHScroll, 0, f.right);
    }
    if (n > v && list_h > 0) {
        const double bar_w = metrics::kVScrollBarW;
        double tx = x + w - bar_w;
        pt.fill_rect(tx, list_top, bar_w, list_h, p.progress_track, 0.5);
        double th = std::min(list_h, std::max(28.0, double(v) / n * list_h));
        double frac = std::clamp(double(f.pane.scroll()) / double(n - v), 0.0, 1.0);
        double ty = list_top + (list_h - th) * frac;
        bool dragged = m_dragging_scroll && m_drag_scroll_right == f.right;
        pt.fill_rounded(tx + 2, ty, 7, th, 4, p.secondary, dragged ? 0.85 : 0.55);
        add_hit(tx, ty, bar_w, th, Hit::ScrollThumb, 0, f.right);
        m_pane_vtrack_y[side] = list_top;
        m_pane_vtrack_h[side] = list_h;
        m_pane_vthumb_h[side] = th;
    } else {
        m_pane_vtrack_h[side] = 0;
    }
}

void App::draw_drive_bar(const Pane& pane, bool right, double x, double y, double w) {
    const Palette& p = m_palette;
    Painter pt = painter();
    if (!pt) return;
    const double bx = x + 10, by = y + 4, bw = w - 56, bh = 26;
    std::vector<drives::Drive> list = drives::list();

    if (m_drive_popup_pass) {
        if (!list.empty()) draw_drive_popup(list, right, bx, by + bh + 2, bw);
        return;
    }

    const bool hover = hovered(Hit::DrivePicker, 0, right);
    pt.fill_rounded(bx, by, bw, bh, 4, hover ? p.control_hover : p.control);
    pt.stroke_rounded(bx + 0.5, by + 0.5, bw - 1, bh - 1, 4, p.control_edge, 1);
    const double cy = by + bh / 2;

    std::string free;
    if (const drives::Drive* d = drive_for_path(list, pane.path())) free = free_text(*d, false);
    double fw = 0;
    if (!free.empty()) {
        fw = pt.text_width(free, TextStyle(11));
        pt.text(free, bx + bw - 22, cy, TextStyle(11, p.secondary).with_align(Align::Right));
    }
    std::string label = drives::label_for_path(pane.path());
    if (label.empty()) label = pane.path();
    const double room = bw - 30 - (free.empty() ? 0 : fw + 10);
    pt.text(label, x + 20, cy, TextStyle(12.5, p.text).with_bold().with_max_width(room));

    pt.set_colour(p.secondary);
    double chx = bx + bw - 14;
    pt.polyline({{chx - 4, cy - 2}, {chx, cy + 2}, {chx + 4, cy - 2}});
    pt.stroke(1.6);
    add_hit(bx, by, bw, bh, Hit::DrivePicker, 0, right);

    draw_path_edit_button(right, x + w - 40, by, bh);
}

// The list of places under the drive picker: a dot coloured by the kind of place, its name and folder,
// and the free space; a line between kinds.
void App::draw_drive_popup(const std::vector<drives::Drive>& list, bool right, double bx, double top,
                           double bw) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const double list_h = std::max(0.0, std::min(m_layout.pane_h - 54, double(list.size()) * 30));
    const double box_h = list_h + 8;
    pt.fill_rounded(bx + 2, top + 3, bw, box_h, 4, "#000000", 0.12);
    pt.fill_rounded(bx, top, bw, box_h, 4, p.menu_bg);
    pt.stroke_rounded(bx + 0.5, top + 0.5, bw - 1, box_h - 1, 4, p.menu_border, 1);
    const int rows = std::min(int(list.size()), int(list_h / 30));
    for (int i = 0; i < rows; ++i) {
        const drives::Drive& d = list[size_t(i)];
        double ry = top + 4 + i * 30;
        if (i > 0 && list[size_t(i - 1)].kind != d.kind) pt.fill_rect(bx + 8, ry, bw - 16, 1, p.divider);
        if (m_drive_hover == i) pt.fill_rect(bx + 1, ry, bw - 2, 30, p.menu_hover);
        pt.set_colour(drive_dot_colour(p, d.kind));
        pt.circle(bx + 14, ry + 15, 4);
        pt.fill();
        std::string free = free_text(d, true);
        double fw = 0;
        if (!free.empty()) {
            fw = pt.text_width(free, TextStyle(11));
            pt.text(free, bx + bw - 10, ry + 15, TextStyle(11, p.secondary).with_align(Align::Right));
        }
        double room = bw - 34 - (free.empty() ? 0 : fw + 10);
        pt.text(d.label, bx + 26, ry + 15 - 6, TextStyle(12.5, p.text).with_max_width(room));
        pt.text(d.path, bx + 26, ry + 15 + 7, TextStyle(11, p.dim).with_max_width(room));
        // The region names the drive by its folder: the refresh the opening started may reorder the list
        // before the click.
        add_hit(bx, ry, bw, 30, Hit::DriveItem, i, right, d.path);
    }
}

// Path-edit button with a pencil.
void App::draw_path_edit_button(bool right, double ex, double by, double bh) {
    const Palette& p = m_palette;
    Painter pt = painter();
    const bool editing = m_path_edit == (right ? 1 : 0);
    const bool ehover = hovered(Hit::PathEdit, 0, right);
    const double cy = by + bh / 2;
    pt.fill_rounded(ex, by, 30, bh, 4, editing ? p.accent : ehover ? p.control_hover : p.control);
    pt.stroke_rounded(ex + 0.5, by + 0.5, 29, bh - 1, 4, editing ? p.accent : p.control_edge, 1);
    {
        const std::string& ink = editing ? std::string(kWhite) : p.secondary;
        Painter::Saved turned = pt.save();
        pt.translate(ex + 15, cy);
        pt.rotate(-kPi / 4);
        // Laid out along x: band at the back, body, pointed tip; centred on the button.
        const double body = 8.4, half = 5.2 / 2, tip = 4.6, band = 1.4;
        const double total = band + body + tip;
        const double x0 = -total / 2;
        pt.fill_rect(x0, -half, band, 2 * half, ink, 0.55);
        pt.fill_rect(x0 + band + 0.4, -half, body - 0.4, 2 * half, ink);
        pt.polygon({{x0 + band + body, -half}, {x0 + total, 0}, {x0 + band + body, half}});
        pt.fill();
    }
    add_hit(ex, by, 30, bh, Hit::PathEdit, 0, right);
}

void App::draw_search_bar(const Pane& pane, bool right, double x, double y, double w) {
    const Palette& p = m_palette;
    Painter pt = painter();
    if (!pt) return;
    const int side = right ? 1 : 0;
    const bool searching = m_search_pane == side;
    pt.fill_rect(x, y, w, metrics::kSearchBarH, p.header);
    const double bx = x + 10, by = y + 3, bw = w - 20, bh = 22;
    const double cy = by + bh / 2;

    // The match counts and the clear button take the right end of the field; the text ends before them.
    const std::string& filter = pane.filter();
    double text_end = bx + bw - 8;
    std::string counts;
    if (!filter.empty()) {
        // The parent row is not a match; count it on neither side.
        const std::vector<FsEntry>& entries = pane.entries();
        int parents = (!entries.empty() && is_parent(entries.front())) ? 1 : 0;
        int shown = std::max(0, pane.count() - parents);
        int total = std::max(0, pane.unfiltered_count() - parents);
        counts = fmt::count(shown) + " / " + fmt::count(total);
        text_end = bx + bw - 26 - pt.text_width(counts, TextStyle(11)) - 8;
    }
    const bool clear = !filter.empty() || (searching && !m_search_buffer.empty());
    const double cx = bx + bw - 13;
    if (clear && filter.empty()) text_end = cx - 12;

    TextField field;
    field.box = {bx, by, bw, bh};
    field.radius = 4;
    field.fill = searching ? p.pane : p.control;
    field.border = searching ? p.accent : p.control_edge;
    field.border_width = searching ? 1.5 : 1;
    field.pad_left = 26; // after the magnifier
    field.pad_right = bx + bw - text_end;
    field.caret_margin = 2;
    field.clip_slack = 1;
    field.caret_inset = 4;
    field.caret_colour = p.accent;
    field.text = TextStyle(12.5, p.text);
    field.placeholder = TextStyle(11, p.dim);
    pt.text_field(field, searching ? m_search_buffer : filter, m_search_caret, {}, searching,
                  tr("search.hint"));

    // Magnifier.
    pt.set_colour(searching ? p.accent : p.secondary);
    double mx = bx + 14 - 1.5, my = cy - 1.5;
    pt.circle(mx, my, 4.2);
    pt.stroke(1.6);
    pt.polyline({{mx + 3, my + 3}, {mx + 6.5, my + 6.5}});
    pt.stroke(1.6);

    if (!counts.empty())
        pt.text(counts, bx + bw - 26, cy, TextStyle(11, p.secondary).with_align(Align::Right));
    add_hit(bx, by, bw - 22, bh, Hit::SearchBar, 0, right);
    if (clear) {
        pt.set_colour(hovered(Hit::SearchClear, 0, right) ? p.danger : p.secondary);
        pt.polyline({{cx - 3.5, cy - 3.5}, {cx + 3.5, cy + 3.5}});
        pt.polyline({{cx + 3.5, cy - 3.5}, {cx - 3.5, cy + 3.5}});
        pt.stroke(1.6);
        add_hit(cx - 9, by, 18, bh, Hit::SearchClear, 0, right);
    }
}
