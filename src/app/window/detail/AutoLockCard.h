#pragma once

#include "app/model/AppModel.h"
#include "app/window/detail/PaneSheet.h"
#include "kxui/Card.h"

#include <QPointer>

#include <array>
#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QMessageBox;

// An unlocked vault's "Lock Automatically" card: on sleep ("sleepLock", with
// "sleepUnavailable" when nothing announces sleep here), when the screen
// locks ("screenLock"), after idle minutes ("idlePicker", with
// "idleUnavailable" when no idle time can be read), when the application
// quits ("quitLock", for every vault), and unlocking at login
// ("loginUnlock"). A change is saved at once; the boxes show the stored
// choice.
class AutoLockCard : public kxui::Card {
    Q_OBJECT
public:
    // The choices of the idle picker, in minutes; 0 means never.
    static constexpr std::array<int, 6> idleChoices{0, 5, 15, 30, 60, 120};
    static QString idleChoiceText(int minutes);

    AutoLockCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent = nullptr);

    // The lock-on-quit setting ("hc.lockOnQuit", true when never written).
    static bool lockOnQuit();
    void setLockOnQuit(bool on);

    // After unlocking at login was turned on while the application does not
    // start at login: the offer to make it start at login ("autostartOffer";
    // none when it does, or when the application names no desktop entry).
    QMessageBox* offerAutostart();

    void showVault(const vaultkit::VaultConfig& config, bool unlocked);

signals:
    // Checking "Unlock when I log in" asks for the password first.
    void sheetRequested(PaneSheet sheet);
    // A change of the vault's record has been saved (all of them, when
    // several were under way).
    void saved();

private:
    void bind();
    void showIdleMinutes(int minutes);
    void write(const std::function<void(vaultkit::VaultConfig::AutoLock&)>& change);

    QPointer<AppModel> model_;
    AppModel::VaultPtr vault_;
    bool refreshing_ = false;
    // The record as last written from this card while saves are under way:
    // the next change builds on it, not on the record not yet saved.
    std::optional<vaultkit::VaultConfig::AutoLock> pending_;
    int writes_ = 0;
    QPointer<QMessageBox> autostartOffer_;

    QCheckBox* sleepToggle_ = nullptr;
    QLabel* sleepUnavailable_ = nullptr;
    QCheckBox* screenToggle_ = nullptr;
    QComboBox* idlePicker_ = nullptr;
    QLabel* idleUnavailable_ = nullptr;
    QCheckBox* quitToggle_ = nullptr;
    QCheckBox* loginToggle_ = nullptr;
};
