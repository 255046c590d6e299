#include "app/window/SheetSnapshots.h"

#include "app/model/AppModel.h"
#include "app/window/RootView.h"
#include "kxui/KXSnapshot.h"

#include <QDialog>

std::vector<vaultkit::Importer::Result> SheetSnapshots::sampleImport() {
    auto result = [](const char* source, std::int64_t files, std::int64_t bytes, int problems) {
        vaultkit::Importer::Result r;
        r.source = source;
        r.files = files;
        r.bytes = bytes;
        for (int i = 0; i < problems; ++i)
            r.problems.push_back("Photos 2023/IMG_" + std::to_string(4100 + i) + ".HEIC: size differs");
        return r;
    };
    return {result("/home/sam/Documents/Tax 2024", 38, 12'400'000, 0),
            result("/home/sam/Documents/Contracts", 12, 3'200'000, 0),
            result("/home/sam/Pictures/Photos 2023", 1'204, 2'310'000'000, 7),
            result("/home/sam/Desktop/passport.pdf", 1, 842'000, 0)};
}

void SheetSnapshots::registerAll(AppModel* model, std::function<RootView*()> root) {
    KXSnapshot::registerWindow(QStringLiteral("mnemonic"), [model, root]() -> QWidget* {
        RootView* view = root();
        if (!view) return nullptr;
        model->setShownMnemonic(ShownMnemonic(QStringLiteral("Tax Papers"), vaultkit::Mnemonic::generate()));
        view->refresh();
        return view->mnemonicSheet();
    });
    KXSnapshot::registerWindow(QStringLiteral("importResult"), [model, root]() -> QWidget* {
        RootView* view = root();
        if (!view) return nullptr;
        model->setImportResults(ImportBatch(sampleImport()));
        view->refresh();
        return view->importSheet();
    });
}
