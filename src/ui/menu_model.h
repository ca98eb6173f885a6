#pragma once

#include "base/actions.h"

#include <vector>

// What the menus hold: the menu bar, the column menu and the pane context menu, as data. Drawing them and
// reacting to clicks live with the App; this module decides only which rows exist and in which order.
namespace menu_model {

// One menu row.
struct Item {
    int action = 0;                  // an Action value; 0 for a separator
    const char* label_key = nullptr; // translation key; null for a separator
    const char* shortcut = nullptr;  // the key shown at the right, or null
    bool separator = false;          // a divider line carrying no action
    bool checkable = false;          // shows a check mark reflecting the current state
};

struct Menu {
    const char* title_key = nullptr;
    std::vector<Item> items;
};

// What the pane's context menu is built for; filled from the entries the pane would act on.
struct ContextInfo {
    bool has_selection = false;
    int selection_count = 0;
    bool is_dir = false;
    bool is_archive = false;
    bool is_link = false;
    bool writable = false;
};

// The translation key under which an action is listed in menus, or null for actions no menu shows.
const char* label_key(Action action);
// The key printed beside an action in menus ("F5", "Ctrl+A"), or null.
const char* shortcut(Action action);

// Whether this system can run the action at all: packing needs an archiver (or the sandbox, which
// explains itself when asked), the terminal row needs a terminal program, the sandbox notice a snap.
bool action_supported(Action action);

// Removes, in place and keeping order, every row whose action is not supported; dividers left next to
// each other, or at either end, by the removal go too.
void drop_unsupported(std::vector<Item>& items);

// The menu bar, built on first use and kept for the process (support is decided then).
const std::vector<Menu>& bar();
// The column menu: one checkable row per optional column.
const std::vector<Item>& columns();
// A fresh context menu for what the pane would act on.
std::vector<Item> context_menu(const ContextInfo& info);

} // namespace menu_model
