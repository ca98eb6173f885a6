// The band under the header: the live progress of a copy or background task, and the one-line result it
// collapses to once the work has ended.
#include "ui/app.h"

#include "base/format.h"
#include "base/i18n.h"
#include "base/strutil.h"
#include "ui/painter.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

// The part of the copy or task that is done, 0..1; bytes are the better measure when they are known.
double progress_fraction(const copy_engine::Progress& copy, const BgTask::Status& task) {
    double f = 0;
    if (!copy.running && task.running) {
        if (task.total >= 1) f = double(task.done) / double(task.total);
    } else if (copy.bytes_total >= 1) {
        f = double(copy.bytes_done) / double(copy.bytes_total);
    } else if (copy.files_total >= 1) {
        f = double(copy.files_done) / double(copy.files_total);
    }
    return std::clamp(f, 0.0, 1.0);
}

std::string time_left(double seconds) {
    if (seconds < 0) return "";
    if (seconds < 5) return tr("progress.almost_done");
    if (seconds < 60) return trf("progress.seconds", int(seconds));
    if (seconds < 3600) return trf("progress.minutes", int(seconds / 60) + 1);
    return trf("progress.hours", int(seconds / 3600) + 1);
}

} // namespace

void App::draw_progress(double y, double w) {
    Painter pt = painter();
    if (!pt) return;
    const double h = m_layout.progress_h;
    pt.fill_rect(0, y, w, h, m_palette.bar);
    pt.fill_rect(0, y, w, 1, m_palette.divider);
    const bool copying = m_frame_copy.running, tasking = m_frame_bg.running;
    if (!copying && !tasking) {
        if (m_result.valid) draw_result_line(y, w, h);
        return;
    }

    const std::string cancel = tr("btn.cancel");
    const TextStyle bold11 = TextStyle(11).with_bold();
    const double bw = std::max(70.0, pt.text_width(cancel, bold11) + 24);
    const double bx = w - 10 - bw;
    const bool hot = hovered(Hit::ProgressCancel, 0, false);
    pt.fill_rounded(bx, y + 8, bw, 22, 4, hot ? m_palette.danger_bg : m_palette.control);
    pt.stroke_rounded(bx + 0.5, y + 8.5, bw - 1, 21, 4, m_palette.danger, 1, hot ? 1.0 : 0.6);
    pt.text(cancel, bx + bw / 2, y + 19, bold11.with_colour(m_palette.danger).with_align(Align::Centre));
    add_hit(bx, y + 8, bw, 22, Hit::ProgressCancel);

    const double tx = 10, ty = y + 10, tw = std::max(0.0, bx - 10 - tx), th = 18;
    pt.fill_rounded(tx, ty, tw, th, 9, m_palette.progress_track);
    const double frac = progress_fraction(m_frame_copy, m_frame_bg);
    Rgb fill{}, fill2{};
    if (!hex_to_rgb(m_palette.progress_fill, fill)) fill = Rgb{1, 0, 1};
    if (!hex_to_rgb(m_palette.progress_fill_2, fill2)) fill2 = Rgb{1, 0, 1};
    const bool indeterminate = copying ? m_frame_copy.scanning : m_frame_bg.total < 1;
    if (indeterminate) {
        const double band = 0.28 * tw;
        const double t = copying ? m_frame_copy.elapsed_seconds : 0;
        const double bx0 = tx + std::fmod(220 * t, tw + band) - band;
        auto saved = pt.save();
        pt.rounded_rect(tx, ty, tw, th, 9);
        pt.clip(tx, ty, tw, th);
        pt.set_linear_gradient(bx0, 0, bx0 + band, 0, {{0, fill, 0}, {0.5, fill2, 1}, {1, fill, 0}});
        pt.rect(bx0, ty, band, th);
        pt.fill();
    } else if (frac > 0) {
        const double fw = std::max(18.0, tw * frac);
        {
            auto saved = pt.save();
            pt.clip(tx, ty, fw, th);
            pt.set_linear_gradient(0, ty, 0, ty + th, {{0, fill2}, {1, fill}});
            pt.rounded_rect(tx, ty, fw, th, 9);
            pt.fill();
            if (copying && m_frame_copy.bytes_per_second > 0) {
                const double sx = std::fmod(130 * m_frame_copy.elapsed_seconds, 46 + fw) - 46 + 10;
                pt.set_linear_gradient(
                    sx, 0, sx + 46, 0,
                    {{0, Rgb{1, 1, 1}, 0}, {0.5, Rgb{1, 1, 1}, 0.18}, {1, Rgb{1, 1, 1}, 0}});
                pt.rect(sx, ty, 46, th);
                pt.fill();
            }
        }
        const std::string pct = std::to_string(int(frac * 100)) + " %";
        const double pw = pt.text_width(pct, bold11);
        if (fw > pw + 20)
            pt.text(pct, tx + fw - 8 - pw, ty + th / 2, bold11.with_colour("#FFFFFF"));
        else
            pt.text(pct, tx + fw + 8, ty + th / 2, bold11.with_colour(m_palette.text));
    }
    if (copying)
        draw_copy_progress(y, w);
    else
        draw_task_progress(y, w);
}

void App::draw_copy_progress(double y, double w) {
    Painter pt = painter();
    const copy_engine::Progress& p = m_frame_copy;
    const double cy = y + 40;
    double x = 10;
    x += pt.text(fmt::count(p.files_done) + " / " + fmt::count(p.files_total) + " " + tr("label.files"), x,
                 cy, TextStyle(13, m_palette.text).with_bold());
    x += 18;
    x += pt.text(fmt::bytes(p.bytes_done) + " / " + fmt::bytes(p.bytes_total), x, cy,
                 TextStyle(11, m_palette.secondary));
    if (p.bytes_per_second > 0) {
        x += 18;
        x += pt.text(fmt::bytes(int64_t(p.bytes_per_second)) + "/s", x, cy,
                     TextStyle(11, m_palette.ok).with_bold());
    }
    const std::string left = time_left(p.seconds_remaining);
    if (!left.empty()) pt.text(left, x + 18, cy, TextStyle(11, m_palette.secondary));
    pt.text(trf("progress.threads", p.threads_active), w - 10, cy,
            TextStyle(11, m_palette.dim).with_align(Align::Right));
    draw_copy_third_row(y + 57, w);
}

void App::draw_copy_third_row(double cy, double w) {
    Painter pt = painter();
    const copy_engine::Progress& p = m_frame_copy;
    const TextStyle bold11 = TextStyle(11).with_bold();
    auto pill = [&](const std::string& text, const std::string& colour) {
        const double tw = pt.text_width(text, bold11);
        pt.fill_rounded(4, cy - 9, tw + 12, 18, 4, m_palette.danger_bg);
        pt.text(text, 10, cy, bold11.with_colour(colour));
    };
    if (!p.stalled_path.empty()) {
        pill(trf("progress.stalled", su::basename_of(p.stalled_path).c_str()), m_palette.danger);
    } else if (p.space_short > 0) {
        pill(trf("progress.no_space", fmt::bytes(p.target_free).c_str(), fmt::bytes(p.bytes_total).c_str()),
             m_palette.warn);
    } else {
        std::string current;
        if (p.scanning) {
            current = tr("progress.measuring");
        } else {
            for (const std::string& f : p.current_files)
                if (!f.empty()) {
                    current = f;
                    break;
                }
        }
        if (!current.empty()) {
            const std::string label =
                std::string(tr(p.operation == copy_engine::Operation::Move ? "progress.moving"
                                                                           : "progress.copying")) +
                ": ";
            const double lx = 10 + pt.text(label, 10, cy, TextStyle(11, m_palette.secondary));
            const double room = std::max(0.0, w - 210 - lx);
            const TextStyle path_style = TextStyle(11, m_palette.text).with_max_width(room);
            if (!p.scanning && pt.text_width(current, TextStyle(11)) > room)
                current = "\u2026/" + su::basename_of(current);
            pt.text(current, lx, cy, path_style);
        }
    }
    if (!p.failures.empty() || p.failures_total > 0) {
        const std::string text = trf("progress.failures", int(p.failures_total));
        const double tw = pt.text_width(text, bold11);
        const double px = w - 10 - (tw + 16);
        pt.fill_rounded(px, cy - 9, tw + 16, 18, 4, m_palette.danger_bg);
        pt.text(text, px + 8, cy, bold11.with_colour(m_palette.danger));
        add_hit(px, cy - 9, tw + 16, 18, Hit::ErrorBanner);
    }
}

void App::draw_task_progress(double y, double w) {
    Painter pt = painter();
    const BgTask::Status& t = m_frame_bg;
    double x = 10 + pt.text(t.title, 10, y + 40, TextStyle(13, m_palette.text).with_bold());
    if (t.total > 0)
        pt.text(fmt::count(t.done) + " / " + fmt::count(t.total), x + 18, y + 40,
                TextStyle(11, m_palette.secondary));
    if (!t.detail.empty())
        pt.text(t.detail, 10, y + 57, TextStyle(11, m_palette.secondary).with_max_width(w - 110));
}

void App::draw_result_line(double y, double w, double h) {
    Painter pt = painter();
    if (!pt) return;
    const LastResult& r = m_result;
    const double c = y + h / 2;
    const std::string& accent = r.failures > 0 ? m_palette.danger
                                : r.cancelled  ? m_palette.warn
                                               : m_palette.ok;
    const std::string& wash = r.failures > 0 ? m_palette.danger_bg
                              : r.cancelled  ? m_palette.header
                                             : m_palette.ok_bg;
    pt.fill_rect(0, y + 1, 4, h - 1, accent);
    pt.fill_rect(4, y + 1, w - 4, h - 1, wash, 0.5);
    if (r.failures > 0) {
        pt.line(10, c - 4, 18, c + 4, accent, 2);
        pt.line(18, c - 4, 10, c + 4, accent, 2);
    } else if (r.cancelled) {
        pt.line(14, c - 6, 14, c + 2, accent, 2);
        pt.line(14, c + 4, 14, c + 6, accent, 2);
    } else {
        pt.polyline({{10, c}, {13.5, c + 4}, {19, c - 5}});
        pt.set_colour(accent);
        pt.stroke(2);
    }
    const char* title_key = r.disk_full   ? "err.disk_full"
                            : r.cancelled ? "progress.cancelled_label"
                                          : nullptr;
    const std::string title = title_key          ? tr(title_key)
                              : !r.title.empty() ? r.title
                                                 : tr("progress.finished");
    double x = 28 + pt.text(title, 28, c, TextStyle(13, accent).with_bold());
    if (!r.detail.empty()) x += 16 + pt.text(r.detail, x + 16, c, TextStyle(11, m_palette.text).with_bold());
    x += 16 + pt.text(fmt::count(r.files) + " " + tr("label.files"), x + 16, c,
                      TextStyle(11, m_palette.text).with_bold());
    if (r.bytes > 0) x += 16 + pt.text(fmt::bytes(r.bytes), x + 16, c, TextStyle(11, m_palette.secondary));
    if (r.seconds >= 0.05) pt.text(fmt::seconds(r.seconds), x + 16, c, TextStyle(11, m_palette.secondary));

    const bool hot = hovered(Hit::ResultDismiss, 0, false);
    const std::string& xc = hot ? m_palette.danger : m_palette.secondary;
    pt.line(w - 24, c - 4, w - 16, c + 4, xc, 1.8);
    pt.line(w - 16, c - 4, w - 24, c + 4, xc, 1.8);
    add_hit(w - 32, y + 4, 24, h - 8, Hit::ResultDismiss);
    if (r.failures > 0) {
        const std::string text = trf("progress.failures", int(r.failures)) + "  \u00b7  " + tr("btn.details");
        const TextStyle bold11 = TextStyle(11, m_palette.danger).with_bold();
        const double tw = pt.text_width(text, bold11) + 16;
        const double px = w - 20 - 20 - tw;
        const bool banner_hot = hovered(Hit::ErrorBanner, 0, false);
        pt.fill_rounded(px, c - 10, tw, 20, 4, m_palette.danger_bg, banner_hot ? 1.0 : 0.8);
        pt.text(text, px + 8, c, bold11);
        add_hit(px, c - 10, tw, 20, Hit::ErrorBanner);
    }
}
