// The self-test mode: a script given with --action= runs step by step from the main loop, as if a user
// pressed the keys and chose the commands, and every step waits for the work it started (a step written
// with "&" in front does not).
#include "ui/app.h"

#include "base/logger.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "ui/selftest_script.h"

#include <gtk/gtk.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr unsigned kPollMs = 20;
constexpr double kSettleLimit = 30.0;
// A step that changes nothing on screen gets no frame; it is taken as settled after this long.
constexpr double kFrameGrace = 0.3;

// A synthetic key press as the window would deliver it; handle_key looks only at key value and state.
GdkEventKey key_event(unsigned keyval, unsigned state) {
    GdkEventKey event{};
    event.type = GDK_KEY_PRESS;
    event.keyval = keyval;
    event.state = state;
    event.send_event = TRUE;
    return event;
}

bool parse_count(const std::string& text, int& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0') return false;
    out = int(v);
    return true;
}

} // namespace

bool App::run_self_test_step(const std::string& text) {
    selftest_script::Step step = selftest_script::parse_step(text);
    if (step.verb == "key" && step.has_arg) {
        selftest_script::Chord chord = selftest_script::parse_chord(step.arg);
        unsigned keyval = gdk_keyval_from_name(chord.key.c_str());
        if (keyval == GDK_KEY_VoidSymbol || keyval == 0) return false;
        unsigned state = (chord.ctrl ? GDK_CONTROL_MASK : 0) | (chord.alt ? GDK_MOD1_MASK : 0) |
                         (chord.shift ? GDK_SHIFT_MASK : 0);
        GdkEventKey event = key_event(keyval, state);
        handle_key(&event);
        return true;
    }
    if (step.verb == "type" && step.has_arg) {
        for (uint32_t cp : selftest_script::code_points(step.arg)) {
            GdkEventKey event = key_event(gdk_unicode_to_keyval(cp), 0);
            handle_key(&event);
        }
        return true;
    }
    if (step.verb == "pane" && (step.arg == "left" || step.arg == "right")) {
        m_active_right = step.arg == "right";
        request_redraw();
        return true;
    }
    if ((step.verb == "cursor" || step.verb == "select") && step.has_arg) {
        Pane& pane = active_pane();
        const std::vector<FsEntry>& entries = pane.entries();
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].name != step.arg && entries[i].disk_name() != step.arg) continue;
            if (step.verb == "cursor")
                pane.set_cursor(int(i), false);
            else
                pane.toggle_selection(int(i));
            pane.ensure_cursor_visible(visible_rows_of(m_active_right));
            request_redraw();
            return true;
        }
        Log::instance().warnf("selftest: no entry '%s'", step.arg.c_str());
        return true;
    }
    if (step.verb == "hits") {
        m_log_hits = step.arg != "off";
        m_logged_hits.clear();
        return true;
    }
    int n = 0;
    if (step.verb == "wait" && parse_count(step.arg, n)) {
        m_selftest_wait_until = now_seconds() + n / 1000.0;
        return true;
    }
    std::optional<Action> action = action_from_name(step.verb);
    if (!action || (step.has_arg && !parse_count(step.arg, n))) return false;
    perform(*action, n);
    return true;
}

bool App::self_test_settled() const {
    if (m_overlay == Overlay::Conflict) return true;
    // A question waiting behind another dialog waits for the script's next step as it would for a user.
    const copy_engine::ConflictRequest c = copy_engine::instance().snapshot().conflict;
    if (c.pending && c.serial != m_conflict_answered && m_overlay != Overlay::None) return true;
    return !copy_engine::instance().is_running() && !BgTask::instance().is_running() &&
           !m_transfer_was_running && !m_bgtask_was_running;
}

int App::on_self_test_cb(App* app) {
    if (!app->m_selftest_started) {
        // The first call is the start timer; the steps then run from a faster poll.
        app->m_selftest_started = true;
        app->m_selftest_steps = selftest_script::split(app->m_arg_actions);
        app->m_selftest_step_started = -1;
        g_timeout_add(kPollMs, reinterpret_cast<GSourceFunc>(&App::on_self_test_cb), app);
        return G_SOURCE_REMOVE;
    }
    app->self_test_next();
    return app->m_selftest_next > app->m_selftest_steps.size() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void App::self_test_next() {
    Log& log = Log::instance();
    const double now = now_seconds();
    if (m_selftest_step_started >= 0) {
        if (now < m_selftest_wait_until) return;
        double waited = now - m_selftest_step_started;
        bool drawn = m_frames_drawn > m_selftest_frame_mark || waited >= kFrameGrace;
        if (!((m_selftest_no_wait || self_test_settled()) && drawn)) {
            if (waited < kSettleLimit) return;
            log.warnf("selftest:    still busy after %d ms \u2014 result unproven", int(waited * 1000));
        }
    }
    if (m_selftest_next >= m_selftest_steps.size()) {
        log.infof("selftest: done, %d executed, %d unknown", m_selftest_executed, m_selftest_unknown);
        m_selftest_next = m_selftest_steps.size() + 1;
        return;
    }
    std::string step = m_selftest_steps[m_selftest_next++];
    log.infof("selftest: -> %s", step.c_str());
    // "&" in front: the script goes on while the work runs, as a user acts during a long copy.
    m_selftest_no_wait = !step.empty() && step[0] == '&';
    if (m_selftest_no_wait) step.erase(0, 1);
    m_selftest_frame_mark = m_frames_drawn;
    m_selftest_step_started = now_seconds();
    if (run_self_test_step(step)) {
        ++m_selftest_executed;
    } else {
        ++m_selftest_unknown;
        log.warnf("selftest: unknown action '%s'", step.c_str());
    }
}

void App::log_hits_if_changed() {
    std::string dump;
    char line[160];
    const double s = m_ui_scale;
    for (const HitRect& r : m_hits) {
        // Rows say whether they are selected and hold the cursor: what a click on them changed.
        const Pane& pane = r.right ? m_right : m_left;
        const bool row = r.what == Hit::PaneRow;
        snprintf(line, sizeof line, "hit %s#%d %s %d,%d %dx%d%s%s%s%s ", hit_name(r.what), r.param,
                 r.right ? "R" : "L", int(std::lround(r.x * s)), int(std::lround(r.y * s)),
                 int(std::lround(r.w * s)), int(std::lround(r.h * s)), r.in_overlay ? " overlay" : "",
                 r.in_menu ? " menu" : "", row && pane.is_selected(r.param) ? " selected" : "",
                 row && pane.cursor() == r.param ? " cursor" : "");
        dump += line + r.label + "\n";
    }
    if (dump == m_logged_hits) return;
    m_logged_hits = dump;
    Log& log = Log::instance();
    log.infof("hits: begin %zu", m_hits.size());
    size_t from = 0;
    while (from < dump.size()) {
        size_t end = dump.find('\n', from);
        log.infof("%s", dump.substr(from, end - from).c_str());
        from = end + 1;
    }
    log.infof("hits: end");
}
