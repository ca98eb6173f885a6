#include "config/settings.h"

#include "engine/archive_ops.h"
#include "fs/fs_ops.h"
#include "base/i18n.h"
#include "base/paths.h"

#include <array>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using copy_engine::ConflictAction;
using dir_lister::SortKey;

struct ConflictName {
    ConflictAction action;
    const char* name;
};

constexpr std::array<ConflictName, 6> kConflictNames = {{
    {ConflictAction::Ask, "ask"},
    {ConflictAction::Overwrite, "overwrite"},
    {ConflictAction::Skip, "skip"},
    {ConflictAction::RenameNew, "rename_new"},
    {ConflictAction::RenameExisting, "rename_existing"},
    {ConflictAction::OverwriteIfNewer, "overwrite_if_newer"},
}};

// Indexed by SortKey value.
constexpr std::array<const char*, 8> kSortKeyNames = {"name",        "size",  "modified", "kind",
                                                      "permissions", "owner", "created",  "group"};

const char* conflict_name(ConflictAction action) {
    for (const auto& entry : kConflictNames) {
        if (entry.action == action) return entry.name;
    }
    // Cancel (or anything else) is no standing rule; asking is the safe default.
    return "ask";
}

ConflictAction conflict_from_name(const std::string& name) {
    for (const auto& entry : kConflictNames) {
        if (name == entry.name) return entry.action;
    }
    return ConflictAction::Ask;
}

const char* sort_key_name(SortKey key) {
    const auto index = static_cast<int32_t>(key);
    if (index < 0 || index >= static_cast<int32_t>(kSortKeyNames.size())) return "name";
    return kSortKeyNames[static_cast<size_t>(index)];
}

SortKey sort_key_from_name(const std::string& name) {
    for (size_t i = 0; i < kSortKeyNames.size(); ++i) {
        if (name == kSortKeyNames[i]) return static_cast<SortKey>(i);
    }
    return SortKey::Name;
}

// A double quote or backslash gets a backslash; control bytes become spaces so the value stays on its
// line; everything else, UTF-8 included, is copied as it is.
std::string escaped(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char ch : s) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 32) {
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out;
}

// Builds the file line by line; the comma goes on every line but the last.
class Writer {
public:
    void string(const char* key, const std::string& value) {
        // Appended piecewise: g++ 12 at -O3 reports a false -Wrestrict on "\"" + s + "\"".
        std::string quoted(1, '"');
        quoted += escaped(value);
        quoted += '"';
        line(key, quoted);
    }
    void integer(const char* key, int value) { line(key, std::to_string(value)); }
    void boolean(const char* key, bool value) { line(key, value ? "true" : "false"); }

    std::string finish() {
        m_text += "\n}\n";
        return "{\n" + m_text;
    }

private:
    void line(const char* key, const std::string& value) {
        if (!m_text.empty()) m_text += ",\n";
        m_text += std::string("  \"") + key + "\": " + value;
    }

    std::string m_text;
};

std::string serialize(const Settings& s) {
    Writer w;
    w.string("language", s.language);
    w.string("theme", s.theme);
    w.integer("thread_count", s.thread_count);
    w.boolean("show_hidden", s.show_hidden);
    w.string("default_conflict", conflict_name(s.default_conflict));
    w.boolean("confirm_delete", s.confirm_delete);
    w.boolean("delete_to_trash", s.delete_to_trash);
    w.string("left_path", s.left_path);
    w.string("right_path", s.right_path);
    w.string("left_sort_key", sort_key_name(s.left_sort.key));
    w.boolean("left_sort_asc", s.left_sort.ascending);
    w.string("right_sort_key", sort_key_name(s.right_sort.key));
    w.boolean("right_sort_asc", s.right_sort.ascending);
    w.boolean("show_size", s.show_size);
    w.boolean("show_type", s.show_type);
    w.boolean("show_modified", s.show_modified);
    w.boolean("show_created", s.show_created);
    w.boolean("show_permissions", s.show_permissions);
    w.boolean("show_owner", s.show_owner);
    w.boolean("show_group", s.show_group);
    w.string("font_family", s.font_family);
    w.integer("font_scale", s.font_scale);
    w.string("archive_format", s.archive_format);
    w.integer("archive_view_w", s.archive_view_w);
    w.integer("archive_view_h", s.archive_view_h);
    w.integer("hex_view_w", s.hex_view_w);
    w.integer("hex_view_h", s.hex_view_h);
    w.boolean("sandbox_notice_hidden", s.sandbox_notice_hidden);
    w.integer("col_w_name", s.col_w_name);
    w.integer("col_w_size", s.col_w_size);
    w.integer("col_w_type", s.col_w_type);
    w.integer("col_w_modified", s.col_w_modified);
    w.integer("col_w_created", s.col_w_created);
    w.integer("col_w_permissions", s.col_w_permissions);
    w.integer("col_w_owner", s.col_w_owner);
    w.integer("col_w_group", s.col_w_group);
    return w.finish();
}

// A tolerant key-by-key scan of the file text rather than a JSON parser: the program writes the file in
// one fixed layout, and a hand-edited file that keeps roughly to it still loads.
class Reader {
public:
    explicit Reader(std::string text) : m_text(std::move(text)) {}

    // The quoted value after the key, with \" and \\ undone; empty when the key, the colon or either quote
    // is missing.
    std::string string(const char* key) const {
        const size_t colon = colon_after(key);
        if (colon == std::string::npos) return {};
        const size_t open = m_text.find('"', colon + 1);
        if (open == std::string::npos) return {};
        std::string value;
        for (size_t i = open + 1; i < m_text.size(); ++i) {
            const char ch = m_text[i];
            if (ch == '"') return value;
            if (ch == '\\' && i + 1 < m_text.size()) {
                const char next = m_text[++i];
                if (next != '"' && next != '\\') value += '\\';
                value += next;
                continue;
            }
            value += ch;
        }
        return {};
    }

    // The unquoted text after the key up to a comma, line end or closing brace.
    std::string raw(const char* key) const {
        const size_t colon = colon_after(key);
        if (colon == std::string::npos) return {};
        size_t start = colon + 1;
        while (start < m_text.size() && (m_text[start] == ' ' || m_text[start] == '\t'))
            ++start;
        const size_t end = m_text.find_first_of(",\r\n}", start);
        return m_text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }

    std::optional<long> integer(const char* key) const {
        const std::string value = raw(key);
        const char* start = value.c_str();
        char* end = nullptr;
        const long number = std::strtol(start, &end, 10);
        if (end == start) return std::nullopt;
        return number;
    }

    std::optional<bool> boolean(const char* key) const {
        const std::string value = raw(key);
        if (value.rfind("true", 0) == 0) return true;
        if (value.rfind("false", 0) == 0) return false;
        return std::nullopt;
    }

private:
    size_t colon_after(const char* key) const {
        const std::string quoted = std::string("\"") + key + "\"";
        const size_t at = m_text.find(quoted);
        if (at == std::string::npos) return std::string::npos;
        return m_text.find(':', at + quoted.size());
    }

    std::string m_text;
};

int clamped(long value, long lo, long hi) {
    return static_cast<int>(value < lo ? lo : value > hi ? hi : value);
}

bool is_existing_dir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool known_language(const std::string& code) {
    if (code == "auto") return true;
    for (const auto& language : I18n::available()) {
        if (language.code == code) return true;
    }
    return false;
}

bool usable_font_family(const std::string& family) {
    if (family.size() > 120) return false;
    for (char ch : family) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 32 || byte == 127) return false;
    }
    return true;
}

void read_bool(const Reader& r, const char* key, bool& field) {
    if (const auto value = r.boolean(key)) field = *value;
}

void read_path(const Reader& r, const char* key, std::string& field) {
    std::string value = r.string(key);
    field = (!value.empty() && value[0] == '/' && is_existing_dir(value)) ? std::move(value) : std::string();
}

void read_sort(const Reader& r, const char* key_name, const char* asc_name, dir_lister::SortOrder& field) {
    field.key = sort_key_from_name(r.string(key_name));
    field.ascending = r.boolean(asc_name).value_or(true);
}

// Overlay and column sizes: a value outside the range means "default size" rather than a broken layout.
void read_size(const Reader& r, const char* key, long lo, long hi, int& field) {
    const auto value = r.integer(key);
    field = (value && *value >= lo && *value <= hi) ? static_cast<int>(*value) : 0;
}

void apply(const Reader& r, Settings& s) {
    if (std::string language = r.string("language"); known_language(language)) s.language = language;
    if (std::string theme = r.string("theme"); theme == "auto" || theme == "light" || theme == "dark") {
        s.theme = theme;
    }
    if (const auto threads = r.integer("thread_count")) s.thread_count = clamped(*threads, 0, 16);
    read_bool(r, "show_hidden", s.show_hidden);
    if (const std::string conflict = r.string("default_conflict"); !conflict.empty()) {
        s.default_conflict = conflict_from_name(conflict);
    }
    read_bool(r, "confirm_delete", s.confirm_delete);
    read_bool(r, "delete_to_trash", s.delete_to_trash);
    read_path(r, "left_path", s.left_path);
    read_path(r, "right_path", s.right_path);
    read_sort(r, "left_sort_key", "left_sort_asc", s.left_sort);
    read_sort(r, "right_sort_key", "right_sort_asc", s.right_sort);
    read_bool(r, "show_size", s.show_size);
    read_bool(r, "show_type", s.show_type);
    read_bool(r, "show_modified", s.show_modified);
    read_bool(r, "show_created", s.show_created);
    read_bool(r, "show_permissions", s.show_permissions);
    read_bool(r, "show_owner", s.show_owner);
    read_bool(r, "show_group", s.show_group);
    if (std::string family = r.string("font_family"); usable_font_family(family)) s.font_family = family;
    if (const auto scale = r.integer("font_scale")) s.font_scale = clamped(*scale, 70, 200);
    if (std::string format = r.string("archive_format"); archive_ops::format_from_label(format)) {
        s.archive_format = format;
    }
    read_size(r, "archive_view_w", 201, 19999, s.archive_view_w);
    read_size(r, "archive_view_h", 201, 19999, s.archive_view_h);
    read_size(r, "hex_view_w", 201, 19999, s.hex_view_w);
    read_size(r, "hex_view_h", 201, 19999, s.hex_view_h);
    read_bool(r, "sandbox_notice_hidden", s.sandbox_notice_hidden);
    read_size(r, "col_w_name", 40, 900, s.col_w_name);
    read_size(r, "col_w_size", 40, 900, s.col_w_size);
    read_size(r, "col_w_type", 40, 900, s.col_w_type);
    read_size(r, "col_w_modified", 40, 900, s.col_w_modified);
    read_size(r, "col_w_created", 40, 900, s.col_w_created);
    read_size(r, "col_w_permissions", 40, 900, s.col_w_permissions);
    read_size(r, "col_w_owner", 40, 900, s.col_w_owner);
    read_size(r, "col_w_group", 40, 900, s.col_w_group);
}

// Works for const and mutable records alike.
template <typename S> auto column_flag(S& s, ColumnId id) -> decltype(&s.show_size) {
    switch (id) {
    case ColumnId::Size:
        return &s.show_size;
    case ColumnId::Type:
        return &s.show_type;
    case ColumnId::Modified:
        return &s.show_modified;
    case ColumnId::Created:
        return &s.show_created;
    case ColumnId::Permissions:
        return &s.show_permissions;
    case ColumnId::Owner:
        return &s.show_owner;
    case ColumnId::Group:
        return &s.show_group;
    }
    return nullptr;
}

} // namespace

SettingsStore& SettingsStore::instance() {
    static SettingsStore store;
    return store;
}

std::string SettingsStore::path() const {
    return config_dir() + "/settings.json";
}

void SettingsStore::load() {
    // An unreadable file (a directory in its place, an I/O error) leaves the record alone rather than
    // look like an empty one.
    std::string text;
    if (!fsops::read_file(path(), text).empty()) return;
    apply(Reader(std::move(text)), m_settings);
}

bool SettingsStore::save() const {
    // Settings change only on user actions, so syncing is cheap and keeps a power cut right after the
    // rename from leaving an empty file behind.
    return fsops::write_file_replacing(path(), serialize(m_settings), true).empty();
}

bool column_enabled(const Settings& settings, ColumnId id) {
    const bool* flag = column_flag(settings, id);
    return flag && *flag;
}

void set_column_enabled(Settings& settings, ColumnId id, bool on) {
    if (bool* flag = column_flag(settings, id)) *flag = on;
}

std::optional<ColumnId> column_for_action(Action action) {
    switch (action) {
    case Action::ToggleColSize:
        return ColumnId::Size;
    case Action::ToggleColType:
        return ColumnId::Type;
    case Action::ToggleColModified:
        return ColumnId::Modified;
    case Action::ToggleColCreated:
        return ColumnId::Created;
    case Action::ToggleColPermissions:
        return ColumnId::Permissions;
    case Action::ToggleColOwner:
        return ColumnId::Owner;
    case Action::ToggleColGroup:
        return ColumnId::Group;
    default:
        return std::nullopt;
    }
}
