// The work between the panes: the bridge with its direction arrow and buttons, and the status bar.
#include "ui/app.h"

#include "base/format.h"
#include "base/i18n.h"
#include "ui/layout_metrics.h"
#include "ui/menu_model.h"
#include "ui/painter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

// Direction arrow at the top of the bridge, tinted from the source's end to the target's.
void bridge_arrow(Painter& pt, const Palette& palette, double x, double y, double w, bool to_right) {
    const double d = to_right ? 1 : -1;
    const double ay = y + 26;
    const double tail = to_right ? x + 10 : x + w - 10;
    const double tip = to_right ? x + w - 10 : x + 10;
    Rgb src{}, dst{};
    if (!hex_to_rgb(palette.source_tint, src)) src = Rgb{1, 0, 1};
    if (!hex_to_rgb(palette.target_tint, dst)) dst = Rgb{1, 0, 1};
    pt.set_linear_gradient(tail, 0, tip, 0, {{0, src}, {1, dst}});
    pt.polyline({{tail, ay}, {tip - d * 0.7 * 12, ay}});
    pt.stroke(4);
    pt.polygon({{tip, ay}, {tip - d * 12, ay - 9}, {tip - d * 12, ay + 9}});
    pt.fill();
}

} // namespace

struct App::BridgeButton {
    const char* label_key;
    Glyph glyph;
    Hit hit;
    std::string colour;
    bool enabled;
    bool side_marker;
};

void App::draw_bridge(double x, double y, double w, double h) {
    Painter pt = painter();
    if (!pt) return;
    pt.fill_rect(x, y, w, h, m_palette.window);
    const bool busy = m_frame_copy.running || m_frame_bg.running;
    // Transfers go from the active pane to the other one.
    const bool to_right = !m_active_right;
    bridge_arrow(pt, m_palette, x, y, w, to_right);

    const std::vector<BridgeButton> buttons = bridge_buttons();
    const double n = static_cast<double>(buttons.size());
    const double room = h - 50;
    double bh = 40, gap = 10;
    const double total = 40 * n + 10 * (n - 1);
    if (total > room) {
        gap = std::max(4.0, room / total * 10);
        bh = std::max(30.0, (room - gap * (n - 1)) / n);
    }
    const double column = bh * n + gap * (n - 1);
    double by = y + 44 + std::max(0.0, (room - column) / 2);
    for (const BridgeButton& b : buttons) {
        draw_bridge_button(b, x + 6, by, w - 12, bh, !busy);
        by += bh + gap;
    }
}

// The buttons of the bridge, top to bottom, with whether their action may run now.
std::vector<App::BridgeButton> App::bridge_buttons() {
    const ActionTarget target = action_target();
    auto enabled_now = [&](Action action) { return action_enabled_for(action, target, nullptr); };
    const Palette& p = m_palette;
    std::vector<BridgeButton> buttons;
    buttons.push_back({"bridge.copy", Glyph::CopyArrows, Hit::BridgeCopy, p.target_tint,
                       enabled_now(Action::CopyToOther), false});
    buttons.push_back(
        {"bridge.move", Glyph::MoveArrow, Hit::BridgeMove, p.warn, enabled_now(Action::MoveToOther), false});
    if (menu_model::action_supported(Action::PackToOther))
        buttons.push_back({"bridge.pack", Glyph::PackArrow, Hit::BridgePack, p.archive_text,
                           enabled_now(Action::PackToOther), false});
    buttons.push_back({"bridge.search", Glyph::Magnifier, Hit::BridgeSearch, p.secondary, true, true});
    buttons.push_back(
        {"bridge.hex", Glyph::Bytes, Hit::BridgeHex, p.accent, enabled_now(Action::ViewHex), true});
    if (menu_model::action_supported(Action::OpenTerminal))
        buttons.push_back({"bridge.terminal", Glyph::Terminal, Hit::BridgeTerminal, p.exec_text, true, true});
    buttons.push_back({"bridge.refresh", Glyph::Refresh, Hit::BridgeRefresh, p.secondary, true, false});
    buttons.push_back({"bridge.new_folder", Glyph::Plus, Hit::BridgeNewFolder, p.exec_text, true, true});
    buttons.push_back(
        {"bridge.delete", Glyph::Cross, Hit::BridgeDelete, p.danger, enabled_now(Action::Delete), true});
    buttons.push_back({"nav.trash", Glyph::Trash, Hit::BridgeTrash, p.secondary, true, true});
    return buttons;
}

// One bridge button: face and outline, glyph with its label under it when the label fits, and on buttons
// that act on one pane a marker on the edge facing that pane. Idle work allows it to be pressed.
void App::draw_bridge_button(const BridgeButton& b, double bx, double by, double bw, double bh, bool idle) {
    Painter pt = painter();
    const Palette& p = m_palette;
    const bool to_right = !m_active_right;
    const bool enabled = b.enabled && idle;
    const bool hover = enabled && m_hover && m_hover->what == b.hit;
    const double c = by + bh / 2;
    if (!enabled) {
        pt.fill_rounded(bx, by, bw, bh, 4, p.control, 0.4);
        pt.stroke_rounded(bx + 0.5, by + 0.5, bw - 1, bh - 1, 4, p.control_edge, 1, 0.35);
    } else {
        pt.fill_rounded(bx, by, bw, bh, 4, hover ? p.control_hover : p.control);
        const double lw = hover ? 2 : 1;
        pt.stroke_rounded(bx + lw / 2, by + lw / 2, bw - lw, bh - lw, 4, b.colour, lw, 0.9);
    }

    const std::string label = tr(b.label_key);
    const bool label_fits = pt.text_width(label, TextStyle(11)) <= bw - 6;
    const double gy = label_fits ? c - 7 : c;
    pt.glyph(b.glyph, bx + bw / 2, gy, to_right ? 1 : -1, enabled ? b.colour : p.dim, enabled ? 0.9 : 0.5);
    if (label_fits) {
        const double lw = pt.text_width(label, TextStyle(11));
        pt.text(label, bx + (bw - lw) / 2, c + 10, TextStyle(11, enabled ? p.secondary : p.dim));
    }

    if (enabled && b.side_marker) {
        // Which pane the button acts on: a bar on the edge facing it, with a chevron pointing there.
        const std::string& marker = m_active_right ? p.target_tint : p.source_tint;
        const double mx = m_active_right ? bx + bw - 3 - 3 : bx + 3;
        pt.fill_rect(mx, by + 2, 3, bh - 4, marker, 0.95);
        const double tipx = m_active_right ? mx - 2 : mx + 3 + 2;
        const double back = m_active_right ? tipx - 3 : tipx + 3;
        pt.set_colour(marker, 0.95);
        pt.polyline({{back, c - 3.5}, {tipx, c}, {back, c + 3.5}});
        pt.stroke(1.6);
    }
    if (enabled) add_hit(bx, by, bw, bh, b.hit, 0, to_right, label);
}

void App::draw_status_bar(double y, double w) {
    Painter pt = painter();
    if (!pt) return;
    constexpr double kH = metrics::kStatusBarH;
    pt.fill_rect(0, y, w, kH, m_palette.bar);
    pt.fill_rect(0, y, w, 1, m_palette.divider);
    const double mid = y + kH / 2;

    const Pane& pane = m_active_right ? m_right : m_left;
    const dir_lister::Listing& listing = pane.listing();
    pt.text(trf("status.folder_summary", listing.dir_count, listing.file_count) + "  ·  " +
                fmt::bytes(listing.total_bytes),
            10, mid, TextStyle(11, m_palette.secondary));

    auto centred_pill = [&](const std::string& text, double pill_alpha, double text_alpha) {
        const double tw = pt.text_width(text, TextStyle(11).with_bold());
        const double px = (w - (tw + 16)) / 2;
        pt.fill_rounded(px, mid - 9, tw + 16, 18, 4, m_palette.ok_bg, pill_alpha);
        pt.text(text, px + 8, mid, TextStyle(11, m_palette.ok).with_bold().with_alpha(text_alpha));
    };

    const double now = now_seconds();
    if (m_flash_until > now) {
        // Fades out over the last half second.
        const double a = std::min(1.0, 2 * (m_flash_until - now));
        centred_pill(m_flash_text, 0.9 * a, a);
        return;
    }
    if (m_flash_until > 0) m_flash_until = 0;

    if (pane.has_selection())
        centred_pill(trf("status.selected", pane.selected_count()) + "  ·  " +
                         fmt::bytes(pane.selected_bytes()),
                     1.0, 1.0);

    const std::string side = tr(m_active_right ? "status.right_active" : "status.left_active");
    const double tw = pt.text_width(side, TextStyle(11).with_bold());
    const double px = w - 12 - (tw + 16);
    pt.fill_rounded(px, mid - 9, tw + 16, 18, 4, m_palette.source_bg);
    pt.text(side, px + 8, mid, TextStyle(11, m_palette.source_tint).with_bold());
}
