#pragma once

#include "app/model/AppModel.h"
#include "app/window/detail/PaneSheet.h"
#include "kxui/Card.h"

#include <QPointer>

class QComboBox;
class QLabel;
class QPushButton;
namespace kxui {
class InfoRow;
}

// The "Encrypted Data" card of every vault: where the encrypted folder is
// ("location"), how the vault is mounted and why, with the user's choice
// ("mountMode", "mountModeWhy": the reason, then which sync clients carry
// the vault), and Show Encrypted Folder ("revealImage"), Check Encrypted
// Data ("checkData", while locked) and Remove from List ("forget").
class DataCard : public kxui::Card {
    Q_OBJECT
public:
    DataCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);

    // Shows the encrypted folder in the file manager.
    void reveal();

    void showVault(bool unlocked);

signals:
    void sheetRequested(PaneSheet sheet);
    void forgetRequested();

private:
    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    bool refreshing_ = false;
    kxui::InfoRow* location_ = nullptr;
    QComboBox* mountModePicker_ = nullptr;
    QLabel* mountModeWhy_ = nullptr;
    QPushButton* reveal_ = nullptr;
    QPushButton* checkData_ = nullptr;
    QPushButton* forget_ = nullptr;
};
