// Which commands may run now. The reasons are for the log only; the user sees the generic "nothing to act
// on" dialog of the command layer.
#include "app.h"

#include "archive_ops.h"
#include "fs_entry.h"

namespace {

bool is_folder_like(const FsEntry& entry) {
    return entry.kind == FsEntry::Kind::Dir || entry.kind == FsEntry::Kind::SymlinkDir ||
           entry.kind == FsEntry::Kind::Parent;
}

bool refuse(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

constexpr const char* kNothingSelected = "nichts ausgewaehlt";
constexpr const char* kNeedExactlyOne = "dafuer wird genau ein Eintrag gebraucht";

} // namespace

bool App::action_enabled(Action action, std::string* why) {
    switch (action) {
    case Action::Rename:
    case Action::Clone:
    case Action::Pack:
    case Action::Properties:
    case Action::MakeLink:
    case Action::PackToOther:
    case Action::OpenWith:
    case Action::CopyPath:
    case Action::CopyToOther:
    case Action::MoveToOther:
    case Action::Unpack:
    case Action::ViewArchive:
    case Action::ViewHex:
        break;
    case Action::Delete:
    case Action::DeleteToTrash:
    case Action::DeletePermanent:
        // Deleting the row the cursor happens to rest on would be too easy to do by accident.
        return active_pane().has_selection() ? true : refuse(why, kNothingSelected);
    default:
        return true;
    }

    const std::vector<const FsEntry*> entries = active_pane().action_entries();
    const size_t n = entries.size();
    switch (action) {
    case Action::Rename:
        return n == 1 ? true : refuse(why, "Umbenennen braucht genau einen Eintrag");
    case Action::Unpack:
    case Action::ViewArchive:
        if (n != 1) return refuse(why, kNeedExactlyOne);
        return archive_ops::is_archive_name(entries[0]->name) ? true
                                                              : refuse(why, "die Auswahl ist kein Archiv");
    case Action::ViewHex:
        if (n != 1) return refuse(why, kNeedExactlyOne);
        return !is_folder_like(*entries[0]) ? true : refuse(why, "ein Ordner hat keine Bytes");
    default:
        return n >= 1 ? true : refuse(why, kNothingSelected);
    }
}
