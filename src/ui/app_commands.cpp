// Command execution: every key, menu row, button and script step ends in perform().
#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"
#include "config/bookmarks.h"
#include "config/settings.h"
#include "engine/archive_ops.h"
#include "engine/file_ops.h"
#include "fs/fs_ops.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

bool show_hidden() {
    return SettingsStore::instance().get().show_hidden;
}

Settings& settings() {
    return SettingsStore::instance().mutable_get();
}

void put_on_clipboard(const std::string& text) {
    if (!gdk_display_get_default()) return;
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), text.c_str(), -1);
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_PRIMARY), text.c_str(), -1);
}

// The row a one-entry command acts on: the only selected entry, else the cursor row.
int single_target_row(const Pane& pane) {
    if (pane.has_selection()) {
        std::vector<const FsEntry*> entries = pane.action_entries();
        if (entries.size() == 1) return int(entries.front() - pane.entries().data());
    }
    return pane.cursor();
}

} // namespace

void App::set_overlay(Overlay overlay, const std::string& title) {
    if (overlay != m_overlay) {
        m_overlay_accels.clear();
        m_overlay_scrolls = false;
        m_accels_overlay = Overlay::None;
    }
    m_overlay = overlay;
    m_overlay_title = title;
    ++m_overlay_serial;
    request_redraw();
}

void App::show_message(const std::string& title, const std::string& text, bool is_error, Action action,
                       const std::string& action_label) {
    // A message replaces whatever was open, so its buttons are new even when a message was open before.
    set_overlay(Overlay::None);
    set_overlay(Overlay::Message, title);
    m_overlay_text = text;
    m_overlay_is_error = is_error;
    m_message_action = action;
    m_message_action_label = action_label;
}

void App::activate_row(int index, bool right) {
    Pane& pane = pane_for(right);
    if (index < 0 || index >= pane.count()) return;
    const FsEntry& entry = pane.entries()[size_t(index)];
    std::string path = su::join_path(pane.path(), entry.disk_name());
    if (entry.kind == FsEntry::Kind::Parent) {
        pane.go_up(show_hidden());
    } else if (entry.is_dir_like()) {
        pane.navigate_to(path, show_hidden());
    } else if (entry.kind == FsEntry::Kind::BrokenSymlink) {
        show_message(tr("dlg.error"), tr("err.broken_link"), true);
    } else {
        std::string message = file_ops::open_with_default_app(path);
        if (!message.empty()) show_message(tr("dlg.error"), message, true);
    }
    request_redraw();
}

void App::perform(Action action, int) {
    if (action == Action::None) return request_redraw();
    const char* name = action_name(action);
    Log::instance().infof("action: %s [%s]", name, active_pane().path().c_str());
    std::string why;
    if (!action_enabled(action, &why)) {
        Log::instance().warnf("action refused: %s \u2014 %s", name, why.c_str());
        show_message(tr("dlg.nothing_title"), tr("dlg.nothing_text"), false);
        return request_redraw();
    }
    if (m_search_pane >= 0 && action != Action::SearchPane && action != Action::ToggleHidden) {
        Log::instance().infof("search closed: %s wurde ausgeloest", name);
        end_search(true);
    }
    perform_command(action);
    request_redraw();
}

void App::perform_command(Action action) {
    if (perform_job_command(action) || perform_pane_command(action) || perform_dialog_command(action) ||
        perform_settings_command(action) || perform_bookmark_command(action))
        return;
    // What is left belongs to dialogs that are not built yet; the log line of perform() is all they do
    // for now.
}

void App::save_settings() {
    if (!SettingsStore::instance().save()) Log::instance().warnf("settings could not be saved");
}

bool App::perform_pane_command(Action action) {
    Pane& pane = active_pane();
    switch (action) {
    case Action::Rename:
        // With exactly one entry selected, that entry is the one renamed, wherever the cursor rests: it is
        // what the menus judged the command by.
        pane.set_cursor(single_target_row(pane), false);
        pane.begin_rename();
        return true;
    case Action::OpenWith:
        activate_row(single_target_row(pane), m_active_right);
        return true;
    case Action::SelectAll:
        pane.select_all();
        return true;
    case Action::SelectNone:
        pane.clear_selection();
        return true;
    case Action::InvertSelection:
        pane.invert_selection();
        return true;
    case Action::SearchPane:
        begin_search(m_active_right);
        return true;
    case Action::ToggleHidden:
    case Action::SettingsToggleHidden:
        settings().show_hidden = !settings().show_hidden;
        save_settings();
        refresh_both();
        return true;
    case Action::Refresh:
        refresh_command();
        return true;
    case Action::SwapPanes:
        swap_panes();
        return true;
    case Action::CopyPath:
        copy_path_command();
        return true;
    case Action::Quit:
        if (m_window) gtk_window_close(GTK_WINDOW(m_window));
        return true;
    default:
        break;
    }
    if (column_for_action(action)) {
        toggle_column(action);
        return true;
    }
    return perform_navigation_command(action);
}

bool App::perform_navigation_command(Action action) {
    Pane& pane = active_pane();
    switch (action) {
    case Action::MirrorPane:
        other_pane().navigate_to(pane.path(), show_hidden());
        return true;
    case Action::GoUp:
        pane.go_up(show_hidden());
        return true;
    case Action::GoBack:
        pane.go_back(show_hidden());
        return true;
    case Action::GoForward:
        pane.go_forward(show_hidden());
        return true;
    case Action::GoToPath:
        begin_path_edit(m_active_right);
        return true;
    case Action::GoHome:
        pane.navigate_to(real_home(), show_hidden());
        return true;
    case Action::GoToTrash:
        go_to_trash();
        return true;
    default:
        return false;
    }
}

void App::toggle_column(Action action) {
    ColumnId id = *column_for_action(action);
    set_column_enabled(settings(), id, !column_enabled(settings(), id));
    save_settings();
}

void App::swap_panes() {
    std::swap(m_left, m_right);
    std::swap(m_pane_hscroll[0], m_pane_hscroll[1]);
    m_active_right = !m_active_right;
}

void App::refresh_command() {
    refresh_both();
    flash_panes();
    const dir_lister::Listing& l = active_pane().listing();
    flash_status(std::string(tr("status.reloaded")) + "  \u00b7  " +
                 trf("status.folder_summary", l.dir_count, l.file_count));
}

void App::copy_path_command() {
    std::vector<std::string> paths = active_pane().action_paths();
    std::string text;
    for (const std::string& p : paths)
        text += (text.empty() ? "" : "\n") + p;
    put_on_clipboard(paths.empty() ? active_pane().path() : text);
}

void App::go_to_trash() {
    std::string folder = trash_dir();
    if (folder.empty()) return show_message(tr("dlg.error"), tr("err.no_trash_here"), true);
    if (!fsops::stat_path(folder).is_dir) {
        std::string message = fsops::make_dirs(folder, 0700);
        if (!message.empty()) {
            Log::instance().warnf("trash: cannot create %s: %s", folder.c_str(), message.c_str());
            return show_message(tr("dlg.error"), tr("err.no_trash_here"), true);
        }
        Log::instance().infof("trash: created %s", folder.c_str());
    }
    active_pane().navigate_to(folder, show_hidden());
}

void App::open_dialog_for(Action action) {
    struct Opener {
        Action action;
        Overlay overlay;
        const char* title;
    };
    static constexpr Opener kOpeners[] = {
        {Action::NewFolder, Overlay::NewFolder, "dlg.new_folder_title"},
        {Action::NewFile, Overlay::NewFile, "dlg.new_file_title"},
        {Action::SelectPattern, Overlay::SelectPattern, "dlg.select_pattern_title"},
        {Action::BookmarkManage, Overlay::Bookmarks, "menu.bookmarks"},
        {Action::About, Overlay::About, nullptr},
        {Action::SettingsWindow, Overlay::Settings, "dlg.settings_title"},
        {Action::LogWindow, Overlay::LogView, "dlg.log_title"},
        {Action::Licenses, Overlay::Licenses, "action.licenses"},
        {Action::SandboxInfo, Overlay::Sandbox, "sandbox.title"},
        {Action::SettingsLanguageOpen, Overlay::LanguagePicker, "settings.language"},
        {Action::SettingsFontOpen, Overlay::FontPicker, "settings.font"},
    };
    for (const Opener& o : kOpeners) {
        if (o.action != action) continue;
        set_overlay(o.overlay, o.title ? std::string(tr(o.title)) : std::string("Tavrin"));
        break;
    }
    m_input_buffer = action == Action::SelectPattern ? "*" : "";
    m_input_caret = m_input_buffer.size();
    m_list_scroll = action == Action::LogWindow ? -1 : 0;
    if (action == Action::SettingsLanguageOpen) {
        // The current language a few rows down from the top, so that its neighbours show above it.
        std::vector<LanguageInfo> languages = I18n::available();
        const std::string& current = SettingsStore::instance().get().language;
        for (size_t i = 0; i < languages.size(); ++i)
            if (languages[i].code == current) m_list_scroll = std::max(0, int(i) - 3);
    }
    m_settings_scroll = 0;
    m_sandbox_copied = false;
}

bool App::perform_dialog_command(Action action) {
    switch (action) {
    case Action::NewFolder:
    case Action::NewFile:
    case Action::SelectPattern:
    case Action::BookmarkManage:
    case Action::About:
    case Action::SettingsWindow:
    case Action::LogWindow:
    case Action::Licenses:
    case Action::SandboxInfo:
    case Action::SettingsLanguageOpen:
    case Action::SettingsFontOpen:
        open_dialog_for(action);
        return true;
    case Action::OverlayOk:
        overlay_ok();
        return true;
    case Action::OverlayCancel:
        set_overlay(Overlay::None);
        m_input_buffer.clear();
        m_input_caret = 0;
        return true;
    case Action::Delete:
    case Action::DeleteToTrash:
    case Action::DeletePermanent:
        request_delete(action);
        return true;
    case Action::OpenTerminal: {
        std::string message = file_ops::open_terminal_at(active_pane().path());
        if (!message.empty())
            show_message(tr("dlg.error"), message, true);
        else
            flash_status(tr("status.terminal_opened"));
        return true;
    }
    case Action::LogToggleDebug:
        Log::instance().set_debug(!Log::instance().debug());
        Log::instance().infof("debug logging %s", Log::instance().debug() ? "ON" : "off");
        return true;
    case Action::LogClear:
        Log::instance().clear();
        Log::instance().infof("log cleared by the user");
        m_list_scroll = -1;
        return true;
    case Action::LogOpenFile: {
        std::string message = file_ops::open_with_default_app(Log::instance().file_path());
        if (!message.empty()) show_message(tr("dlg.error"), message, true);
        return true;
    }
    case Action::SandboxDontShow:
        settings().sandbox_notice_hidden = true;
        save_settings();
        set_overlay(Overlay::None);
        return true;
    default:
        return false;
    }
}

void App::overlay_ok() {
    std::string text = std::exchange(m_input_buffer, std::string());
    m_input_caret = 0;
    Overlay was = m_overlay;
    set_overlay(Overlay::None);
    Pane& pane = active_pane();
    if (was == Overlay::NewFolder || was == Overlay::NewFile) {
        std::string message = was == Overlay::NewFolder ? file_ops::create_directory(pane.path(), text)
                                                        : file_ops::create_empty_file(pane.path(), text);
        if (!message.empty()) return show_message(tr("dlg.error"), message, true);
        pane.remember_cursor_name(text);
        pane.reload(show_hidden());
    } else if (was == Overlay::SelectPattern) {
        if (pane.select_pattern(text, false) == 0)
            show_message(tr("dlg.nothing_title"), tr("err.no_match"), false);
    } else if (was == Overlay::GoToPath) {
        std::string folder =
            su::normalize_path(text.empty() || text[0] != '/' ? su::join_path(pane.path(), text) : text);
        if (fsops::stat_path(folder).is_dir)
            pane.navigate_to(folder, show_hidden());
        else
            show_message(tr("dlg.error"), tr("err.no_such_folder"), true);
    }
}

void App::request_delete(Action action) {
    if (action != Action::Delete) set_overlay(Overlay::None);
    if (active_pane().selected_paths().empty()) {
        if (action == Action::Delete)
            return show_message(tr("dlg.nothing_title"), tr("dlg.nothing_text"), false);
        Log::instance().infof("delete refused: keine ausdrueckliche Auswahl");
        return;
    }
    if (const std::string* in_use = pane_path_inside_selection()) {
        Log::instance().warnf("delete refused: %s ist in einer Seite geoeffnet", in_use->c_str());
        return show_message(tr("dlg.error"), tr("err.folder_in_use"), true);
    }
    const Settings& s = SettingsStore::instance().get();
    if (action == Action::Delete) {
        if (s.confirm_delete) return set_overlay(Overlay::ConfirmDelete, tr("dlg.delete_title"));
        return perform(s.delete_to_trash ? Action::DeleteToTrash : Action::DeletePermanent);
    }
    const bool to_trash = action == Action::DeleteToTrash;
    if (!file_ops::start_delete(active_pane().selected_paths(), to_trash,
                                tr(to_trash ? "task.trashing" : "task.deleting")))
        return busy_message();
    m_bgtask_was_running = true;
}

bool App::perform_settings_command(Action action) {
    Settings& s = settings();
    switch (action) {
    case Action::SettingsThreadsMinus:
        s.thread_count = std::max(0, s.thread_count - 1);
        break;
    case Action::SettingsThreadsPlus:
        s.thread_count = std::min(s.thread_count + 1, 16);
        break;
    case Action::SettingsTheme:
        s.theme = s.theme == "auto" ? "light" : s.theme == "light" ? "dark" : "auto";
        apply_theme();
        break;
    case Action::SettingsConflict: {
        using CA = copy_engine::ConflictAction;
        CA c = s.default_conflict;
        s.default_conflict = c == CA::Ask                ? CA::Overwrite
                             : c == CA::Overwrite        ? CA::Skip
                             : c == CA::Skip             ? CA::RenameNew
                             : c == CA::RenameNew        ? CA::OverwriteIfNewer
                             : c == CA::OverwriteIfNewer ? CA::Ask
                                                         : CA::Overwrite;
        break;
    }
    case Action::SettingsToggleTrash:
        s.delete_to_trash = !s.delete_to_trash;
        break;
    case Action::SettingsToggleConfirm:
        s.confirm_delete = !s.confirm_delete;
        break;
    case Action::SettingsScaleMinus:
    case Action::SettingsScalePlus:
        s.font_scale = action == Action::SettingsScaleMinus ? std::max(s.font_scale - 10, 70)
                                                            : std::min(s.font_scale + 10, 200);
        Log::instance().infof("UI scale %d %%", s.font_scale);
        break;
    case Action::SettingsLanguagePrev:
    case Action::SettingsLanguageNext: {
        std::vector<std::string> codes{"auto"};
        for (const LanguageInfo& l : I18n::available())
            codes.push_back(l.code);
        auto it = std::find(codes.begin(), codes.end(), s.language);
        int n = int(codes.size()), i = it == codes.end() ? 0 : int(it - codes.begin());
        i = (i + (action == Action::SettingsLanguageNext ? 1 : n - 1)) % n;
        s.language = codes[size_t(i)];
        I18n::instance().set_language(s.language);
        break;
    }
    case Action::SettingsArchiveFormat:
        next_archive_format(s);
        break;
    case Action::SettingsReset:
        reset_settings();
        return true;
    default:
        return false;
    }
    save_settings();
    return true;
}

void App::next_archive_format(Settings& s) {
    const std::vector<archive_ops::Format>& formats = archive_ops::available_formats();
    if (formats.empty()) return;
    // With no known format stored, the second one: the first is what the pack dialog offers anyway.
    size_t next = formats.size() > 1 ? 1 : 0;
    for (size_t i = 0; i < formats.size(); ++i)
        if (s.archive_format == archive_ops::label_for(formats[i])) next = (i + 1) % formats.size();
    s.archive_format = archive_ops::label_for(formats[next]);
}

void App::reset_settings() {
    Settings& s = settings();
    Settings fresh;
    // Where the panes are and how they sort is the user's place, not a preference.
    fresh.left_path = s.left_path;
    fresh.right_path = s.right_path;
    fresh.left_sort = s.left_sort;
    fresh.right_sort = s.right_sort;
    s = fresh;
    I18n::instance().set_language(s.language);
    I18n::instance().set_ui_font(s.font_family);
    apply_theme();
    save_settings();
    refresh_both();
    flash_status(tr("settings.reset_done"));
    Log::instance().infof("settings reset to defaults");
}

bool App::perform_bookmark_command(Action action) {
    switch (action) {
    case Action::BookmarkAdd: {
        const std::string& folder = active_pane().path();
        bool had = bookmarks::contains(folder);
        if (had)
            bookmarks::remove(folder);
        else
            bookmarks::add(folder);
        show_message(tr("menu.bookmarks"), tr(had ? "bookmark.removed" : "bookmark.added"), false);
        return true;
    }
    case Action::BookmarkRemove: {
        std::string pending = std::exchange(m_pending_bookmark, std::string());
        std::string path = pending.empty() ? active_pane().path() : pending;
        set_overlay(Overlay::None);
        if (!bookmarks::remove(path))
            Log::instance().warnf("bookmark remove failed: %s", path.c_str());
        else if (pending.empty())
            show_message(tr("menu.bookmarks"), tr("bookmark.removed"), false);
        return true;
    }
    case Action::BookmarkOpenLeft:
    case Action::BookmarkOpenRight: {
        std::string path = std::exchange(m_pending_bookmark, std::string());
        set_overlay(Overlay::None);
        if (path.empty()) return true;
        bool right = action == Action::BookmarkOpenRight;
        dir_lister::Listing listing = dir_lister::read(path, false);
        if (!listing.error.empty()) {
            show_message(tr("dlg.error"), path + ": " + listing.error, true);
            return true;
        }
        pane_for(right).navigate_to(path, show_hidden());
        m_active_right = right;
        Log::instance().infof("bookmark \u2192 %s (%s pane)", path.c_str(), right ? "right" : "left");
        return true;
    }
    default:
        return false;
    }
}
