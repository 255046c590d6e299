#pragma once

#include "app/model/AppModel.h"
#include "app/sheets/ActionError.h"
#include "app/window/detail/PaneSheet.h"
#include "kxui/Card.h"

#include <QPointer>

class QLabel;
class QLineEdit;
class QPushButton;

// A locked vault's first card: the password field with Unlock and quick
// unlock beside it, "Forgot password?" beside the title, why the last
// attempt failed under the field, and the note on a vault whose daemon has
// gone. Controls: "passwordField", "unlockButton", "quickUnlockButton",
// "forgotPassword", "unlockError", "staleNote".
class UnlockCard : public kxui::Card {
    Q_OBJECT
public:
    UnlockCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);

    // Unlocks with the typed password; nothing when the field is empty. The
    // field is cleared when the unlock works and kept when it fails.
    void unlock();
    void unlockWithTouchID();
    // Focus in the password field, its text selected.
    void focusPassword();

    void showVault(const vaultkit::VaultConfig& config, bool stale);

signals:
    void sheetRequested(PaneSheet sheet);
    // After a failed attempt, once the reason is shown.
    void unlockFailed();

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbols();

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    ActionError attempt_;
    QLabel* staleNote_ = nullptr;
    QPushButton* forgot_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QPushButton* unlockButton_ = nullptr;
    QPushButton* touchIDUnlock_ = nullptr;
    QLabel* unlockError_ = nullptr;
};
