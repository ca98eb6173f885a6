#pragma once

#include "base/actions.h"
#include "base/value_types.h"

#include <cstdint>
#include <optional>
#include <string>

// The user's preferences. Defaults here are what a fresh installation starts with.
struct Settings {
    // "auto" for the system language, else a language code.
    std::string language = "auto";
    // "auto", "light" or "dark".
    std::string theme = "light";
    // Copy streams; 0 chooses from the storage, otherwise 1..16.
    int thread_count = 0;
    bool show_hidden = true;
    copy_engine::ConflictAction default_conflict = copy_engine::ConflictAction::Ask;
    bool confirm_delete = true;
    bool delete_to_trash = true;
    // Folder each pane shows at start; empty means the pane's own default.
    std::string left_path;
    std::string right_path;
    // Only key and direction are stored; folders always come first.
    dir_lister::SortOrder left_sort;
    dir_lister::SortOrder right_sort;
    // Optional columns (the name column is always shown).
    bool show_size = true;
    bool show_type = false;
    bool show_modified = true;
    bool show_created = false;
    bool show_permissions = false;
    bool show_owner = false;
    bool show_group = false;
    // Empty means the language's default font.
    std::string font_family;
    // Percent, 70..200.
    int font_scale = 100;
    // Label of the format preselected in the pack dialog.
    std::string archive_format = "tar.gz";
    // Overlay sizes in pixels; 0 means the overlay's default size.
    int archive_view_w = 0;
    int archive_view_h = 0;
    int hex_view_w = 0;
    int hex_view_h = 0;
    bool sandbox_notice_hidden = false;
    // Column widths set by the user in pixels; 0 means automatic.
    int col_w_name = 0;
    int col_w_size = 0;
    int col_w_type = 0;
    int col_w_modified = 0;
    int col_w_created = 0;
    int col_w_permissions = 0;
    int col_w_owner = 0;
    int col_w_group = 0;

    bool operator==(const Settings&) const = default;
};

// Every field of Settings once, in the order of the file, with the kind of value it holds. The file key is
// the field's name (a sort order is stored as "<name>_key" and "<name>_asc"); the kind says how the value
// is written and which values are accepted when it is read back. Writing, reading and the check that no
// field is missing are all made from this list.
#define TAVRIN_SETTINGS_FIELDS(X) \
    X(language, Language) X(theme, Theme) X(thread_count, ThreadCount) X(show_hidden, Flag) \
    X(default_conflict, Conflict) X(confirm_delete, Flag) X(delete_to_trash, Flag) X(left_path, FolderPath) \
    X(right_path, FolderPath) X(left_sort, Sort) X(right_sort, Sort) X(show_size, Flag) X(show_type, Flag) \
    X(show_modified, Flag) X(show_created, Flag) X(show_permissions, Flag) X(show_owner, Flag) \
    X(show_group, Flag) X(font_family, FontFamily) X(font_scale, FontScale) X(archive_format, ArchiveFormat) \
    X(archive_view_w, OverlaySize) X(archive_view_h, OverlaySize) X(hex_view_w, OverlaySize) \
    X(hex_view_h, OverlaySize) X(sandbox_notice_hidden, Flag) X(col_w_name, ColumnWidth) \
    X(col_w_size, ColumnWidth) X(col_w_type, ColumnWidth) X(col_w_modified, ColumnWidth) \
    X(col_w_created, ColumnWidth) X(col_w_permissions, ColumnWidth) X(col_w_owner, ColumnWidth) \
    X(col_w_group, ColumnWidth)

// The optional columns.
enum class ColumnId : int32_t {
    Size = 0,
    Type = 1,
    Modified = 2,
    Created = 3,
    Permissions = 4,
    Owner = 5,
    Group = 6,
};

// The process-wide settings and their file, config_dir() + "/settings.json". UI thread only; the record
// has no lock. Callers change fields through mutable_get() and then call save().
class SettingsStore {
public:
    static SettingsStore& instance();

    const Settings& get() const { return m_settings; }
    Settings& mutable_get() { return m_settings; }

    // Overlays the values found in the file on the record. Each value is validated; an unusable one keeps
    // the current value or, for paths, sort orders, overlay sizes and column widths, resets the field.
    // A missing or unreadable file changes nothing.
    void load();

    // Writes the whole record to path() + ".tmp" and renames it over path(), so the file on disk is always
    // either the old or the new one (unsynced: a power cut may lose the latest change). False when nothing was replaced (no message: an unwritable
    // configuration directory is not worth bothering the user about).
    bool save() const;

    std::string path() const;

private:
    SettingsStore() = default;

    Settings m_settings;
};

bool column_enabled(const Settings& settings, ColumnId id);
void set_column_enabled(Settings& settings, ColumnId id, bool on);
// The width the user gave a column (0: automatic); the name column when `id` is empty.
int& column_width_setting(Settings& settings, std::optional<ColumnId> id);
int column_width_setting(const Settings& settings, std::optional<ColumnId> id);
// The column a column toggle command shows or hides; nothing for any other action.
std::optional<ColumnId> column_for_action(Action action);
