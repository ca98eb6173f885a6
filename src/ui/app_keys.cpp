// Keyboard input: the chain of editors (dialog, menus, path bar, inline rename, search bar) and then the
// panes' key map.
#include "ui/app.h"

#include "base/i18n.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/strutil.h"
#include "config/settings.h"
#include "engine/bg_task.h"
#include "engine/copy_engine.h"
#include "engine/file_ops.h"
#include "ui/text_edit.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace {

constexpr unsigned kModifiers = GDK_SHIFT_MASK | GDK_CONTROL_MASK | GDK_MOD1_MASK;

bool is_enter(unsigned keyval) {
    return keyval == GDK_KEY_Return || keyval == GDK_KEY_KP_Enter;
}

uint32_t key_char(unsigned keyval) {
    return gdk_keyval_to_unicode(keyval);
}

bool show_hidden() {
    return SettingsStore::instance().get().show_hidden;
}

// The caret keys every one-line editor shares; true when the key was one of them.
bool edit_caret_key(unsigned keyval, const std::string& text, size_t& caret) {
    switch (keyval) {
    case GDK_KEY_Left:
        caret = text_edit::prev_boundary(text, caret);
        return true;
    case GDK_KEY_Right:
        caret = text_edit::next_boundary(text, caret);
        return true;
    case GDK_KEY_Home:
        caret = 0;
        return true;
    case GDK_KEY_End:
        caret = text.size();
        return true;
    default:
        return false;
    }
}

// Text as typed into the path bar: surrounding blanks and quoting gone, file URIs and "~" resolved.
std::string clean_path_text(std::string text, const std::string& base) {
    size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? std::string() : text.substr(start);
    size_t end = text.find_last_not_of(" \t\n");
    text.resize(end == std::string::npos ? 0 : end + 1);
    if (text.size() != 1) {
        if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
            text = text.substr(1, text.size() - 2);
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
    }
    if (su::starts_with(text, "file://")) {
        if (char* name = g_filename_from_uri(text.c_str(), nullptr, nullptr)) {
            text = name;
            g_free(name);
        }
    }
    if (text.empty()) return text;
    if (text[0] == '~') text = real_home() + text.substr(1);
    if (text.empty()) return text;
    if (text[0] != '/') text = su::join_path(base, text);
    // "/a/b/../c" and "/a/c" must be the same folder for every check that compares folders.
    return su::normalize_path(text);
}

} // namespace

int App::on_key_press_cb(GtkWidget*, GdkEventKey* event, App* app) {
    app->handle_key(event);
    return TRUE;
}

void App::handle_key(GdkEventKey* event) {
    const unsigned key = event->keyval;
    if (m_overlay != Overlay::None) {
        // A key the dialog does not use is dropped here: it must never reach the panes behind the dialog,
        // where Delete or F5 would act on a selection the user cannot see.
        handle_overlay_key(event);
        request_redraw();
        return;
    }
    bool menu_open = m_open_menu >= 0 || m_context_menu || m_column_menu || m_open_drive_picker >= 0;
    if (menu_open && key == GDK_KEY_Escape) {
        m_open_menu = -1;
        m_context_menu = false;
        m_column_menu = false;
        m_open_drive_picker = -1;
        request_redraw();
        return;
    }
    if (m_path_edit >= 0) {
        handle_path_edit_key(event);
        request_redraw();
        return;
    }
    if (active_pane().renaming() && handle_rename_key(event)) return request_redraw();
    if (m_search_pane >= 0 && handle_search_key(event)) return request_redraw();
    bool copying = copy_engine::instance().is_running(), tasking = BgTask::instance().is_running();
    if (copying || tasking) {
        if (key != GDK_KEY_Escape) return;
        if (copying) copy_engine::instance().cancel();
        if (tasking) BgTask::instance().cancel();
        return request_redraw();
    }
    if (handle_global_key(event)) request_redraw();
}

bool App::handle_overlay_key(GdkEventKey* event) {
    const unsigned key = event->keyval;
    const unsigned state = event->state & kModifiers;
    if (key == GDK_KEY_Escape) {
        perform(m_overlay == Overlay::Conflict ? Action::ConflictSkip : Action::OverlayCancel);
        return true;
    }
    if (is_enter(key)) {
        if (m_overlay == Overlay::Conflict) return true;
        if (m_overlay == Overlay::ConfirmDelete)
            perform(SettingsStore::instance().get().delete_to_trash ? Action::DeleteToTrash
                                                                    : Action::DeletePermanent);
        else
            perform(Action::OverlayOk);
        return true;
    }
    if ((state & GDK_MOD1_MASK) && m_accels_overlay == m_overlay && !m_overlay_accels.empty()) {
        char c = char(std::toupper(key < 128 ? int(key) : 0));
        auto it = m_overlay_accels.find(c);
        if (it != m_overlay_accels.end()) {
            Action action = it->second;
            Log::instance().infof("dialog accel: Alt+%c \u2192 %s", c, action_name(action));
            perform(action);
            return true;
        }
    }
    if (m_overlay_scrolls) {
        int page = std::max(m_overlay_page, 1);
        switch (key) {
        case GDK_KEY_Home:
            m_list_scroll = 0;
            break;
        case GDK_KEY_Up:
            m_list_scroll -= 1;
            break;
        case GDK_KEY_Down:
            m_list_scroll += 1;
            break;
        case GDK_KEY_Page_Up:
            m_list_scroll -= page;
            break;
        case GDK_KEY_Page_Down:
            m_list_scroll += page;
            break;
        case GDK_KEY_End:
            m_list_scroll = 1073741824;
            break;
        default:
            break;
        }
        m_list_scroll = std::max(m_list_scroll, 0);
        return true;
    }
    return handle_overlay_text_key(event);
}

bool App::handle_overlay_text_key(GdkEventKey* event) {
    switch (m_overlay) {
    case Overlay::NewFolder:
    case Overlay::NewFile:
    case Overlay::Pack:
    case Overlay::SelectPattern:
    case Overlay::GoToPath:
        break;
    default:
        return true;
    }
    const unsigned key = event->keyval;
    if (key == GDK_KEY_BackSpace) {
        text_edit::backspace(m_input_buffer, m_input_caret);
    } else if (key == GDK_KEY_Left || key == GDK_KEY_Right) {
        edit_caret_key(key, m_input_buffer, m_input_caret);
    } else {
        // Delete carries U+007F, which would go invisibly into a file name.
        uint32_t c = key_char(key);
        if (text_edit::insertable(c)) text_edit::insert(m_input_buffer, m_input_caret, text_edit::utf8_of(c));
    }
    return true;
}

bool App::handle_path_edit_key(GdkEventKey* event) {
    const unsigned key = event->keyval;
    std::string& buf = m_path_buffer;
    if (key == GDK_KEY_Escape) {
        m_path_edit = -1;
        m_path_error.clear();
        return true;
    }
    if (is_enter(key)) {
        commit_path_edit();
        return true;
    }
    if (event->state & GDK_CONTROL_MASK) {
        // The clipboard needs a display; without one (tests) only the caret keys work.
        const bool display = gdk_display_get_default() != nullptr;
        if (key == GDK_KEY_c && display) {
            gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), buf.c_str(), -1);
            gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_PRIMARY), buf.c_str(), -1);
        } else if (key == GDK_KEY_v && display) {
            if (char* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD))) {
                std::string piece(text);
                g_free(text);
                piece.resize(std::min(piece.find_first_of("\r\n"), piece.size()));
                text_edit::insert(buf, m_path_caret, piece);
                m_path_error.clear();
            }
        } else if (key == GDK_KEY_a) {
            m_path_caret = buf.size();
        }
        return true;
    }
    uint32_t c = key_char(key);
    if (key == GDK_KEY_BackSpace) {
        text_edit::backspace(buf, m_path_caret);
    } else if (key == GDK_KEY_Delete) {
        text_edit::delete_forward(buf, m_path_caret);
    } else if (edit_caret_key(key, buf, m_path_caret)) {
    } else if (text_edit::insertable(c)) {
        text_edit::insert(buf, m_path_caret, text_edit::utf8_of(c));
    } else {
        return true;
    }
    m_path_error.clear();
    return true;
}

void App::begin_path_edit(bool right) {
    m_path_edit = right ? 1 : 0;
    m_path_buffer = pane_for(right).path();
    m_path_caret = m_path_buffer.size();
    m_path_error.clear();
    request_redraw();
}

void App::commit_path_edit() {
    if (m_path_edit < 0) return;
    Pane& pane = pane_for(m_path_edit == 1);
    std::string text = clean_path_text(m_path_buffer, pane.path());
    if (text.empty()) {
        m_path_edit = -1;
        return;
    }
    dir_lister::Listing listing = dir_lister::read(text, false);
    if (!listing.error.empty()) {
        m_path_error = text + ": " + listing.error;
        Log::instance().warnf("path rejected: %s", m_path_error.c_str());
        if (listing.error_code == EACCES || listing.error_code == EPERM)
            Log::instance().warnf("permission denied: %s", text.c_str());
        return;
    }
    Log::instance().infof("path bar \u2192 %s", text.c_str());
    m_path_edit = -1;
    m_path_error.clear();
    pane.navigate_to(text, show_hidden());
}

bool App::handle_rename_key(GdkEventKey* event) {
    Pane& pane = active_pane();
    const unsigned key = event->keyval;
    switch (key) {
    case GDK_KEY_BackSpace:
        return pane.rename_backspace();
    case GDK_KEY_Delete:
        return pane.rename_delete();
    case GDK_KEY_Left:
        return pane.rename_move_caret(-1);
    case GDK_KEY_Right:
        return pane.rename_move_caret(+1);
    case GDK_KEY_Home:
        return pane.rename_set_caret(0);
    case GDK_KEY_End:
        return pane.rename_set_caret(pane.rename_buffer().size());
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        commit_rename();
        return true;
    case GDK_KEY_Escape:
        pane.cancel_rename();
        return true;
    default:
        break;
    }
    uint32_t c = key_char(key);
    if (text_edit::insertable(c)) return pane.rename_insert(text_edit::utf8_of(c));
    return pane.renaming();
}

void App::commit_rename() {
    Pane& pane = active_pane();
    int index = pane.rename_index();
    if (index < 0 || index >= pane.count()) {
        pane.cancel_rename();
        return;
    }
    const FsEntry& entry = pane.entries()[size_t(index)];
    // The stored name, not the repaired one shown: only it names the file on disk.
    std::string old_name = entry.disk_name();
    std::string old_path = su::join_path(pane.path(), old_name);
    std::string new_name = pane.rename_buffer();
    bool unchanged = new_name == entry.name;
    pane.cancel_rename();
    if (new_name.empty() || unchanged || new_name == old_name) return request_redraw();
    std::string message = file_ops::rename_entry(old_path, new_name);
    if (!message.empty()) {
        show_message(tr("dlg.error"), message, true);
    } else {
        pane.remember_cursor_name(new_name);
        pane.reload(show_hidden());
    }
    request_redraw();
}

bool App::handle_search_key(GdkEventKey* event) {
    const unsigned key = event->keyval;
    std::string& buf = m_search_buffer;
    Pane& pane = pane_for(m_search_pane == 1);
    if (event->state & GDK_CONTROL_MASK) return false;
    switch (key) {
    case GDK_KEY_BackSpace:
        if (text_edit::backspace(buf, m_search_caret)) pane.set_filter(buf, show_hidden());
        return true;
    case GDK_KEY_Delete:
        if (text_edit::delete_forward(buf, m_search_caret)) pane.set_filter(buf, show_hidden());
        return true;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        m_search_pane = -1;
        return true;
    case GDK_KEY_Escape:
        end_search(true);
        return true;
    default:
        break;
    }
    if (edit_caret_key(key, buf, m_search_caret)) return true;
    uint32_t c = key_char(key);
    if (!text_edit::insertable(c)) return false;
    text_edit::insert(buf, m_search_caret, text_edit::utf8_of(c));
    pane.set_filter(buf, show_hidden());
    return true;
}

void App::begin_search(bool right) {
    m_search_pane = right ? 1 : 0;
    m_search_buffer = pane_for(right).filter();
    m_search_caret = m_search_buffer.size();
    request_redraw();
}

void App::end_search(bool clear_filter) {
    Pane& pane = m_search_pane >= 0 ? pane_for(m_search_pane == 1) : active_pane();
    m_search_pane = -1;
    m_search_buffer.clear();
    m_search_caret = 0;
    if (clear_filter) {
        std::vector<const FsEntry*> entries = pane.action_entries();
        if (!entries.empty()) pane.remember_cursor_name(entries.front()->disk_name());
        pane.set_filter("", show_hidden());
    }
    request_redraw();
}

const std::string* App::pane_path_inside_selection() const {
    const Pane& pane = m_active_right ? m_right : m_left;
    std::vector<std::string> selected = pane.selected_paths();
    for (const Pane* side : {&m_left, &m_right}) {
        const std::string& folder = side->path();
        for (const std::string& path : selected)
            if (folder == path || su::starts_with(folder, path + "/")) return &folder;
    }
    return nullptr;
}

void App::move_cursor_key(Pane::Move move, bool extend) {
    Pane& pane = active_pane();
    pane.move_cursor(move, extend, visible_rows_of(m_active_right));
    pane.ensure_cursor_visible(visible_rows_of(m_active_right));
}

bool App::handle_global_key(GdkEventKey* event) {
    // Keys that perform one command whatever the modifiers.
    struct Binding {
        unsigned key;
        Action action;
    };
    static constexpr Binding kPlainBindings[] = {
        {GDK_KEY_BackSpace, Action::GoUp},
        {GDK_KEY_asterisk, Action::InvertSelection},
        {GDK_KEY_KP_Multiply, Action::InvertSelection},
        {GDK_KEY_plus, Action::SelectPattern},
        {GDK_KEY_KP_Add, Action::SelectPattern},
        {GDK_KEY_Delete, Action::Delete},
        {GDK_KEY_F2, Action::Rename},
        {GDK_KEY_F5, Action::CopyToOther},
        {GDK_KEY_F6, Action::MoveToOther},
        {GDK_KEY_F7, Action::NewFolder},
    };
    const unsigned key = event->keyval;
    if (handle_pane_key(event)) return true;
    for (const Binding& b : kPlainBindings) {
        if (b.key != key) continue;
        perform(b.action);
        return true;
    }
    if (event->state & GDK_CONTROL_MASK) return handle_control_key(key);
    return type_ahead(key, event->state);
}

bool App::handle_pane_key(GdkEventKey* event) {
    const bool shift = event->state & GDK_SHIFT_MASK;
    const bool alt = event->state & GDK_MOD1_MASK;
    Pane& pane = active_pane();
    switch (event->keyval) {
    case GDK_KEY_Up:
        move_cursor_key(Pane::Move::Up, shift);
        return true;
    case GDK_KEY_Down:
        move_cursor_key(Pane::Move::Down, shift);
        return true;
    case GDK_KEY_Page_Up:
        move_cursor_key(Pane::Move::PageUp, shift);
        return true;
    case GDK_KEY_Page_Down:
        move_cursor_key(Pane::Move::PageDown, shift);
        return true;
    case GDK_KEY_End:
        move_cursor_key(Pane::Move::Last, shift);
        return true;
    case GDK_KEY_Home:
        if (event->state & GDK_CONTROL_MASK)
            perform(Action::GoHome);
        else
            move_cursor_key(Pane::Move::First, shift);
        return true;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        if (alt)
            perform(Action::Properties);
        else
            activate_row(pane.cursor(), m_active_right);
        return true;
    case GDK_KEY_Right:
        if (alt)
            perform(Action::GoForward);
        else
            activate_row(pane.cursor(), m_active_right);
        return true;
    case GDK_KEY_Left:
        perform(alt ? Action::GoBack : Action::GoUp);
        return true;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        m_active_right = !m_active_right;
        return true;
    case GDK_KEY_Escape:
        pane.clear_selection();
        return true;
    case GDK_KEY_space:
        pane.toggle_selection(pane.cursor());
        return true;
    default:
        return false;
    }
}

bool App::handle_control_key(unsigned keyval) {
    struct Binding {
        unsigned key;
        Action action;
    };
    static constexpr Binding kBindings[] = {
        {GDK_KEY_a, Action::SelectAll},    {GDK_KEY_c, Action::CopyPath},
        {GDK_KEY_d, Action::BookmarkAdd},  {GDK_KEY_g, Action::LogWindow},
        {GDK_KEY_h, Action::ToggleHidden}, {GDK_KEY_l, Action::GoToPath},
        {GDK_KEY_q, Action::Quit},         {GDK_KEY_r, Action::Refresh},
        {GDK_KEY_u, Action::SwapPanes},    {GDK_KEY_comma, Action::SettingsWindow},
    };
    if (keyval == GDK_KEY_f) {
        begin_search(m_active_right);
        return true;
    }
    for (const Binding& b : kBindings) {
        if (b.key != keyval) continue;
        perform(b.action);
        return true;
    }
    return false;
}

bool App::type_ahead(unsigned keyval, unsigned state) {
    uint32_t c = key_char(keyval);
    if ((state & GDK_MOD1_MASK) || c < 32) return false;
    double now = now_seconds();
    if (now - m_typeahead_time > 1.0) m_typeahead.clear();
    m_typeahead_time = now;
    m_typeahead += text_edit::utf8_of(c);
    Pane& pane = active_pane();
    const std::string wanted = su::lower_ascii(m_typeahead);
    const std::vector<FsEntry>& entries = pane.entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!su::starts_with(su::lower_ascii(entries[i].name), wanted)) continue;
        // Moving the cursor must leave the selection alone: the user may be looking for a row to add.
        pane.set_cursor(int(i), false);
        pane.ensure_cursor_visible(visible_rows_of(m_active_right));
        break;
    }
    return true;
}
