#include "config/settings.h"

#include "engine/archive_ops.h"
#include "fs/fs_ops.h"
#include "base/i18n.h"
#include "base/paths.h"

#include <array>
#include <cstdlib>

namespace {

using copy_engine::ConflictAction;
using dir_lister::SortKey;

// Indexed by SortKey value.
constexpr std::array<const char*, 8> kSortKeyNames = {"name",        "size",  "modified", "kind",
                                                      "permissions", "owner", "created",  "group"};

// The stored default is a standing rule; Cancel is none, so it is stored and read back as "ask", the safe
// default, as is a name the engine does not know.
const char* conflict_name(ConflictAction action) {
    return action == ConflictAction::Cancel ? "ask" : copy_engine::conflict_action_name(action);
}

ConflictAction conflict_from_name(const std::string& name) {
    ConflictAction action = ConflictAction::Ask;
    if (!copy_engine::parse_conflict_action(name, action) || action == ConflictAction::Cancel) return ConflictAction::Ask;
    return action;
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

// The kinds of the field list in settings.h: each writes its value and reads it back, keeping only what it
// accepts. Most keep the current value when the file has nothing usable; paths, sort orders and sizes
// reset the field, since a stale folder or size is worse than the default.
struct Flag {
    using type = bool;
    static void write(Writer& w, const char* key, bool value) { w.boolean(key, value); }
    static void read(const Reader& r, const char* key, bool& field) {
        if (const auto value = r.boolean(key)) field = *value;
    }
};

struct Language {
    using type = std::string;
    static void write(Writer& w, const char* key, const std::string& value) { w.string(key, value); }
    static void read(const Reader& r, const char* key, std::string& field) {
        if (std::string value = r.string(key); known_language(value)) field = std::move(value);
    }
};

struct Theme {
    using type = std::string;
    static void write(Writer& w, const char* key, const std::string& value) { w.string(key, value); }
    static void read(const Reader& r, const char* key, std::string& field) {
        if (std::string value = r.string(key); value == "auto" || value == "light" || value == "dark")
            field = std::move(value);
    }
};

struct ThreadCount {
    using type = int;
    static void write(Writer& w, const char* key, int value) { w.integer(key, value); }
    static void read(const Reader& r, const char* key, int& field) {
        if (const auto value = r.integer(key)) field = clamped(*value, 0, 16);
    }
};

struct Conflict {
    using type = ConflictAction;
    static void write(Writer& w, const char* key, ConflictAction value) { w.string(key, conflict_name(value)); }
    static void read(const Reader& r, const char* key, ConflictAction& field) {
        if (const std::string value = r.string(key); !value.empty()) field = conflict_from_name(value);
    }
};

struct FolderPath {
    using type = std::string;
    static void write(Writer& w, const char* key, const std::string& value) { w.string(key, value); }
    static void read(const Reader& r, const char* key, std::string& field) {
        std::string value = r.string(key);
        const bool usable = !value.empty() && value[0] == '/' && fsops::stat_path(value).is_dir;
        field = usable ? std::move(value) : std::string();
    }
};

// Only key and direction are stored; folders always come first.
struct Sort {
    using type = dir_lister::SortOrder;
    static void write(Writer& w, const char* key, const dir_lister::SortOrder& value) {
        w.string((std::string(key) + "_key").c_str(), sort_key_name(value.key));
        w.boolean((std::string(key) + "_asc").c_str(), value.ascending);
    }
    static void read(const Reader& r, const char* key, dir_lister::SortOrder& field) {
        field.key = sort_key_from_name(r.string((std::string(key) + "_key").c_str()));
        field.ascending = r.boolean((std::string(key) + "_asc").c_str()).value_or(true);
    }
};

struct FontFamily {
    using type = std::string;
    static void write(Writer& w, const char* key, const std::string& value) { w.string(key, value); }
    static void read(const Reader& r, const char* key, std::string& field) {
        if (std::string value = r.string(key); usable_font_family(value)) field = std::move(value);
    }
};

struct FontScale {
    using type = int;
    static void write(Writer& w, const char* key, int value) { w.integer(key, value); }
    static void read(const Reader& r, const char* key, int& field) {
        if (const auto value = r.integer(key)) field = clamped(*value, 70, 200);
    }
};

struct ArchiveFormat {
    using type = std::string;
    static void write(Writer& w, const char* key, const std::string& value) { w.string(key, value); }
    static void read(const Reader& r, const char* key, std::string& field) {
        if (std::string value = r.string(key); archive_ops::format_from_label(value)) field = std::move(value);
    }
};

// Overlay and column sizes: a value outside the range means "default size" rather than a broken layout.
template <long Lo, long Hi> struct Size {
    using type = int;
    static void write(Writer& w, const char* key, int value) { w.integer(key, value); }
    static void read(const Reader& r, const char* key, int& field) {
        const auto value = r.integer(key);
        field = (value && *value >= Lo && *value <= Hi) ? static_cast<int>(*value) : 0;
    }
};
using OverlaySize = Size<201, 19999>;
using ColumnWidth = Size<40, 900>;

// A record made from the list alone: a field of Settings that the list misses changes the size.
struct ListedFields {
#define X(name, kind) kind::type name;
    TAVRIN_SETTINGS_FIELDS(X)
#undef X
};
static_assert(sizeof(ListedFields) == sizeof(Settings), "a field of Settings is missing from TAVRIN_SETTINGS_FIELDS");

std::string serialize(const Settings& s) {
    Writer w;
#define X(name, kind) kind::write(w, #name, s.name);
    TAVRIN_SETTINGS_FIELDS(X)
#undef X
    return w.finish();
}

void apply(const Reader& r, Settings& s) {
#define X(name, kind) kind::read(r, #name, s.name);
    TAVRIN_SETTINGS_FIELDS(X)
#undef X
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
    // Written within a tick of every folder change, on the interface thread: no fsync, which on a slow or
    // network home would stall the window each time. The temporary file and the rename already keep a
    // crash of the program from leaving a half-written file, as for the geometry and recent stores.
    return fsops::write_file_replacing(path(), serialize(m_settings), false).empty();
}

bool column_enabled(const Settings& settings, ColumnId id) {
    const bool* flag = column_flag(settings, id);
    return flag && *flag;
}

void set_column_enabled(Settings& settings, ColumnId id, bool on) {
    if (bool* flag = column_flag(settings, id)) *flag = on;
}

int& column_width_setting(Settings& settings, std::optional<ColumnId> id) {
    if (!id) return settings.col_w_name;
    switch (*id) {
    case ColumnId::Size:
        return settings.col_w_size;
    case ColumnId::Type:
        return settings.col_w_type;
    case ColumnId::Modified:
        return settings.col_w_modified;
    case ColumnId::Created:
        return settings.col_w_created;
    case ColumnId::Permissions:
        return settings.col_w_permissions;
    case ColumnId::Owner:
        return settings.col_w_owner;
    case ColumnId::Group:
        break;
    }
    return settings.col_w_group;
}

int column_width_setting(const Settings& settings, std::optional<ColumnId> id) {
    return column_width_setting(const_cast<Settings&>(settings), id);
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
