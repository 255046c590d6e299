#pragma once

#include "app/model/AppModel.h"
#include "app/window/detail/PaneSheet.h"
#include "kxui/Card.h"

#include <QPointer>

class QLabel;
class QPushButton;

// An unlocked vault's security card: quick unlock (on with Turn Off,
// "quickUnlockOn" / "quickUnlockOff", and whether its key needs the boot
// state, "touchIDBootState"; not possible here, "quickUnlockUnavailable"; or
// the button to turn it on, "quickUnlockEnable"), then Change Password
// ("unlockedChangePassword") and a new recovery phrase ("regeneratePhrase").
class UnlockedSecurityCard : public kxui::Card {
    Q_OBJECT
public:
    // What the card offers for quick unlock, in order of precedence: a
    // record exists (on, with Turn Off), the computer cannot do it
    // (unavailable), else the button to turn it on.
    enum class QuickUnlockRow { on, unavailable, enable };
    static QuickUnlockRow quickUnlockRow(bool hasRecord, bool available);

    UnlockedSecurityCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);

    void showVault(const vaultkit::VaultConfig& config);

signals:
    void sheetRequested(PaneSheet sheet);

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbols();

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    QWidget* touchIDOn_ = nullptr;
    QLabel* touchIDOnIcon_ = nullptr;
    QPushButton* touchIDDisable_ = nullptr;
    QLabel* touchIDBoot_ = nullptr;
    QWidget* touchIDUnavailable_ = nullptr;
    QLabel* touchIDUnavailableIcon_ = nullptr;
    QPushButton* touchIDEnable_ = nullptr;
    QPushButton* change_ = nullptr;
    QPushButton* regenerate_ = nullptr;
};
