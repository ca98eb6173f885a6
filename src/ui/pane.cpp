#include "ui/pane.h"

#include "base/strutil.h"

#include <algorithm>
#include <fnmatch.h>

namespace {

bool is_continuation(unsigned char c) {
    return c >= 0x80 && c <= 0xBF;
}

int clamp_index(int index, int n) {
    return std::clamp(index, 0, std::max(n - 1, 0));
}

} // namespace

bool Pane::is_selected(int index) const {
    return index >= 0 && static_cast<size_t>(index) < m_selected.size() && m_selected[index];
}

bool Pane::is_parent(int index) const {
    return valid_row(index) && m_listing.entries[index].kind == FsEntry::Kind::Parent;
}

void Pane::set_selected(int index, bool on) {
    if (!valid_row(index) || is_parent(index)) return;
    if (m_selected.size() != m_listing.entries.size()) reset_selection();
    if (m_selected[index] == on) return;
    m_selected[index] = on;
    m_selected_count += on ? 1 : -1;
}

void Pane::reset_selection() {
    m_selected.assign(m_listing.entries.size(), false);
    m_selected_count = 0;
}

std::vector<std::string> Pane::selected_names() const {
    std::vector<std::string> names;
    if (m_selected_count == 0) return names;
    names.reserve(m_selected_count);
    for (int i = 0; i < count(); ++i)
        if (is_selected(i)) names.push_back(m_listing.entries[i].disk_name());
    std::sort(names.begin(), names.end());
    return names;
}

void Pane::reselect(const std::vector<std::string>& names) {
    reset_selection();
    if (names.empty()) return;
    for (int i = 0; i < count(); ++i)
        if (std::binary_search(names.begin(), names.end(), m_listing.entries[i].disk_name()))
            set_selected(i, true);
}

// Rows are told apart by their stored names: two names that are not UTF-8 can repair to the same shown
// name, and a selection carried by the shown name would then grow to the other file too.
int Pane::find_name(const std::string& name) const {
    for (int i = 0; i < count(); ++i)
        if (m_listing.entries[i].disk_name() == name) return i;
    return -1;
}

void Pane::clamp_cursor() {
    m_cursor = clamp_index(m_cursor, count());
    m_anchor = m_cursor;
}

std::string Pane::rename_name() const {
    return valid_row(m_rename_index) ? m_listing.entries[m_rename_index].disk_name() : std::string();
}

void Pane::follow_rename(const std::string& name) {
    if (!renaming()) return;
    // The rename is committed by row index, so after the rows change it must point at the same file or
    // be dropped; otherwise the edit would be applied to whatever row moved into its place.
    int index = name.empty() ? -1 : find_name(name);
    if (index < 0 || is_parent(index))
        cancel_rename();
    else
        m_rename_index = index;
}

void Pane::apply_filter() {
    m_unfiltered_count = count();
    if (m_filter.empty()) return;
    const std::string needle = su::lower_ascii(m_filter);
    const bool pattern = needle.find_first_of("*?") != std::string::npos;
    auto keep = [&](const FsEntry& e) {
        if (e.kind == FsEntry::Kind::Parent) return true;
        const std::string name = su::lower_ascii(e.name);
        if (pattern) return fnmatch(needle.c_str(), name.c_str(), 0) == 0;
        return name.find(needle) != std::string::npos;
    };
    std::vector<FsEntry>& rows = m_listing.entries;
    rows.erase(std::stable_partition(rows.begin(), rows.end(), keep), rows.end());
    m_listing.file_count = 0;
    m_listing.dir_count = 0;
    m_listing.total_bytes = 0;
    for (const FsEntry& e : rows) {
        if (e.kind == FsEntry::Kind::File) {
            ++m_listing.file_count;
            if (e.size > 0) m_listing.total_bytes += e.size;
        } else if (e.kind == FsEntry::Kind::Dir) {
            ++m_listing.dir_count;
        }
    }
}

void Pane::reload(bool show_hidden) {
    if (m_wanted_name.empty() && valid_row(m_cursor)) m_wanted_name = m_listing.entries[m_cursor].disk_name();
    const std::vector<std::string> selected = selected_names();
    const std::string renamed = rename_name();

    m_listing = dir_lister::read(m_path, show_hidden);
    dir_lister::sort(m_listing.entries, m_sort);
    apply_filter();
    reselect(selected);

    if (!m_wanted_name.empty()) {
        int index = find_name(m_wanted_name);
        if (index >= 0) m_cursor = index;
        m_wanted_name.clear();
    }
    clamp_cursor();
    follow_rename(renamed);
}

void Pane::reset_position() {
    m_selected.clear();
    m_selected_count = 0;
    m_cursor = 0;
    m_anchor = 0;
    m_scroll = 0;
    cancel_rename();
    // The rows of the folder being left say nothing about where the cursor belongs in the next one;
    // only a name asked for explicitly (go_up, remember_cursor_name) is looked up.
    m_listing.entries.clear();
}

void Pane::navigate_to(const std::string& path, bool show_hidden) {
    if (path.empty()) return;
    if (m_history_pos + 1 < static_cast<int>(m_history.size())) m_history.resize(m_history_pos + 1);
    if (m_history.empty() || m_history.back() != path) m_history.push_back(path);
    m_history_pos = static_cast<int>(m_history.size()) - 1;
    m_path = path;
    reset_position();
    reload(show_hidden);
}

void Pane::go_up(bool show_hidden) {
    if (m_path.empty() || m_path == "/") return;
    std::string parent = su::parent_of(m_path);
    if (parent.empty()) parent.assign(1, '/');
    m_wanted_name = su::basename_of(m_path);
    navigate_to(parent, show_hidden);
}

void Pane::go_back(bool show_hidden) {
    if (m_history_pos <= 0) return;
    --m_history_pos;
    m_path = m_history[m_history_pos];
    reset_position();
    reload(show_hidden);
}

void Pane::go_forward(bool show_hidden) {
    if (!can_go_forward()) return;
    ++m_history_pos;
    m_path = m_history[m_history_pos];
    reset_position();
    reload(show_hidden);
}

void Pane::set_cursor(int index, bool select_only_this) {
    const int n = count();
    if (n == 0) return;
    m_cursor = clamp_index(index, n);
    m_anchor = m_cursor;
    if (select_only_this) {
        reset_selection();
        set_selected(m_cursor, true);
    }
}

void Pane::move_cursor(Move move, bool extend, int page_rows) {
    const int n = count();
    if (n == 0) return;
    const int page = std::max(page_rows, 1);
    int target = m_cursor;
    switch (move) {
    case Move::Up:
        target = m_cursor - 1;
        break;
    case Move::Down:
        target = m_cursor + 1;
        break;
    case Move::PageUp:
        target = m_cursor - page;
        break;
    case Move::PageDown:
        // In 64 bits: a caller may pass INT_MAX as "a very large page".
        target = static_cast<int>(std::min<int64_t>(int64_t{m_cursor} + page, n - 1));
        break;
    case Move::First:
        target = 0;
        break;
    case Move::Last:
        target = n - 1;
        break;
    }
    target = clamp_index(target, n);
    if (extend) {
        extend_selection_to(target);
        return;
    }
    m_cursor = target;
    m_anchor = target;
    reset_selection();
    set_selected(target, true);
}

void Pane::set_scroll(int row, int visible_rows) {
    const int largest = std::max(count() - std::max(visible_rows, 1), 0);
    m_scroll = std::clamp(row, 0, largest);
}

void Pane::scroll_by(int rows, int visible_rows) {
    const int64_t target = int64_t{m_scroll} + rows;
    set_scroll(static_cast<int>(std::clamp<int64_t>(target, 0, count())), visible_rows);
}

void Pane::ensure_cursor_visible(int visible_rows) {
    if (visible_rows < 1) return;
    if (m_cursor < m_scroll)
        set_scroll(m_cursor, visible_rows);
    else if (int64_t{m_cursor} >= int64_t{m_scroll} + visible_rows) // a caller may pass INT_MAX rows
        set_scroll(m_cursor - visible_rows + 1, visible_rows);
}

void Pane::toggle_selection(int index) {
    if (!valid_row(index) || is_parent(index)) return;
    set_selected(index, !is_selected(index));
    m_cursor = index;
    m_anchor = index;
}

void Pane::extend_selection_to(int index) {
    const int n = count();
    if (n == 0) return;
    index = clamp_index(index, n);
    const int anchor = clamp_index(m_anchor, n);
    reset_selection();
    for (int i = std::min(anchor, index); i <= std::max(anchor, index); ++i)
        set_selected(i, true);
    m_cursor = index;
}

void Pane::select_all() {
    reset_selection();
    for (int i = 0; i < count(); ++i)
        set_selected(i, true);
}

void Pane::clear_selection() {
    reset_selection();
}

void Pane::invert_selection() {
    for (int i = 0; i < count(); ++i)
        set_selected(i, !is_selected(i));
}

int Pane::select_pattern(const std::string& pattern, bool deselect) {
    if (pattern.empty() || count() == 0) return 0;
    int matched = 0;
    for (int i = 0; i < count(); ++i) {
        if (is_parent(i) || fnmatch(pattern.c_str(), m_listing.entries[i].name.c_str(), 0) != 0) continue;
        ++matched;
        set_selected(i, !deselect);
    }
    return matched;
}

void Pane::set_sort_order(const dir_lister::SortOrder& order) {
    m_sort = order;
    const std::vector<std::string> selected = selected_names();
    const std::string at_cursor =
        valid_row(m_cursor) ? m_listing.entries[m_cursor].disk_name() : std::string();
    const std::string renamed = rename_name();
    dir_lister::sort(m_listing.entries, m_sort);
    reselect(selected);
    if (!at_cursor.empty()) {
        int index = find_name(at_cursor);
        if (index >= 0) m_cursor = index;
    }
    clamp_cursor();
    follow_rename(renamed);
}

void Pane::toggle_sort_column(dir_lister::SortKey key) {
    using dir_lister::SortKey;
    dir_lister::SortOrder order = m_sort;
    if (order.key == key) {
        order.ascending = !order.ascending;
    } else {
        order.key = key;
        // Largest and newest first is what one looks for when clicking these columns.
        order.ascending = !(key == SortKey::Size || key == SortKey::Modified);
    }
    set_sort_order(order);
}

void Pane::set_filter(const std::string& text, bool show_hidden) {
    if (text == m_filter) return;
    m_filter = text;
    reload(show_hidden);
    m_scroll = 0;
    if (m_cursor >= count()) m_cursor = std::max(count() - 1, 0);
}

size_t Pane::stem_caret() const {
    const size_t dot = m_rename_buffer.rfind('.');
    if (dot == std::string::npos || dot == 0) return m_rename_buffer.size();
    return dot;
}

void Pane::begin_rename() {
    if (!valid_row(m_cursor) || is_parent(m_cursor)) return;
    m_rename_index = m_cursor;
    m_rename_buffer = m_listing.entries[m_cursor].name;
    m_rename_caret = stem_caret();
}

void Pane::cancel_rename() {
    m_rename_index = -1;
    m_rename_buffer.clear();
    m_rename_caret = 0;
}

bool Pane::rename_insert(std::string_view text) {
    if (!renaming() || text.empty()) return false;
    // A slash would name another folder and a NUL would silently cut the name short; bytes that are not
    // UTF-8 would leave the caret inside a character.
    if (text.find('/') != std::string_view::npos || text.find('\0') != std::string_view::npos ||
        !su::is_valid_utf8(text))
        return true;
    m_rename_caret = std::min(m_rename_caret, m_rename_buffer.size());
    m_rename_buffer.insert(m_rename_caret, text);
    m_rename_caret += text.size();
    return true;
}

bool Pane::rename_backspace() {
    if (!renaming()) return false;
    m_rename_caret = std::min(m_rename_caret, m_rename_buffer.size());
    if (m_rename_caret == 0) return true;
    size_t start = m_rename_caret - 1;
    while (start > 0 && is_continuation(m_rename_buffer[start]))
        --start;
    m_rename_buffer.erase(start, m_rename_caret - start);
    m_rename_caret = start;
    return true;
}

bool Pane::rename_delete() {
    if (!renaming()) return false;
    if (m_rename_caret >= m_rename_buffer.size()) return true;
    size_t end = m_rename_caret + 1;
    while (end < m_rename_buffer.size() && is_continuation(m_rename_buffer[end]))
        ++end;
    m_rename_buffer.erase(m_rename_caret, end - m_rename_caret);
    return true;
}

bool Pane::rename_move_caret(int delta) {
    if (!renaming()) return false;
    const size_t len = m_rename_buffer.size();
    if (delta < 0 && m_rename_caret > 0) {
        size_t pos = std::min(m_rename_caret, len) - 1;
        while (pos > 0 && is_continuation(m_rename_buffer[pos]))
            --pos;
        m_rename_caret = pos;
    } else if (delta > 0 && m_rename_caret < len) {
        size_t pos = m_rename_caret + 1;
        while (pos < len && is_continuation(m_rename_buffer[pos]))
            ++pos;
        m_rename_caret = pos;
    }
    return true;
}

bool Pane::rename_set_caret(size_t pos) {
    if (!renaming()) return false;
    pos = std::min(pos, m_rename_buffer.size());
    // A position inside a character goes back to its first byte: the caret never splits a character.
    while (pos > 0 && pos < m_rename_buffer.size() && is_continuation(m_rename_buffer[pos]))
        --pos;
    m_rename_caret = pos;
    return true;
}

bool Pane::rename_select_stem() {
    if (!renaming()) return false;
    m_rename_caret = stem_caret();
    return true;
}

std::vector<const FsEntry*> Pane::action_entries() const {
    std::vector<const FsEntry*> out;
    if (m_selected_count > 0) {
        out.reserve(m_selected_count);
        for (int i = 0; i < count(); ++i)
            if (is_selected(i)) out.push_back(&m_listing.entries[i]);
    } else if (valid_row(m_cursor) && !is_parent(m_cursor)) {
        out.push_back(&m_listing.entries[m_cursor]);
    }
    return out;
}

std::vector<std::string> Pane::action_paths() const {
    std::vector<std::string> out;
    for (const FsEntry* e : action_entries())
        out.push_back(su::join_path(m_path, e->disk_name()));
    return out;
}

std::vector<std::string> Pane::selected_paths() const {
    std::vector<std::string> out;
    for (int i = 0; i < count(); ++i)
        if (is_selected(i)) out.push_back(su::join_path(m_path, m_listing.entries[i].disk_name()));
    return out;
}

// Both are asked for on every redraw of the status bar, so they avoid building the entry list.
int Pane::selected_count() const {
    if (m_selected_count > 0) return m_selected_count;
    return valid_row(m_cursor) && !is_parent(m_cursor) ? 1 : 0;
}

int64_t Pane::selected_bytes() const {
    int64_t total = 0;
    if (m_selected_count > 0) {
        for (int i = 0; i < count(); ++i)
            if (is_selected(i) && m_listing.entries[i].size > 0) total += m_listing.entries[i].size;
    } else if (valid_row(m_cursor) && !is_parent(m_cursor) && m_listing.entries[m_cursor].size > 0) {
        total = m_listing.entries[m_cursor].size;
    }
    return total;
}
