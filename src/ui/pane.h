#pragma once

#include "fs/dir_lister.h"
#include "fs/fs_entry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The model of one file pane: folder, sorted and filtered rows, cursor, selection, scrolling, history,
// quick filter and the in-place rename buffer. No drawing, no input; UI thread only.
class Pane {
public:
    enum class Move : int32_t { Up = 0, Down = 1, PageUp = 2, PageDown = 3, First = 4, Last = 5 };

    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_listing.error; }
    const std::vector<FsEntry>& entries() const { return m_listing.entries; }
    const dir_lister::Listing& listing() const { return m_listing; }
    int count() const { return static_cast<int>(m_listing.entries.size()); }
    int cursor() const { return m_cursor; }
    int anchor() const { return m_anchor; }
    bool is_selected(int index) const;
    bool has_selection() const { return m_selected_count > 0; }
    int scroll() const { return m_scroll; }
    const std::string& filter() const { return m_filter; }
    int unfiltered_count() const { return m_unfiltered_count; }
    const dir_lister::SortOrder& sort_order() const { return m_sort; }
    bool renaming() const { return m_rename_index >= 0; }
    int rename_index() const { return m_rename_index; }
    const std::string& rename_buffer() const { return m_rename_buffer; }
    size_t rename_caret() const { return m_rename_caret; }
    const std::vector<std::string>& history() const { return m_history; }
    int history_pos() const { return m_history_pos; }
    bool can_go_back() const { return m_history_pos > 0; }
    bool can_go_forward() const { return m_history_pos + 1 < static_cast<int>(m_history.size()); }
    // The row the next reload puts the cursor on (for example a file just created or renamed), by the name
    // as stored on disk.
    void remember_cursor_name(const std::string& name) { m_wanted_name = name; }

    void navigate_to(const std::string& path, bool show_hidden);
    void reload(bool show_hidden);
    void go_up(bool show_hidden);
    void go_back(bool show_hidden);
    void go_forward(bool show_hidden);

    void set_cursor(int index, bool select_only_this);
    void move_cursor(Move move, bool extend, int page_rows);
    void set_scroll(int row, int visible_rows);
    void scroll_by(int rows, int visible_rows);
    void ensure_cursor_visible(int visible_rows);

    void toggle_selection(int index);
    void extend_selection_to(int index);
    void select_all();
    void clear_selection();
    void invert_selection();
    // Selects (or deselects) the rows whose names match the shell pattern, case-sensitively; returns how
    // many rows matched.
    int select_pattern(const std::string& pattern, bool deselect);

    void set_sort_order(const dir_lister::SortOrder& order);
    void toggle_sort_column(dir_lister::SortKey key);
    void set_filter(const std::string& text, bool show_hidden);

    // The editing calls return false when no rename is in progress (the key is not theirs), else true.
    void begin_rename();
    void cancel_rename();
    bool rename_insert(std::string_view text);
    bool rename_backspace();
    bool rename_delete();
    bool rename_move_caret(int delta);
    bool rename_set_caret(size_t pos);
    bool rename_select_stem();

    // The selection in row order, or else the cursor row (never the parent row). Valid until the next
    // reload, sort or filter.
    std::vector<const FsEntry*> action_entries() const;
    std::vector<std::string> action_paths() const;
    std::vector<std::string> selected_paths() const;
    int selected_count() const;
    int64_t selected_bytes() const;

private:
    bool valid_row(int index) const { return index >= 0 && index < count(); }
    bool is_parent(int index) const;
    void set_selected(int index, bool on);
    void reset_selection();
    void apply_filter();
    // Marks the rows whose stored names are in `names` (sorted) as selected.
    void reselect(const std::vector<std::string>& names);
    std::vector<std::string> selected_names() const;
    int find_name(const std::string& name) const;
    void clamp_cursor();
    size_t stem_caret() const;
    // Reading, sorting and filtering replace the rows; these keep a rename on the row it belongs to.
    std::string rename_name() const;
    void follow_rename(const std::string& name);
    void reset_position();

    std::string m_path;
    dir_lister::Listing m_listing;
    dir_lister::SortOrder m_sort;
    int m_cursor = 0;
    int m_anchor = 0;
    // One flag per row rather than a set of indices: O(1) membership and a fixed per-row cost in folders
    // of a million files. Iterating it in index order gives the selection in row order.
    std::vector<bool> m_selected;
    int m_selected_count = 0;
    int m_scroll = 0;
    int m_rename_index = -1;
    std::string m_rename_buffer;
    size_t m_rename_caret = 0;
    std::vector<std::string> m_history;
    int m_history_pos = -1;
    std::string m_wanted_name;
    std::string m_filter;
    int m_unfiltered_count = 0;
};
