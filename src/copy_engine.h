#pragma once

#include <cstdint>

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

} // namespace copy_engine
