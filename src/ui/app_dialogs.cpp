// The dialog frame (veil, panel, shadow, title, grip), the shared button row with its accelerators, the
// simple dialogs (message, text input, delete confirmation) and the log lines that trace what a dialog
// offers.
#include "ui/app.h"
#include "ui/painter.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/scope.h"
#include "base/strutil.h"
#include "config/settings.h"
#include "engine/archive_ops.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

constexpr double kMessageTextSize = 12.5;

struct LayoutUnref {
    void operator()(PangoLayout* l) const { g_object_unref(l); }
};

// The message text wrapped at `width`, in the interface font.
std::unique_ptr<PangoLayout, LayoutUnref> wrapped_layout(cairo_t* cr, const std::string& text, double width) {
    std::unique_ptr<PangoLayout, LayoutUnref> layout(pango_cairo_create_layout(cr));
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, I18n::instance().ui_font_family().c_str());
    pango_font_description_set_absolute_size(font, kMessageTextSize * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font);
    pango_font_description_free(font);
    pango_layout_set_width(layout.get(), int(width * PANGO_SCALE));
    pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
    pango_layout_set_text(layout.get(), text.c_str(), int(text.size()));
    return layout;
}

// The panel height of the delete confirmation for `count` selected entries.
double confirm_delete_height(int count) {
    double list = count >= 3 ? 155 : 104 + 17 * count;
    return list + 68 + (count > 3 ? 20 : 0);
}

// The error list's height for `n` failures before the window limits it.
double errors_height(size_t n) {
    if (n == 0) return 188;
    double rows = 18 * double(n);
    return rows + 26 <= 380 ? rows + 170 : 524;
}

} // namespace

double App::message_text_height(double width) {
    if (!m_cr || m_overlay_text.empty()) return 0;
    auto layout = wrapped_layout(m_cr, m_overlay_text, width);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    return h;
}

void App::overlay_panel_size(double& w, double& h) {
    const double H = m_layout.height;
    switch (m_overlay) {
    case Overlay::About:
        w = 480, h = getenv("SNAP_VERSION") ? 118 + 350 : 118 + 330;
        break;
    case Overlay::Settings:
        w = 500, h = 478;
        break;
    case Overlay::Conflict:
        w = 620, h = 318;
        break;
    case Overlay::ConfirmDelete:
        w = 560, h = confirm_delete_height(active_pane().selected_count());
        break;
    case Overlay::Pack:
        w = 500, h = 238 + 32 * double((archive_ops::available_formats().size() + 3) / 4);
        break;
    case Overlay::Properties:
        w = 560, h = 420;
        break;
    case Overlay::Errors:
        w = 640,
        h = std::min(H - 120, errors_height(m_errors_source == ErrorSource::Task ? m_frame_bg.failures.size()
                                                                                 : m_frame_copy.failures_total));
        break;
    case Overlay::Message: {
        double text_h = message_text_height(420);
        w = 460, h = text_h >= 24 ? text_h + 126 : 150;
        break;
    }
    case Overlay::LanguagePicker:
    case Overlay::FontPicker:
        w = m_overlay == Overlay::FontPicker ? 480 : 460, h = std::min(H - 90, 560.0);
        break;
    case Overlay::LogView:
        w = 900, h = std::min(H - 70, 600.0);
        break;
    case Overlay::Bookmarks:
        w = 520, h = std::min(H - 120, 460.0);
        break;
    case Overlay::BookmarkSide:
    case Overlay::UnpackSide:
        w = 520, h = 246;
        break;
    case Overlay::ArchiveView:
        w = 820, h = std::min(H - 70, 620.0);
        break;
    case Overlay::HexView:
        w = 700, h = std::min(H - 70, 640.0);
        break;
    case Overlay::Sandbox:
        w = std::min(m_layout.width - 60, 860.0), h = 460;
        break;
    case Overlay::Licenses:
        w = 640, h = std::min(H - 90, 560.0);
        break;
    default:
        w = 480, h = 178;
        break;
    }
}

void App::draw_overlay() {
    const double W = m_layout.width, H = m_layout.height;
    Painter pt = painter();
    pt.fill_rect(0, 0, W, H, "#000000", 0.38);
    m_overlay_min_w = m_overlay_min_h = 0;
    double w = 0, h = 0;
    overlay_panel_size(w, h);
    w = std::min(w, W - 40);
    h = std::min(h, H - 40);
    const double x = std::floor((W - w) / 2), y = std::floor((H - h) / 2);
    pt.fill_rounded(x + 3, y + 6, w, h, 8, "#000000", 0.22);
    pt.fill_rounded(x, y, w, h, 8, m_palette.bar);
    pt.stroke_rounded(x + 0.5, y + 0.5, w - 1, h - 1, 8, m_palette.menu_border, 1);
    if (!m_overlay_title.empty() && m_overlay != Overlay::About) draw_overlay_title(x, y, w);

    m_drawing_overlay = true;
    FlagReset reset{m_drawing_overlay};
    switch (m_overlay) {
    case Overlay::Message:
        draw_overlay_message(x, y, w, h);
        break;
    case Overlay::ConfirmDelete:
        draw_overlay_confirm_delete(x, y, w, h);
        break;
    case Overlay::Conflict:
        draw_overlay_conflict(x, y, w, h);
        break;
    case Overlay::Errors:
        draw_overlay_errors(x, y, w, h);
        break;
    case Overlay::NewFolder:
    case Overlay::NewFile:
    case Overlay::SelectPattern:
    case Overlay::GoToPath:
        draw_overlay_text_input(x, y, w, h);
        break;
    default:
        // Dialogs whose content comes later still close with Escape or their button.
        draw_buttons(x, y + h - 46, w, {{"btn.ok", Action::OverlayCancel, true, false}});
        break;
    }
}

void App::draw_overlay_title(double x, double y, double w) {
    const bool sandbox = m_overlay == Overlay::Sandbox;
    const double tx = x + (sandbox ? 68 : 20);
    Painter pt = painter();
    pt.text(m_overlay_title, tx, y + 26, TextStyle(15, m_palette.text).with_bold());
    pt.fill_rect(tx, y + (sandbox ? 54 : 44), x + w - 40 - tx, 1, m_palette.divider);
}

double App::draw_buttons(double x, double y, double w, const std::vector<ButtonSpec>& buttons,
                         bool fresh_letters) {
    if (fresh_letters) m_overlay_accels.clear();
    m_accels_overlay = m_overlay;
    std::vector<std::string> labels;
    std::vector<int> accel_pos;
    for (const ButtonSpec& b : buttons) {
        labels.emplace_back(tr(b.label_key));
        int pos = -1;
        const std::string& label = labels.back();
        for (size_t i = 0; i < label.size() && pos < 0; ++i) {
            auto c = static_cast<unsigned char>(label[i]);
            if (c >= 128 || !std::isalpha(c)) continue;
            char up = char(std::toupper(c));
            if (m_overlay_accels.count(up)) continue;
            m_overlay_accels[up] = b.action;
            pos = int(i);
        }
        accel_pos.push_back(pos);
    }
    double right = x + w - 20;
    for (size_t k = buttons.size(); k-- > 0;)
        right -= draw_button(right, y, buttons[k], labels[k], accel_pos[k]) + 8;
    return right;
}

double App::draw_button(double right, double y, const ButtonSpec& b, const std::string& label, int accel) {
    Painter pt = painter();
    static const std::string kWhite = "#FFFFFF";
    const std::string& face = b.primary  ? m_palette.accent
                              : b.danger ? m_palette.danger_bg
                                         : m_palette.control;
    const std::string& ink = b.primary ? kWhite : b.danger ? m_palette.danger : m_palette.control_text;
    const double alpha = hovered(Hit::Overlay, int(b.action), false) ? 0.88 : 1.0;
    const TextStyle style = TextStyle(12.5, ink).with_bold(b.primary).with_alpha(alpha);
    const double tw = pt.text_width(label, style);
    const double bw = std::max(90.0, tw + 32), bx = right - bw;
    pt.fill_rounded(bx, y, bw, 30, 4, face, alpha);
    if (!b.primary)
        pt.stroke_rounded(bx + 0.5, y + 0.5, bw - 1, 29, 4,
                          b.danger ? m_palette.danger : m_palette.control_edge, 1, alpha);
    const double tx = bx + (bw - tw) / 2;
    pt.text(label, tx, y + 15, style);
    if (accel >= 0) {
        double before = pt.text_width(label.substr(0, size_t(accel)), style);
        double letter = pt.text_width(label.substr(size_t(accel), 1), style);
        pt.fill_rect(tx + before, y + 15 + 8, letter, 1, ink, alpha);
    }
    add_hit(bx, y, bw, 30, Hit::Overlay, int(b.action), false, label);
    return bw;
}

void App::draw_overlay_message(double x, double y, double w, double h) {
    auto layout = wrapped_layout(m_cr, m_overlay_text, w - 40);
    // Wrapped text is this dialog's alone, so it is set here rather than through the painter's cache.
    painter().set_colour(m_overlay_is_error ? m_palette.danger : m_palette.text);
    cairo_move_to(m_cr, x + 20, y + 68);
    pango_cairo_show_layout(m_cr, layout.get());
    std::vector<ButtonSpec> buttons;
    if (m_message_action != Action::None && !m_message_action_label.empty())
        buttons.push_back({m_message_action_label.c_str(), m_message_action, false, false});
    buttons.push_back({"btn.ok", Action::OverlayCancel, true, false});
    draw_buttons(x, y + h - 46, w, buttons);
}

void App::draw_overlay_text_input(double x, double y, double w, double h) {
    const char* hint = m_overlay == Overlay::NewFile         ? "dlg.new_file_hint"
                       : m_overlay == Overlay::SelectPattern ? "dlg.select_pattern_hint"
                       : m_overlay == Overlay::GoToPath      ? "dlg.go_to_path_hint"
                                                             : "dlg.new_folder_hint";
    Painter pt = painter();
    pt.text(tr(hint), x + 20, y + 70, TextStyle(11, m_palette.secondary));
    TextField field;
    field.box = Rect{x + 20, y + 92, w - 40, 30};
    field.radius = 4;
    field.fill = m_palette.control;
    field.border = m_palette.accent;
    field.border_width = 1.5;
    // Text from 10 inside the field, kept 10 clear of the right end, shown through the field less 6.
    field.pad_left = 10;
    field.pad_right = 10;
    field.caret_margin = 10;
    field.clip_slack = 4;
    field.caret_inset = 6;
    field.caret_colour = m_palette.accent;
    field.text = TextStyle(12.5, m_palette.control_text);
    pt.text_field(field, m_input_buffer, m_input_caret, TextRange{}, true, std::string());
    draw_buttons(
        x, y + h - 46, w,
        {{"btn.cancel", Action::OverlayCancel, false, false}, {"btn.ok", Action::OverlayOk, true, false}});
}

void App::draw_overlay_confirm_delete(double x, double y, double w, double h) {
    const Pane& pane = active_pane();
    const int count = pane.selected_count();
    std::string heading = count == 1 ? std::string(tr("dlg.delete_one")) : trf("dlg.delete_count", count);
    Painter pt = painter();
    pt.text(heading, x + 20, y + 72, TextStyle(12.5, m_palette.text).with_bold());

    const std::string& side = m_active_right ? m_palette.target_tint : m_palette.source_tint;
    std::string side_text = tr(m_active_right ? "status.right_active" : "status.left_active");
    const TextStyle small(11, m_palette.secondary);
    double pill_w = pt.text_width(side_text, small.with_bold()) + 14;
    pt.fill_rounded(x + 20, y + 84, pill_w, 17, 4, side, 0.16);
    pt.text(side_text, x + 27, y + 84 + 8.5, small.with_bold().with_colour(side));

    // The folder keeps its last components: they say most about where the deletion happens.
    const double room = w - 40 - pill_w - 24;
    std::string folder = pane.path();
    while (pt.text_width(folder, small) > room) {
        size_t from = su::starts_with(folder, "\u2026/") ? std::string("\u2026/").size() : 1;
        size_t slash = folder.find('/', from);
        if (slash == std::string::npos) break;
        folder = "\u2026" + folder.substr(slash);
    }
    pt.text(folder, x + 20 + pill_w + 24, y + 84 + 8.5, small);

    std::vector<const FsEntry*> entries = pane.action_entries();
    for (size_t i = 0; i < entries.size() && i < 3; ++i)
        pt.text(entries[i]->name, x + 30, y + 120 + 17 * double(i), small.with_max_width(w - 60));
    if (entries.size() > 3)
        pt.text(trf("dlg.and_more", int(entries.size() - 3)), x + 30, y + 120 + 17 * 3,
                small.with_colour(m_palette.dim));

    const bool trash = SettingsStore::instance().get().delete_to_trash;
    draw_buttons(x, y + h - 46, w,
                 {{"btn.cancel", Action::OverlayCancel, false, false},
                  {"dlg.delete_permanent", Action::DeletePermanent, false, true},
                  {"dlg.delete_to_trash", Action::DeleteToTrash, trash, false}});
}

void App::log_dialog_options() {
    if (m_overlay == m_logged_overlay) return;
    Log& log = Log::instance();
    if (m_overlay != Overlay::None) {
        int count = 0;
        for (const HitRect& r : m_hits)
            count += r.in_overlay ? 1 : 0;
        std::string title = m_overlay_title.empty() ? std::string() : " [" + m_overlay_title + "]";
        log.infof("dialog opened: %s \u2014 %d Auswahl%s%s", overlay_name(m_overlay), count,
                  count == 1 ? "" : "en", title.c_str());
        for (const HitRect& r : m_hits) {
            if (!r.in_overlay) continue;
            std::string kind = hit_name(r.what);
            if (r.what == Hit::Overlay)
                kind += std::string("#") + action_name(static_cast<Action>(r.param));
            else if (r.what == Hit::PackFormat || r.what == Hit::ListItem || r.what == Hit::PermBit)
                kind += "#" + std::to_string(r.param);
            log.infof("  option %-28s %s", kind.c_str(),
                      r.label.empty() ? "(ohne Beschriftung)" : r.label.c_str());
        }
    } else {
        log.infof("dialog closed: %s", overlay_name(m_logged_overlay));
    }
    m_logged_overlay = m_overlay;
}
