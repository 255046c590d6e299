#pragma once

#include "vaultkit/import/Importer.h"

#include <functional>
#include <vector>

class AppModel;
class RootView;

// The screenshot mode's names for the sheets the model drives ("mnemonic",
// "importResult"): each fills the model with sample data, lets the main
// window open its sheet and returns it. The creation and credential sheets
// are registered with the main window's own names.
class SheetSnapshots {
public:
    SheetSnapshots() = delete;

    // `root` gives the main window's view once it is shown.
    static void registerAll(AppModel* model, std::function<RootView*()> root);

    // Four sample imports: three complete, one with seven problems.
    static std::vector<vaultkit::Importer::Result> sampleImport();
};
