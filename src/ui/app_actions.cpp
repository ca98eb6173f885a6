// Which commands may run now. The reasons are for the log only; the user sees the generic "nothing to act
// on" dialog of the command layer.
#include "ui/app.h"

#include "engine/archive_ops.h"
#include "fs/fs_entry.h"

namespace {

bool refuse(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

constexpr const char* kNothingSelected = "nichts ausgewaehlt";
constexpr const char* kNeedExactlyOne = "dafuer wird genau ein Eintrag gebraucht";

} // namespace

App::ActionTarget App::action_target() {
    ActionTarget target;
    const Pane& pane = active_pane();
    target.entries = pane.action_entries();
    target.has_selection = pane.has_selection();
    return target;
}

bool App::action_enabled(Action action, std::string* why) {
    // Most commands are always allowed; only the ones that act on entries need the selection looked up.
    static const ActionTarget kNone;
    if (action_enabled_for(action, kNone, nullptr)) return true;
    return action_enabled_for(action, action_target(), why);
}

bool App::action_enabled_for(Action action, const ActionTarget& target, std::string* why) {
    const size_t n = target.entries.size();
    switch (action) {
    case Action::Rename:
        return n == 1 ? true : refuse(why, "Umbenennen braucht genau einen Eintrag");
    case Action::Clone:
    case Action::Pack:
    case Action::Properties:
    case Action::MakeLink:
    case Action::PackToOther:
    case Action::OpenWith:
    case Action::CopyPath:
    case Action::CopyToOther:
    case Action::MoveToOther:
        return n >= 1 ? true : refuse(why, kNothingSelected);
    case Action::Unpack:
    case Action::ViewArchive:
        if (n != 1) return refuse(why, kNeedExactlyOne);
        return archive_ops::is_archive_name(target.entries[0]->name)
                   ? true
                   : refuse(why, "die Auswahl ist kein Archiv");
    case Action::Delete:
    case Action::DeleteToTrash:
    case Action::DeletePermanent:
        // Deleting the row the cursor happens to rest on would be too easy to do by accident.
        return target.has_selection ? true : refuse(why, kNothingSelected);
    case Action::ViewHex:
        if (n != 1) return refuse(why, kNeedExactlyOne);
        return !target.entries[0]->is_folder_like() ? true : refuse(why, "ein Ordner hat keine Bytes");
    default:
        return true;
    }
}
