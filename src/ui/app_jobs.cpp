// Work started from the panes: transfers, duplicates and links, the answers to name conflicts, and the
// 100 ms tick that watches the copy engine and the background task and reports the end of their jobs.
#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"
#include "config/settings.h"
#include "engine/file_ops.h"
#include "fs/fs_ops.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace {

const Settings& settings() {
    return SettingsStore::instance().get();
}

} // namespace

void App::busy_message() {
    show_message(tr("dlg.busy_title"), tr("dlg.busy_text"), false);
}

void App::start_transfer(bool to_right, bool move) {
    start_transfer_of(pane_for(!to_right).action_paths(), to_right, move);
}

bool App::start_transfer_of(const std::vector<std::string>& sources, bool to_right, bool move) {
    copy_engine::Engine& engine = copy_engine::instance();
    // A running background task does not block a transfer: they use different workers.
    if (engine.is_running()) return busy_message(), false;
    Pane& target = pane_for(to_right);
    if (sources.empty()) return show_message(tr("dlg.nothing_title"), tr("dlg.nothing_text"), false), false;
    const bool same_dir = std::all_of(sources.begin(), sources.end(), [&](const std::string& from) {
        return su::parent_of(from) == target.path();
    });
    if (same_dir) return show_message(tr("dlg.same_dir_title"), tr("dlg.same_dir_text"), false), false;
    // A folder that vanished under the pane would be made again by the engine, somewhere the user no
    // longer looks.
    if (!target.error().empty() || !fsops::stat_path(target.path()).is_dir) {
        Log::instance().warnf("transfer refused: target %s is not readable (%s)", target.path().c_str(),
                              target.error().c_str());
        return show_message(tr("dlg.error"), tr("err.no_such_folder"), true), false;
    }
    m_rename_candidates.clear();
    if (move) {
        for (const std::string& from : sources) {
            std::string to = su::join_path(target.path(), su::basename_of(from));
            if (!fsops::exists(to) && !fsops::rename_would_cross_device(from, to))
                m_rename_candidates.emplace_back(from, to);
        }
    }
    const Settings& s = settings();
    if (!engine.start(sources, target.path(),
                      move ? copy_engine::Operation::Move : copy_engine::Operation::Copy, s.thread_count,
                      s.default_conflict)) {
        m_rename_candidates.clear();
        return busy_message(), false;
    }
    // The tick reports the end also when the job is over before it first looks.
    m_transfer_was_running = true;
    m_transfer_is_move = move;
    request_redraw();
    return true;
}

// A move within one file system renames its sources and the engine counts them nowhere; a source that
// is gone while its target is there was carried over by such a rename.
int64_t App::renamed_entries() const {
    int64_t n = 0;
    for (const auto& [from, to] : m_rename_candidates)
        if (!fsops::exists(from) && fsops::exists(to)) ++n;
    return n;
}

namespace {

// One line per job, so that the end of a job can be followed in the log as on the screen.
void log_result(const App::LastResult& r) {
    Log::instance().infof("result: %s \u00b7 %lld files, %lld bytes, %zu failed%s%s%s", r.title.c_str(),
                          static_cast<long long>(r.files), static_cast<long long>(r.bytes), r.failures,
                          r.cancelled ? ", cancelled" : "", r.disk_full ? ", disk full" : "",
                          r.detail.empty() ? "" : (" [" + r.detail + "]").c_str());
}

} // namespace

void App::open_error_list(ErrorSource source, const std::string& title) {
    m_errors_source = source;
    m_list_scroll = 0;
    set_overlay(Overlay::Errors, title);
    size_t count = 0;
    const std::vector<std::string> lines =
        error_list_lines(copy_engine::instance().snapshot(), BgTask::instance().snapshot(), count);
    Log& log = Log::instance();
    log.infof("error list: %zu failed", count);
    for (const std::string& line : lines)
        log.infof("  failed: %s", line.c_str());
}

void App::tick_transfer_ended() {
    m_progress_hold_until = now_seconds() + 2.5;
    copy_engine::Engine& engine = copy_engine::instance();
    engine.reap();
    copy_engine::Progress snap = engine.snapshot();
    refresh_both();
    m_result = LastResult{};
    m_result.valid = true;
    m_result.title =
        tr(snap.operation == copy_engine::Operation::Move ? "progress.moved" : "progress.copied");
    m_result.seconds = snap.elapsed_seconds;
    m_result.files = std::max<int64_t>(0, snap.files_copied);
    if (snap.operation == copy_engine::Operation::Move) m_result.files += renamed_entries();
    m_result.bytes = snap.bytes_done;
    m_result.failures = snap.failures_total;
    m_result.disk_full = snap.disk_full;
    m_result.cancelled = snap.cancelled;
    m_result_source = ErrorSource::Copy;
    m_rename_candidates.clear();
    log_result(m_result);
    if (!snap.failures.empty() && m_overlay == Overlay::None)
        open_error_list(ErrorSource::Copy, tr("dlg.errors_title"));
}

void App::tick_task_ended() {
    BgTask& task = BgTask::instance();
    BgTask::Status status = task.snapshot();
    task.reap();
    refresh_both();
    m_result = LastResult{};
    m_result.valid = true;
    switch (status.kind) {
    case BgTask::Kind::Pack:
        m_result.title = tr("task.packed");
        break;
    case BgTask::Kind::Unpack:
        m_result.title = tr("task.unpacked");
        break;
    case BgTask::Kind::Delete:
        m_result.title = tr("task.deleted");
        break;
    default:
        m_result.title = status.title;
        break;
    }
    m_result.files = status.done;
    m_result.detail = status.result;
    m_result.failures = status.failures.size();
    m_result.cancelled = status.cancelled;
    m_result_source = ErrorSource::Task;
    log_result(m_result);
    if (!status.failures.empty() && m_overlay == Overlay::None)
        open_error_list(ErrorSource::Task, status.title);
}

void App::tick_conflict(const copy_engine::Progress& snap) {
    const copy_engine::ConflictRequest& c = snap.conflict;
    if (!c.pending || m_overlay == Overlay::Conflict) return;
    // An answered question may still show as pending until its worker wakes: never ask it twice.
    if (c.serial == m_conflict_answered) return;
    // The worker waits anyway; a dialog with the user's typing or edits in it is not thrown away.
    if (m_overlay != Overlay::None && m_overlay != Overlay::Message) return;
    Log::instance().infof("conflict: %s -> %s", c.source_path.c_str(), c.target_path.c_str());
    set_overlay(Overlay::Conflict);
    m_conflict_serial = c.serial;
    m_conflict_apply_all = false;
}

void App::tick() {
    copy_engine::Engine& engine = copy_engine::instance();
    const bool engine_busy = engine.is_running();
    const bool task_busy = BgTask::instance().is_running();
    copy_engine::Progress snap = engine.snapshot();
    const bool conflict = snap.conflict.pending && snap.conflict.serial != m_conflict_answered;
    // A dialog for a question that is gone goes first, so that it cannot keep the error list closed.
    if (m_overlay == Overlay::Conflict &&
        (!snap.conflict.pending || snap.conflict.serial != m_conflict_serial))
        set_overlay(Overlay::None);
    if (m_transfer_was_running && !engine_busy) tick_transfer_ended();
    if (m_bgtask_was_running && !task_busy) tick_task_ended();
    tick_conflict(snap);
    if (engine_busy || task_busy) {
        m_result.valid = false;
        m_transfer_was_running = engine_busy;
        m_bgtask_was_running = task_busy;
    } else {
        m_transfer_was_running = m_bgtask_was_running = false;
    }
    save_state_if_changed();
    Log::instance().flush_pending();
    if (engine_busy) {
        std::string stalled = engine.watchdog_tick();
        if (!stalled.empty()) flash_status(trf("progress.stalled", su::basename_of(stalled).c_str()));
    }
    const double now = now_seconds();
    const bool flash_active = m_flash_until > 0 || m_reload_flash_until > 0;
    const bool holding = m_progress_hold_until > 0 && now < m_progress_hold_until;
    if (m_progress_hold_until > 0 && now >= m_progress_hold_until) {
        m_progress_hold_until = 0;
        request_redraw();
    }
    ++m_idle_frame;
    const bool idle = m_overlay == Overlay::None && m_window && gtk_window_is_active(GTK_WINDOW(m_window)) &&
                      m_idle_frame % 2 == 0;
    if (engine_busy || task_busy || conflict || flash_active || holding || idle) request_redraw();
}

void App::answer_conflict(copy_engine::ConflictAction answer) {
    copy_engine::Engine& engine = copy_engine::instance();
    const copy_engine::ConflictRequest c = engine.snapshot().conflict;
    const bool shown = m_overlay == Overlay::Conflict;
    if (shown) set_overlay(Overlay::None);
    // The answer belongs to the question the user saw; a later one gets its own dialog.
    if (!shown || !c.pending || c.serial != m_conflict_serial || c.serial == m_conflict_answered) {
        Log::instance().infof("conflict answer %s dropped: no such question open",
                              copy_engine::conflict_action_name(answer));
        return;
    }
    m_conflict_answered = c.serial;
    Log::instance().infof("conflict answer: %s%s for %s", copy_engine::conflict_action_name(answer),
                          m_conflict_apply_all ? " (all remaining)" : "", c.target_path.c_str());
    engine.resolve_conflict(answer, m_conflict_apply_all);
}

void App::make_links() {
    Pane& pane = active_pane();
    Pane& other = other_pane();
    std::vector<const FsEntry*> entries = pane.action_entries();
    if (entries.empty()) return show_message(tr("dlg.nothing_title"), tr("dlg.nothing_text"), false);
    if (pane.path() == other.path()) return show_message(tr("dlg.error"), tr("err.link_same_dir"), true);
    std::string error;
    int64_t made = 0;
    for (const FsEntry* e : entries) {
        const std::string source = su::join_path(pane.path(), e->disk_name());
        const std::string link = su::join_path(other.path(), e->disk_name());
        if (fsops::exists(link)) {
            if (error.empty()) error = e->name + ": " + tr("err.name_exists");
            continue;
        }
        std::string message = fsops::make_symlink(source, link);
        if (message.empty()) {
            ++made;
            Log::instance().infof("symlink %s -> %s", link.c_str(), source.c_str());
        } else {
            Log::instance().warnf("symlink %s -> %s failed: %s", link.c_str(), source.c_str(),
                                  message.c_str());
            if (error.empty()) error = e->name + ": " + message;
        }
    }
    refresh_both();
    if (made > 0) {
        m_result = LastResult{};
        m_result.valid = true;
        m_result.title = tr("action.make_link");
        m_result.files = made;
        m_result.failures = entries.size() - size_t(made);
        m_result.detail = su::basename_of(other.path());
        log_result(m_result);
    }
    if (!error.empty()) show_message(tr("dlg.error"), error, true);
}

bool App::perform_job_command(Action action) {
    using CA = copy_engine::ConflictAction;
    switch (action) {
    case Action::CopyToOther:
    case Action::MoveToOther:
        start_transfer(!m_active_right, action == Action::MoveToOther);
        return true;
    case Action::Clone: {
        std::vector<std::string> paths = active_pane().action_paths();
        if (paths.empty()) return show_message(tr("dlg.nothing_title"), tr("dlg.nothing_text"), false), true;
        if (!file_ops::start_clone(paths, settings().thread_count)) return busy_message(), true;
        m_rename_candidates.clear();
        m_transfer_was_running = true;
        m_transfer_is_move = false;
        return true;
    }
    case Action::MakeLink:
        make_links();
        return true;
    case Action::ConflictOverwrite:
        return answer_conflict(CA::Overwrite), true;
    case Action::ConflictSkip:
        return answer_conflict(CA::Skip), true;
    case Action::ConflictRenameNew:
        return answer_conflict(CA::RenameNew), true;
    case Action::ConflictRenameExisting:
        return answer_conflict(CA::RenameExisting), true;
    case Action::ConflictOverwriteIfNewer:
        return answer_conflict(CA::OverwriteIfNewer), true;
    case Action::ConflictCancel:
        return answer_conflict(CA::Cancel), true;
    case Action::ConflictToggleAll:
        m_conflict_apply_all = !m_conflict_apply_all;
        return true;
    case Action::DismissErrors:
        m_errors_source = ErrorSource::None;
        set_overlay(Overlay::None);
        return true;
    default:
        return false;
    }
}
