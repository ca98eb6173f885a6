#pragma once

// Small value types that several layers share: the settings store keeps them, the engine and the lister
// act on them. They live here so that a module storing a choice need not include the module acting on it.
// Each keeps the namespace of the module that acts on it.

#include <cstdint>
#include <string>

namespace copy_engine {

// What to do when a target already exists; the settings store keeps the user's default.
enum class ConflictAction : int32_t {
    Ask = 0,
    Overwrite = 1,
    Skip = 2,
    RenameNew = 3,
    RenameExisting = 4,
    OverwriteIfNewer = 5,
    Cancel = 6,
};

enum class Operation : int32_t {
    Copy = 0,
    Move = 1,
};

// Lower-case names ("ask", "overwrite", "skip", "rename_new", "rename_existing", "overwrite_if_newer",
// "cancel") used by the command-line tool and its conflict protocol.
const char* conflict_action_name(ConflictAction action);
// False when the text names no action.
bool parse_conflict_action(const std::string& text, ConflictAction& out);

} // namespace copy_engine

namespace dir_lister {

// One pane's order. Values are fixed: the settings file stores the key by name.
enum class SortKey : int32_t {
    Name = 0,
    Size = 1,
    Modified = 2,
    Kind = 3,
    Permissions = 4,
    Owner = 5,
    Created = 6,
    Group = 7,
};

struct SortOrder {
    SortKey key = SortKey::Name;
    bool ascending = true;
    bool dirs_first = true;

    bool operator==(const SortOrder&) const = default;
};

} // namespace dir_lister
