#pragma once

#include "app/desktop/FilePanels.h"
#include "app/model/AppModel.h"
#include "app/sheets/ActionError.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <optional>

class BusySpinner;
class ElidedLabel;
class QAction;
class PathLabel;
class QCheckBox;
class QComboBox;
#include <QDialog>
class QLabel;
class QLineEdit;
#include <QMessageBox>
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
namespace kxui {
class Card;
class InfoRow;
} // namespace kxui

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
    enum class Sheet { recover, changePassword, touchID, regenerate, loginUnlock, checkData };
    // What the unlocked security card offers for quick unlock, in order of
    // precedence: a record exists (on, with Turn Off), the computer cannot do
    // it (unavailable), else the button to turn it on.
    enum class TouchIDRow { on, unavailable, enable };
    static TouchIDRow touchIDRow(bool hasRecord, bool available);

    // The choices of the idle picker, in minutes; 0 means never.
    static constexpr std::array<int, 6> idleChoices{0, 5, 15, 30, 60, 120};
    static QString idleChoiceText(int minutes);

    VaultDetail(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);
    ~VaultDetail() override;

    const AppModel::VaultPtr& vault() const { return vault_; }
    const std::optional<Sheet>& sheet() const { return sheet_; }

    // ---- Actions ----
    // Unlocks with the typed password; nothing when the field is empty. The
    // field is cleared when the unlock works and kept when it fails.
    void unlock();
    void unlockWithTouchID();
    void lock();
    // "Import Files…" / "Import Folder…" (the import button's menu): the
    // chosen items go to the model's import.
    void pickImport(FilePanels::ImportKind kind);
    void reveal();
    // The forget alert (window-modal); only its first button forgets.
    QMessageBox* confirmForget();
    // Opens a credential sheet; returns it (none when no sheet is installed).
    QDialog* openSheet(Sheet sheet);
    // The lock-on-quit setting ("hc.lockOnQuit", true when never written).
    static bool lockOnQuit();
    void setLockOnQuit(bool on);

    // Reads the model and the mount state again.
    void refresh();
    // A locked vault's pane: focus in the password field, its text selected
    // (after a failed attempt, and when the window opens to unlock).
    void focusPassword();

    // ---- Widgets (tests and screenshots) ----
    // The header and the cards (all disabled while the vault works).
    QWidget* header() const { return header_; }
    QWidget* content() const { return content_; }
    ElidedLabel* nameLabel() const { return name_; }
    PathLabel* pathLabel() const { return path_; }
    QLabel* badge() const { return badge_; }
    QWidget* workingRow() const { return workingRow_; }
    QLabel* workingLabel() const { return workingText_; }
    QProgressBar* importBar() const { return importBar_; }
    QWidget* lockedCards() const { return lockedCards_; }
    QWidget* unlockedCards() const { return unlockedCards_; }
    kxui::Card* dataCard() const { return dataCard_; }
    QLineEdit* passwordField() const { return passwordField_; }
    // Under the password field: why the last unlock failed (hidden otherwise).
    QLabel* unlockErrorLabel() const { return unlockError_; }
    QPushButton* unlockButton() const { return unlockButton_; }
    QPushButton* touchIDUnlockButton() const { return touchIDUnlock_; }
    QPushButton* forgotButton() const { return forgot_; }
    QPushButton* lockedChangePasswordButton() const { return lockedChange_; }
    QPushButton* openButton() const { return open_; }
    QPushButton* importButton() const { return import_; }
    QAction* importFilesAction() const { return importFiles_; }
    QAction* importFolderAction() const { return importFolder_; }
    QPushButton* lockButton() const { return lock_; }
    QCheckBox* sleepToggle() const { return sleepToggle_; }
    // Shown when locking on sleep cannot work here (logind does not answer).
    QLabel* sleepUnavailableNote() const { return sleepUnavailable_; }
    QCheckBox* screenToggle() const { return screenToggle_; }
    QComboBox* idlePicker() const { return idlePicker_; }
    QCheckBox* quitToggle() const { return quitToggle_; }
    // "Unlock when I log in": checking it opens the password prompt
    // (Sheet::loginUnlock); unchecking it deletes the stored password.
    QCheckBox* loginToggle() const { return loginToggle_; }
    // After the choice was turned on while the application does not start
    // at login: the offer to make it start at login (none when it does, or
    // when the application names no desktop entry).
    QMessageBox* offerAutostart();
    QMessageBox* autostartOffer() const { return autostartOffer_; }
    QWidget* touchIDOnRow() const { return touchIDOn_; }
    QPushButton* touchIDDisableButton() const { return touchIDDisable_; }
    // The line under the quick-unlock row: whether the key is bound to the
    // boot state (hidden when quick unlock is off or the key does not tell).
    QLabel* touchIDBootNote() const { return touchIDBoot_; }
    QWidget* touchIDUnavailableRow() const { return touchIDUnavailable_; }
    QPushButton* touchIDEnableButton() const { return touchIDEnable_; }
    QPushButton* unlockedChangePasswordButton() const { return unlockedChange_; }
    QPushButton* regenerateButton() const { return regenerate_; }
    kxui::InfoRow* locationRow() const { return location_; }
    QPushButton* revealButton() const { return reveal_; }
    // "Check Encrypted Data…": shown while the vault is locked; asks the
    // password (Sheet::checkData), then the model checks.
    QPushButton* checkDataButton() const { return checkData_; }
    QPushButton* forgetButton() const { return forget_; }
    QComboBox* mountModePicker() const { return mountModePicker_; }
    QLabel* mountModeWhy() const { return mountModeWhy_; }
    QLabel* staleNote() const { return staleNote_; }
    // The sync conflict copies left hidden in the unlocked vault (hidden
    // when there are none).
    QLabel* hiddenConflictsNote() const { return hiddenConflicts_; }
    QMessageBox* forgetAlert() const { return forgetAlert_; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Return or Enter anywhere in the locked pane unlocks with the typed
    // password (Unlock is the pane's default action, whichever control has
    // the focus).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildHeader(QVBoxLayout* column);
    void buildWorkingRow(QVBoxLayout* column);
    void buildLockedCards(QVBoxLayout* column);
    void buildUnlockedCards(QVBoxLayout* column);
    void buildDataCard(QVBoxLayout* column);
    void bindAutoLock();
    void showIdleMinutes(int minutes);
    void writeAutoLock(const std::function<void(vaultkit::VaultConfig::AutoLock&)>& change);
    void paintSymbols();

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    std::optional<Sheet> sheet_;
    QPointer<QDialog> sheetDialog_;
    QPointer<QMessageBox> forgetAlert_;
    QPointer<QMessageBox> autostartOffer_;
    bool shownOnce_ = false;
    bool unlocked_ = false;
    bool refreshing_ = false;
    // The record as last written from this pane while saves are under way:
    // the next change builds on it, not on the record not yet saved.
    std::optional<vaultkit::VaultConfig::AutoLock> pendingAutoLock_;
    int autoLockWrites_ = 0;

    QWidget* header_ = nullptr;
    QWidget* content_ = nullptr;
    QLabel* tile_ = nullptr;
    ElidedLabel* name_ = nullptr;
    PathLabel* path_ = nullptr;
    QLabel* badge_ = nullptr;
    QWidget* workingRow_ = nullptr;
    BusySpinner* spinner_ = nullptr;
    QLabel* workingText_ = nullptr;
    QProgressBar* importBar_ = nullptr;

    QWidget* lockedCards_ = nullptr;
    QPushButton* forgot_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QLabel* unlockError_ = nullptr;
    ActionError unlockAttempt_;
    QPushButton* unlockButton_ = nullptr;
    QPushButton* touchIDUnlock_ = nullptr;
    QPushButton* lockedChange_ = nullptr;
    QLabel* staleNote_ = nullptr;
    QLabel* hiddenConflicts_ = nullptr;

    QWidget* unlockedCards_ = nullptr;
    QPushButton* open_ = nullptr;
    QPushButton* import_ = nullptr;
    QAction* importFiles_ = nullptr;
    QAction* importFolder_ = nullptr;
    QPushButton* lock_ = nullptr;
    QCheckBox* sleepToggle_ = nullptr;
    QLabel* sleepUnavailable_ = nullptr;
    QCheckBox* screenToggle_ = nullptr;
    QComboBox* idlePicker_ = nullptr;
    QLabel* idleUnavailable_ = nullptr;
    QCheckBox* quitToggle_ = nullptr;
    QCheckBox* loginToggle_ = nullptr;
    QWidget* touchIDOn_ = nullptr;
    QLabel* touchIDOnIcon_ = nullptr;
    QPushButton* touchIDDisable_ = nullptr;
    QLabel* touchIDBoot_ = nullptr;
    QWidget* touchIDUnavailable_ = nullptr;
    QLabel* touchIDUnavailableIcon_ = nullptr;
    QPushButton* touchIDEnable_ = nullptr;
    QPushButton* unlockedChange_ = nullptr;
    QPushButton* regenerate_ = nullptr;

    kxui::Card* dataCard_ = nullptr;
    kxui::InfoRow* location_ = nullptr;
    QPushButton* reveal_ = nullptr;
    QPushButton* checkData_ = nullptr;
    QPushButton* forget_ = nullptr;
    QComboBox* mountModePicker_ = nullptr;
    QLabel* mountModeWhy_ = nullptr;
};
