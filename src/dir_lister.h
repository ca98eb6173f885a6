#pragma once

#include <cstdint>

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
