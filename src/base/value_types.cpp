#include "base/value_types.h"

namespace copy_engine {

const char* conflict_action_name(ConflictAction action) {
    switch (action) {
    case ConflictAction::Ask:
        return "ask";
    case ConflictAction::Overwrite:
        return "overwrite";
    case ConflictAction::Skip:
        return "skip";
    case ConflictAction::RenameNew:
        return "rename_new";
    case ConflictAction::RenameExisting:
        return "rename_existing";
    case ConflictAction::OverwriteIfNewer:
        return "overwrite_if_newer";
    case ConflictAction::Cancel:
        return "cancel";
    }
    return "ask";
}

bool parse_conflict_action(const std::string& text, ConflictAction& out) {
    for (int v = 0; v <= static_cast<int>(ConflictAction::Cancel); ++v) {
        auto a = static_cast<ConflictAction>(v);
        if (text == conflict_action_name(a)) {
            out = a;
            return true;
        }
    }
    return false;
}

} // namespace copy_engine
