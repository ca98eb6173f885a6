#include "base/actions.h"

#include <array>

namespace {

// Indexed by the enumeration value; the size check below keeps the table and the enumeration in step.
constexpr std::array<const char*, kActionCount> kActionNames = {
    "None",
    "NewFolder",
    "NewFile",
    "Rename",
    "Clone",
    "Pack",
    "Unpack",
    "Delete",
    "Properties",
    "MakeLink",
    "PackToOther",
    "OpenWith",
    "Quit",
    "ViewArchive",
    "ViewHex",
    "OpenTerminal",
    "SelectAll",
    "SelectNone",
    "InvertSelection",
    "SelectPattern",
    "CopyPath",
    "SearchPane",
    "ToggleHidden",
    "ToggleColSize",
    "ToggleColType",
    "ToggleColModified",
    "ToggleColCreated",
    "ToggleColPermissions",
    "ToggleColOwner",
    "ToggleColGroup",
    "Refresh",
    "SwapPanes",
    "MirrorPane",
    "GoUp",
    "GoBack",
    "GoForward",
    "GoToPath",
    "GoHome",
    "GoToTrash",
    "CopyToOther",
    "MoveToOther",
    "BookmarkAdd",
    "BookmarkRemove",
    "BookmarkManage",
    "BookmarkGoto",
    "BookmarkOpenLeft",
    "BookmarkOpenRight",
    "UnpackLeft",
    "UnpackRight",
    "PackTargetLeft",
    "PackTargetRight",
    "RecentGoto",
    "About",
    "SettingsWindow",
    "LogWindow",
    "Licenses",
    "SandboxInfo",
    "SandboxCopyCommand",
    "SandboxDontShow",
    "OverlayOk",
    "OverlayCancel",
    "ConflictOverwrite",
    "ConflictSkip",
    "ConflictRenameNew",
    "ConflictRenameExisting",
    "ConflictOverwriteIfNewer",
    "ConflictCancel",
    "ConflictToggleAll",
    "SettingsThreadsMinus",
    "SettingsThreadsPlus",
    "SettingsLanguagePrev",
    "SettingsLanguageNext",
    "SettingsTheme",
    "SettingsConflict",
    "SettingsArchiveFormat",
    "SettingsToggleHidden",
    "SettingsToggleTrash",
    "SettingsReset",
    "SettingsToggleConfirm",
    "DeleteToTrash",
    "DeletePermanent",
    "DismissErrors",
    "RetryAsAdmin",
    "RestartAsRoot",
    "AboutWebsite",
    "AboutContact",
    "AboutBugMail",
    "AboutDownloads",
    "SettingsLanguageOpen",
    "LanguagePick",
    "LogToggleDebug",
    "LogClear",
    "LogOpenFile",
    "SettingsFontOpen",
    "FontPick",
    "SettingsScaleMinus",
    "SettingsScalePlus",
    "PermsToggleBit",
    "PermsApply",
    "OwnerApply",
    "HexFindNext",
    "HexFindMode",
    "HexSave",
    "HexSaveConfirm",
    "HexSaveCancel",
    "HexDiscardChanges",
    "HexCloseAnyway",
};

// A missing initialiser would leave a null name at the end.
static_assert(kActionNames.back() != nullptr);
static_assert(static_cast<int>(Action::HexCloseAnyway) + 1 == kActionCount);

} // namespace

const char* action_name(Action action) {
    const auto index = static_cast<int32_t>(action);
    if (index < 0 || index >= kActionCount) return "?";
    return kActionNames[static_cast<size_t>(index)];
}

std::optional<Action> action_from_name(std::string_view name) {
    for (size_t i = 0; i < kActionNames.size(); ++i) {
        if (name == kActionNames[i]) return static_cast<Action>(i);
    }
    return std::nullopt;
}
