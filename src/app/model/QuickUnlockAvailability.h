#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class AppModel;
namespace vaultkit {
class Vault;
}

// Whether quick unlock can be used on this computer (QuickUnlockKey::isAvailable),
// as last asked: once at start and again on a relevant event (quick unlock
// turned on or off, a device appearing or going in /dev). The question opens
// the TPM and waits for polkit (up to its timeout), so it never runs on the
// GUI thread; false until the first answer, the model's changed() when the
// answer changes.
class QuickUnlockAvailability : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    explicit QuickUnlockAvailability(AppModel& model);

    bool touchIDAvailable() const { return available_; }
    void recheckTouchID();
    // Whether the vault's quick-unlock key opens only in the boot state it
    // was made in (QuickUnlockKey::bootStateBinding): true when a computer booted
    // otherwise asks for the password, false when the key does not depend on
    // the boot state, nothing without a key or when the provider does not
    // tell. Read from the stored handle alone (neither the TPM nor the key
    // service is asked), so the GUI thread may ask.
    static std::optional<bool> touchIDBootBinding(const VaultPtr& vault);

private:
    AppModel& model_;
    bool available_ = false;
    bool asking_ = false;
    bool askAgain_ = false;
    QFileSystemWatcher devices_;
    QTimer devicesSettled_;
};
