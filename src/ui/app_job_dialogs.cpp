// The two dialogs of a transfer in trouble: a name that is already taken, and the list of what failed.
#include "ui/app.h"

#include "base/format.h"
#include "base/i18n.h"
#include "base/strutil.h"
#include "ui/painter.h"

#include <ctime>
#include <string>
#include <vector>

namespace {

// The short date of the language with the time of day; "" for a time that cannot be shown.
std::string conflict_time(int64_t t) {
    if (t <= 0) return "";
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!localtime_r(&tt, &tm)) return "";
    const std::string pattern = std::string(I18n::instance().date_format()) + " %H:%M";
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, pattern.c_str(), &tm);
    return std::string(buf, n);
}

} // namespace

void App::draw_conflict_box(const copy_engine::ConflictRequest& c, bool incoming, double x, double y,
                            double w) {
    Painter pt = painter();
    pt.fill_rounded(x, y, w, 74, 4, m_palette.pane);
    pt.text(tr(incoming ? "conflict.incoming" : "conflict.existing"), x + 12, y + 16,
            TextStyle(11, incoming ? m_palette.accent : m_palette.secondary).with_bold());
    const int64_t size = incoming ? c.source_size : c.target_size;
    pt.text(size < 0 ? "\u2014" : fmt::bytes(size), x + 12, y + 38,
            TextStyle(12.5, m_palette.text).with_mono());
    pt.text(conflict_time(incoming ? c.source_mtime : c.target_mtime), x + 12, y + 58,
            TextStyle(11, m_palette.secondary).with_mono());
}

void App::draw_overlay_conflict(double x, double y, double w, double h) {
    Painter pt = painter();
    // The request comes from the frame's snapshot; the tick closes the dialog once it is gone.
    const copy_engine::ConflictRequest& c = m_frame_copy.conflict;
    pt.text(tr("conflict.headline"), x + 20, y + 66, TextStyle(12.5, m_palette.text));
    pt.text(su::basename_of(c.source_path), x + 20, y + 88,
            TextStyle(12.5, m_palette.warn).with_bold().with_max_width(w - 40));
    const double by = y + 114, bw = (w - 60) / 2;
    draw_conflict_box(c, true, x + 20, by, bw);
    draw_conflict_box(c, false, x + 40 + bw, by, bw);
    const double ny = by + 82;
    if (c.source_mtime > 0 && c.target_mtime > 0) {
        const bool newer = c.source_mtime > c.target_mtime;
        pt.text(tr(newer ? "conflict.incoming_newer" : "conflict.existing_newer"), x + 20, ny,
                TextStyle(11, newer ? m_palette.ok : m_palette.warn).with_bold());
    }
    const double cy = ny + 24;
    pt.fill_rounded(x + 20, cy - 8, 16, 16, 3, m_conflict_apply_all ? m_palette.accent : m_palette.control);
    pt.stroke_rounded(x + 20.5, cy - 7.5, 15, 15, 3, m_palette.control_edge, 1);
    if (m_conflict_apply_all) {
        pt.polyline({{x + 24, cy}, {x + 27, cy + 3.5}, {x + 32.5, cy - 4}});
        pt.set_colour("#FFFFFF");
        pt.stroke(2);
    }
    const std::string label = tr("conflict.apply_to_all");
    const double lw = pt.text(label, x + 44, cy, TextStyle(11, m_palette.text));
    add_hit(x + 20, cy - 10, lw + 28, 20, Hit::Overlay, int(Action::ConflictToggleAll));
    // The lower row's letters first, so that the upper row's buttons get letters of their own and all six
    // answers have a key.
    draw_buttons(x, y + h - 44, w,
                 {{"conflict.cancel_all", Action::ConflictCancel, false, true},
                  {"conflict.overwrite", Action::ConflictOverwrite, false, true},
                  {"conflict.skip", Action::ConflictSkip, true, false}});
    draw_buttons(x, y + h - 82, w,
                 {{"conflict.rename_new", Action::ConflictRenameNew, false, false},
                  {"conflict.rename_existing", Action::ConflictRenameExisting, false, false},
                  {"conflict.if_newer", Action::ConflictOverwriteIfNewer, false, false}},
                 false);
}

std::vector<std::string> App::error_list_lines(const copy_engine::Progress& copy, const BgTask::Status& task,
                                               size_t& count) const {
    // Only the job that opened the list: an older job's failures were its own list's business.
    if (m_errors_source == ErrorSource::Task) {
        count = task.failures.size();
        return task.failures;
    }
    std::vector<std::string> lines;
    for (const copy_engine::FailedItem& f : copy.failures)
        lines.push_back(f.path + " \u2014 " + f.message);
    count = copy.failures_total;
    return lines;
}

void App::draw_overlay_errors(double x, double y, double w, double h) {
    Painter pt = painter();
    size_t count = 0;
    const std::vector<std::string> lines = error_list_lines(m_frame_copy, m_frame_bg, count);
    pt.text(trf("dlg.errors_count", int(count)), x + 20, y + 68,
            TextStyle(12.5, m_palette.danger).with_bold());
    const double bx = x + 16, by = y + 88, bw = w - 32, bh = h - 144;
    pt.fill_rounded(bx, by, bw, bh, 4, m_palette.pane);
    {
        auto saved = pt.save();
        pt.clip(bx, by, bw, bh);
        const TextStyle style = TextStyle(11, m_palette.text).with_max_width(w - 56);
        double ly = by + 14;
        for (size_t i = 0; i < lines.size(); ++i, ly += 18) {
            // The last line that fits carries the notice when more lines would follow.
            const bool more = i + 1 < lines.size() && ly + 18 + 9 > by + bh;
            if (more) {
                pt.text(tr("dlg.errors_truncated"), x + 28, ly, TextStyle(11, m_palette.secondary));
                break;
            }
            pt.text(lines[i], x + 28, ly, style);
        }
    }
    // Retrying as administrator needs the elevation client, which this build does not have yet.
    draw_buttons(x, y + h - 46, w, {{"btn.close", Action::DismissErrors, true, false}});
}
