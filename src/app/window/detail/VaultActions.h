#pragma once

#include "app/desktop/FilePanels.h"
#include "app/model/AppModel.h"
#include "app/widgets/WrappingRow.h"

#include <QPointer>

class QAction;
class QPushButton;

// An unlocked vault's actions, the row at the top of its cards: Open in the
// file manager ("openButton"), Import with its menu ("importButton":
// "importFiles", "importFolder") and Lock ("lockButton").
class VaultActions : public WrappingRow {
    Q_OBJECT
public:
    VaultActions(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);

    // The chosen items go to the model's import.
    void pickImport(FilePanels::ImportKind kind);
    void lock();

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbols();

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    QPushButton* open_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* lock_ = nullptr;
};
