#include "ui/menu_model.h"

#include "engine/archive_ops.h"
#include "engine/file_ops.h"
#include "base/paths.h"

#include <array>

namespace menu_model {

namespace {

struct Listing {
    Action action;
    const char* label_key;
    const char* shortcut;
};

// The menu label and shown key of every action that appears in a menu.
constexpr std::array<Listing, 51> kListings = {{
    {Action::NewFolder, "action.new_folder", "F7"},
    {Action::NewFile, "action.new_file", nullptr},
    {Action::Rename, "action.rename", "F2"},
    {Action::Clone, "action.clone", nullptr},
    {Action::Pack, "action.pack", nullptr},
    {Action::Unpack, "action.unpack", nullptr},
    {Action::Delete, "action.delete", "Del"},
    {Action::Properties, "action.properties", "Alt+Return"},
    {Action::MakeLink, "action.make_link", nullptr},
    {Action::OpenWith, "action.open", nullptr},
    {Action::Quit, "action.quit", "Ctrl+Q"},
    {Action::ViewArchive, "action.view_archive", nullptr},
    {Action::ViewHex, "action.view_hex", nullptr},
    {Action::OpenTerminal, "action.open_terminal", nullptr},
    {Action::SelectAll, "action.select_all", "Ctrl+A"},
    {Action::SelectNone, "action.select_none", nullptr},
    {Action::InvertSelection, "action.invert_selection", "*"},
    {Action::SelectPattern, "action.select_pattern", "+"},
    {Action::CopyPath, "action.copy_path", nullptr},
    {Action::SearchPane, "action.search", "Ctrl+F"},
    {Action::ToggleHidden, "action.show_hidden", "Ctrl+H"},
    {Action::ToggleColSize, "col.size", nullptr},
    {Action::ToggleColType, "col.type", nullptr},
    {Action::ToggleColModified, "col.modified", nullptr},
    {Action::ToggleColCreated, "col.created", nullptr},
    {Action::ToggleColPermissions, "col.permissions", nullptr},
    {Action::ToggleColOwner, "col.owner", nullptr},
    {Action::ToggleColGroup, "col.group", nullptr},
    {Action::Refresh, "action.refresh", "Ctrl+R"},
    {Action::SwapPanes, "action.swap_panes", "Ctrl+U"},
    {Action::MirrorPane, "action.mirror_pane", nullptr},
    {Action::GoUp, "action.go_up", "Backspace"},
    {Action::GoBack, "action.go_back", "Alt+Left"},
    {Action::GoForward, "action.go_forward", "Alt+Right"},
    {Action::GoToPath, "action.go_to_path", "Ctrl+L"},
    {Action::GoHome, "action.go_home", "Ctrl+Home"},
    {Action::GoToTrash, "nav.trash", nullptr},
    {Action::CopyToOther, "action.copy_to_other", "F5"},
    {Action::MoveToOther, "action.move_to_other", "F6"},
    {Action::BookmarkAdd, "action.bookmark_add", "Ctrl+D"},
    {Action::BookmarkManage, "action.bookmark_manage", nullptr},
    {Action::About, "action.about", nullptr},
    {Action::SettingsWindow, "action.settings", "Ctrl+,"},
    {Action::LogWindow, "action.log", "Ctrl+G"},
    {Action::Licenses, "action.licenses", nullptr},
    {Action::SandboxInfo, "action.sandbox_info", nullptr},
    {Action::RestartAsRoot, "action.restart_root", nullptr},
    // Listed for completeness of the catalogue; no menu row uses them.
    {Action::PackToOther, nullptr, nullptr},
    {Action::BookmarkRemove, nullptr, nullptr},
    {Action::BookmarkGoto, nullptr, nullptr},
    {Action::RecentGoto, nullptr, nullptr},
}};

const Listing* listing_of(Action action) {
    for (const Listing& l : kListings)
        if (l.action == action) return &l;
    return nullptr;
}

Item row(Action action, bool checkable = false) {
    Item item;
    item.action = static_cast<int>(action);
    item.label_key = label_key(action);
    item.shortcut = shortcut(action);
    item.checkable = checkable;
    return item;
}

Item divider() {
    Item item;
    item.separator = true;
    return item;
}

constexpr std::array<Action, 7> kColumnToggles = {
    Action::ToggleColSize,        Action::ToggleColType,  Action::ToggleColModified, Action::ToggleColCreated,
    Action::ToggleColPermissions, Action::ToggleColOwner, Action::ToggleColGroup,
};

std::vector<Item> column_rows() {
    std::vector<Item> items;
    for (Action a : kColumnToggles)
        items.push_back(row(a, true));
    return items;
}

std::vector<Menu> build_bar() {
    std::vector<Menu> menus;
    const Item sep = divider();

    menus.push_back({"menu.file",
                     {row(Action::NewFolder), row(Action::NewFile), sep, row(Action::Rename),
                      row(Action::Clone), row(Action::MakeLink), sep, row(Action::Pack), row(Action::Unpack),
                      row(Action::ViewArchive), sep, row(Action::ViewHex), row(Action::OpenTerminal), sep,
                      row(Action::Properties), row(Action::Delete), sep, row(Action::Quit)}});
    menus.push_back({"menu.edit",
                     {row(Action::CopyToOther), row(Action::MoveToOther), sep, row(Action::SelectAll),
                      row(Action::SelectNone), row(Action::InvertSelection), row(Action::SelectPattern), sep,
                      row(Action::SearchPane), sep, row(Action::CopyPath)}});

    Menu view{"menu.view", {row(Action::ToggleHidden, true), sep}};
    for (const Item& item : column_rows())
        view.items.push_back(item);
    view.items.insert(view.items.end(),
                      {sep, row(Action::Refresh), row(Action::SwapPanes), row(Action::MirrorPane)});
    menus.push_back(std::move(view));

    menus.push_back({"menu.go",
                     {row(Action::GoUp), row(Action::GoBack), row(Action::GoForward), sep,
                      row(Action::GoHome), row(Action::GoToTrash), row(Action::GoToPath)}});
    menus.push_back({"menu.bookmarks", {row(Action::BookmarkAdd), row(Action::BookmarkManage)}});
    menus.push_back(
        {"menu.tools",
         {row(Action::LogWindow), sep, row(Action::RestartAsRoot), sep, row(Action::SettingsWindow)}});
    menus.push_back(
        {"menu.help", {row(Action::SandboxInfo), row(Action::Licenses), sep, row(Action::About)}});

    for (Menu& menu : menus)
        drop_unsupported(menu.items);
    return menus;
}

} // namespace

const char* label_key(Action action) {
    const Listing* l = listing_of(action);
    return l ? l->label_key : nullptr;
}

const char* shortcut(Action action) {
    const Listing* l = listing_of(action);
    return l ? l->shortcut : nullptr;
}

bool action_supported(Action action) {
    switch (action) {
    case Action::Pack:
    case Action::PackToOther:
        // Inside a snap the archivers may exist on the host but be out of reach; the command then tells
        // the user why instead of the row silently missing.
        return !archive_ops::available_formats().empty() || running_in_snap();
    case Action::SandboxInfo:
        return running_in_snap();
    case Action::OpenTerminal:
        return file_ops::terminal_program().has_value();
    default:
        return true;
    }
}

void drop_unsupported(std::vector<Item>& items) {
    std::vector<Item> kept;
    kept.reserve(items.size());
    for (const Item& item : items) {
        if (item.separator) {
            // A group whose rows all went would otherwise leave two dividers in a row.
            if (kept.empty() || kept.back().separator) continue;
            kept.push_back(item);
        } else if (action_supported(static_cast<Action>(item.action))) {
            kept.push_back(item);
        }
    }
    while (!kept.empty() && kept.back().separator)
        kept.pop_back();
    items = std::move(kept);
}

const std::vector<Menu>& bar() {
    static const std::vector<Menu> menus = build_bar();
    return menus;
}

const std::vector<Item>& columns() {
    static const std::vector<Item> items = column_rows();
    return items;
}

std::vector<Item> context_menu(const ContextInfo& info) {
    std::vector<Item> items;
    const Item sep = divider();
    const int n = info.selection_count;
    if (info.has_selection) {
        if (!info.is_dir && n == 1) items.push_back(row(Action::OpenWith));
        items.push_back(row(Action::CopyToOther));
        items.push_back(row(Action::MoveToOther));
        items.push_back(sep);
        if (n == 1) items.push_back(row(Action::Rename));
        items.push_back(row(Action::Clone));
        items.push_back(row(Action::MakeLink));
        items.push_back(sep);
        items.push_back(row(Action::Pack));
        if (info.is_archive && n == 1) {
            items.push_back(row(Action::Unpack));
            items.push_back(row(Action::ViewArchive));
        }
        items.push_back(sep);
        if (!info.is_dir && n == 1) items.push_back(row(Action::ViewHex));
        items.push_back(row(Action::CopyPath));
        items.push_back(row(Action::Properties));
        items.push_back(sep);
        items.push_back(row(Action::SelectAll));
        items.push_back(row(Action::SelectNone));
        items.push_back(row(Action::InvertSelection));
        items.push_back(sep);
        items.push_back(row(Action::Delete));
        items.push_back(sep);
    }
    items.push_back(row(Action::SearchPane));
    items.push_back(row(Action::NewFolder));
    items.push_back(row(Action::NewFile));
    items.push_back(row(Action::OpenTerminal));
    items.push_back(row(Action::Refresh));
    if (!info.has_selection) {
        items.push_back(sep);
        items.push_back(row(Action::SelectAll));
    }
    drop_unsupported(items);
    return items;
}

} // namespace menu_model
