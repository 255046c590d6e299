#pragma once

#include "app/model/AppModel.h"
#include "app/window/detail/PaneSheet.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class AutoLockCard;
class DataCard;
class HiddenConflictsNote;
class LockedSecurityCard;
class QDialog;
class QMessageBox;
class QVBoxLayout;
class UnlockCard;
class UnlockedSecurityCard;
class VaultActions;
class VaultHeader;
class WorkingRow;

// The detail pane of one vault: a header (state symbol, name, folder, state
// badge), the busy row while an operation runs, the cards for a locked vault
// (unlock, security) or an unlocked one (actions, automatic locking,
// security), and the data card. One VaultDetail is made per selected vault:
// a new selection makes a new pane, so typed text and open sheets never
// carry over to another vault.
//
// Whether the vault is unlocked is asked of the mount table on every model
// change (at least every 2 seconds). While the model works on this vault the
// whole pane but the busy row is disabled.
class VaultDetail : public QWidget {
    Q_OBJECT
public:
    using Sheet = PaneSheet;

    VaultDetail(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);
    ~VaultDetail() override;

    const AppModel::VaultPtr& vault() const { return vault_; }
    const std::optional<Sheet>& sheet() const { return sheet_; }

    // Unlocks with the typed password (UnlockCard::unlock).
    void unlock();
    // The forget alert ("forgetAlert", window-modal); only its first button
    // forgets.
    QMessageBox* confirmForget();
    // Opens a credential sheet; returns it (none when no sheet is installed
    // or one is open already).
    QDialog* openSheet(Sheet sheet);

    // Reads the model and the mount state again.
    void refresh();
    // A locked vault's pane: focus in the password field, its text selected
    // (after a failed attempt, and when the window opens to unlock).
    void focusPassword();

protected:
    void showEvent(QShowEvent* event) override;
    // Return or Enter anywhere in the locked pane unlocks with the typed
    // password (Unlock is the pane's default action, whichever control has
    // the focus).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildLockedCards(QVBoxLayout* column);
    void buildUnlockedCards(QVBoxLayout* column);

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    std::optional<Sheet> sheet_;
    QPointer<QDialog> sheetDialog_;
    QPointer<QMessageBox> forgetAlert_;
    bool shownOnce_ = false;

    VaultHeader* header_ = nullptr;
    WorkingRow* workingRow_ = nullptr;
    // the cards (all disabled while the vault works): "lockedCards",
    // "unlockedCards" and the data card under either
    QWidget* content_ = nullptr;
    QWidget* lockedCards_ = nullptr;
    UnlockCard* unlockCard_ = nullptr;
    LockedSecurityCard* lockedSecurity_ = nullptr;
    QWidget* unlockedCards_ = nullptr;
    VaultActions* actions_ = nullptr;
    HiddenConflictsNote* hiddenConflicts_ = nullptr;
    AutoLockCard* autoLock_ = nullptr;
    UnlockedSecurityCard* unlockedSecurity_ = nullptr;
    DataCard* dataCard_ = nullptr;
};
