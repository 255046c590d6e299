#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string_view>

class AppModel;
class VaultWorkRunner;
namespace vaultkit {
class Keyring;
class Vault;
class VaultPreferences;
} // namespace vaultkit

// Unlocks vaults at login with passwords kept in the desktop's keyring. The
// choice is a vault preference; the password is only ever in the keyring and,
// while it is used, in memory that is wiped. All keyring work runs off the
// GUI thread.
class LoginUnlockController {
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Done = std::function<void(bool ok)>;

    // The per-vault choice lives in the vault preferences under this key (a
    // boolean); the password itself only in the keyring.
    static constexpr std::string_view loginUnlockKey = "unlockAtLogin";

    LoginUnlockController(AppModel& model, VaultWorkRunner& work);
    LoginUnlockController(const LoginUnlockController&) = delete;
    LoginUnlockController& operator=(const LoginUnlockController&) = delete;
    // A keyring prompt nobody answers, or a keyring that hangs, must not hold
    // up the end: withdraws the keyring's calls.
    void cancel();

    // Where stored passwords live; the desktop's Secret Service unless set.
    void setKeyring(std::shared_ptr<vaultkit::Keyring> keyring);
    bool unlocksAtLogin(const VaultPtr& vault) const;
    // Turns the choice on: checks the password against the vault, stores it
    // in the keyring (replacing an older copy), then records the choice.
    void enableLoginUnlock(const VaultPtr& vault, const QString& password, Done done = {});
    // Deletes the stored password and turns the choice off (off also when
    // the keyring cannot be reached: the error banner says so).
    void disableLoginUnlock(const VaultPtr& vault, Done done = {});
    // The start pass: every locked vault with the choice on is unlocked with
    // its stored password, one after the other, under the usual busy text.
    // The keyring is opened once for all of them (its own prompt when it is
    // locked); a keyring that stays locked or is missing leaves them locked
    // with one banner saying why. A stored password that no longer opens its
    // vault is deleted and the choice turned off, with a banner and a notice.
    // `done` runs at the end.
    void unlockAtStart(std::function<void()> done = {});
    // Keeps the keyring's copy true after the password changed (change,
    // recovery); nothing when the choice is off.
    void keepStoredPassword(const VaultPtr& vault, const QString& password);
    // Deletes the stored password of a vault that is forgotten.
    void dropStoredPassword(const VaultPtr& vault);

private:
    struct StartPass;
    void startPassNext(const std::shared_ptr<StartPass>& pass);
    void abandonPass(const std::shared_ptr<StartPass>& pass);
    // The pass's entry number `index`.
    bool skipped(const std::shared_ptr<StartPass>& pass, std::size_t index);
    void unlockEntry(const std::shared_ptr<StartPass>& pass, std::size_t index);
    void startPassEnd(const std::shared_ptr<StartPass>& pass);
    vaultkit::VaultPreferences preferences() const;
    // The keyring set, else the desktop's, made when first needed.
    const std::shared_ptr<vaultkit::Keyring>& keyring();

    AppModel& model_;
    VaultWorkRunner& work_;
    std::shared_ptr<vaultkit::Keyring> keyring_;
};
