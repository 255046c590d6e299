#pragma once

#include "app/model/AppModel.h"

#include <QString>

#include <functional>
#include <vector>

class QMenu;

// The tray menu's items, read from the model when the menu is built:
//   for each vault, in order: "Lock <name>" and "Open <name> in File
//   Manager" when it is unlocked, else "Unlock <name>…"; a long name is
//   shortened in the middle to at most maxNameWidth pixels of the menu's
//   font (the menu stays narrow), the whole name in the item's tooltip;
//   "No Vaults" (a text, not a command) when there are none;
//   a divider; "Lock All Vaults" when at least one is unlocked; "Open
//   Hushcoffer"; a divider; "Quit Hushcoffer".
// Whether a vault is unlocked is asked of the mount table each time.
class TrayMenuContent {
public:
    enum class Kind { command, text, divider };
    struct Item {
        Kind kind;
        QString title;
        std::function<void()> action; // commands only
        QString toolTip;              // the vault's whole name, for its items
    };
    static constexpr int maxNameWidth = 260;
    // The name as the items show it: shortened with "…" in the middle when
    // wider than maxNameWidth in the menu's font, "&" doubled.
    static QString shownName(const std::string& name);

    // What the items do besides calling the model: bring the main window to
    // the front, and ask the application to quit (the quit handling).
    struct Actions {
        std::function<void()> openMainWindow;
        std::function<void()> quit;
    };

    static std::vector<Item> items(AppModel* model, const Actions& actions);
    // Replaces the menu's entries by the items.
    static void populate(QMenu* menu, AppModel* model, const Actions& actions);

    // The tray symbol: "lock.open.fill" when at least one vault is unlocked,
    // else "lock.fill".
    static QString symbol(AppModel* model);

    // Locks every vault that is unlocked when it is reached, one after the
    // other, never forced (a volume in use ends in the model's busy prompt).
    // `done` runs when the last one has been tried.
    static void lockAll(AppModel* model, std::function<void()> done = {});
};
