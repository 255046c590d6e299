// The operations of Vault that deal with the master password and its sealed
// copies: biometric unlock, password change, recovery with the phrase, a new
// phrase, switching biometric unlock on and off, and the auto-lock record.

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/vault/Vault.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <exception>
#include <optional>

namespace vaultkit {

namespace {

// A password read back from a sealed copy; overwritten when it goes.
struct OpenedPassword {
    std::string value;
    OpenedPassword() = default;
    explicit OpenedPassword(std::string v)
        : value(std::move(v)) {}
    OpenedPassword(const OpenedPassword&) = delete;
    OpenedPassword& operator=(const OpenedPassword&) = delete;
    OpenedPassword& operator=(OpenedPassword&& other) noexcept {
        wipe();
        value = std::move(other.value);
        other.value.clear();
        return *this;
    }
    ~OpenedPassword() { wipe(); }
    void wipe() {
        if (!value.empty()) OPENSSL_cleanse(value.data(), value.size());
        value.clear();
    }
};

bool samePassword(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The recovery public key as stored (raw, 32 bytes).
X25519PublicKey recoveryKeyOf(const VaultConfig& config) {
    if (config.recoveryPublicKey.size() != 32) throw CryptoError("recovery public key must be 32 bytes");
    X25519PublicKey key;
    std::copy(config.recoveryPublicKey.begin(), config.recoveryPublicKey.end(), key.raw.begin());
    return key;
}

// The biometric public key as stored (X9.63, 65 bytes); Sealing checks that
// it is a point on the curve.
P256PublicKey touchIDKeyOf(const VaultConfig::QuickUnlockConfig& touchID) {
    if (touchID.publicKey.size() != 65) throw CryptoError("biometric public key must be 65 bytes");
    P256PublicKey key;
    std::copy(touchID.publicKey.begin(), touchID.publicKey.end(), key.x963.begin());
    return key;
}

// A new biometric key for a vault whose password or phrase changes, so that
// the old key can be revoked and older copies of vault.json open nothing;
// nothing when none can be made now (the old key stays in use then).
std::optional<QuickUnlockKey::NewKey> freshTouchKey(const VaultConfig& config) {
    if (!config.touchID) return std::nullopt;
    try {
        return QuickUnlockKey::createKey();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Revokes a key no record of this vault uses any more; a failure leaves it
// usable but breaks nothing.
void revokeQuietly(const VaultConfig::Bytes& handle) {
    try {
        QuickUnlockKey::revoke(handle);
    } catch (const std::exception&) {
    }
}

bool publicKeyMatches(const VaultConfig& config, const X25519PublicKey& key) {
    return config.recoveryPublicKey.size() == key.raw.size() &&
           std::equal(key.raw.begin(), key.raw.end(), config.recoveryPublicKey.begin());
}

} // namespace

// ---------------------------------------------------------------- biometric unlock

void Vault::unlockWithTouchID(const std::string& reason) {
    if (isUnlocked()) return;
    const VaultConfig current = config();
    if (!current.touchID) throw VaultError::touchIDNotEnabled();
    const auto& touchID = *current.touchID;

    // One prompt for the whole unlock: the context covers every copy below,
    // with this vault's key only.
    const QuickUnlockContext context = QuickUnlockKey::authenticate(
        reason,
        {touchID.handle, name(), static_cast<unsigned>(std::clamp<std::size_t>(touchID.blobs.size(), 1, 4))});
    releaseForeignAttachment();
    if (touchID.blobs.empty()) throw VaultError::touchIDInvalidated();

    // Newest first. During (or after an unconfirmed) password change the
    // image may have either of two passwords.
    for (const auto& blob : touchID.blobs) {
        OpenedPassword password(QuickUnlockKey::open(blob, touchID.handle, touchID.publicKey, context));
        try {
            attachPrepared(password.value);
            return;
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::wrongPassword) throw;
        }
    }
    throw VaultError::wrongPassword();
}

// ---------------------------------------------------------------- password change

void Vault::changePassword(const std::string& oldPassword, const std::string& newPassword) {
    // 1.-4. Inputs first; nothing is written before step 6.
    validate(newPassword);
    if (isUnlocked()) throw VaultError::notLocked();
    releaseForeignAttachment();
    const auto img = image();
    if (!driver_->checkPassword(img, oldPassword)) throw VaultError::wrongPassword();

    // 5. The new copies. The copy of the old password is sealed afresh as
    //    well: the image has the old password now (step 4 proved it), while
    //    the first entry of the current list need not be its copy (after a
    //    change the image did not confirm, the list is [other, old]).
    const VaultConfig kept = config();
    const X25519PublicKey recoveryKey = recoveryKeyOf(kept);
    const SealedSecret newRecovery = Sealing::seal(newPassword, recoveryKey);
    const SealedSecret oldRecovery = Sealing::seal(oldPassword, recoveryKey);
    std::optional<SealedSecret> newTouch, oldTouch;
    const std::optional<QuickUnlockKey::NewKey> freshKey = freshTouchKey(kept);
    if (kept.touchID) {
        const P256PublicKey touchKey = freshKey ? freshKey->publicKey : touchIDKeyOf(*kept.touchID);
        newTouch = Sealing::seal(newPassword, touchKey);
        oldTouch = Sealing::seal(oldPassword, touchKey);
    }

    // 6. Both passwords listed, the new one first, before the image changes.
    VaultConfig both = kept;
    both.recoveryBlobs = {newRecovery, oldRecovery};
    if (both.touchID) both.touchID->blobs = {*newTouch, *oldTouch};
    if (freshKey) {
        both.touchID->handle = freshKey->handle;
        both.touchID->publicKey.assign(freshKey->publicKey.x963.begin(), freshKey->publicKey.x963.end());
    }
    try {
        replaceConfigAndSave(both);
    } catch (...) {
        if (freshKey) revokeQuietly(freshKey->handle);
        throw;
    }

    // 7. The image's password. The new config file changes the tree: what
    //    others wrote before is noted first, and the record follows the change.
    noteChangesWhileLocked(*this);
    try {
        driver_->changePassword(img, oldPassword, newPassword);
    } catch (...) {
        // The old record goes back only when the image still takes the old
        // password; a tool that failed after changing it (or an image that
        // can no longer be asked) keeps both copies listed.
        bool stillOld = false;
        try {
            stillOld = driver_->checkPassword(img, oldPassword);
        } catch (...) {
        }
        if (stillOld) {
            replaceConfig(kept);
            try {
                ConfigStore::save(kept, configURL(), backupURL(dir_));
                if (freshKey) revokeQuietly(freshKey->handle);
            } catch (...) {
            }
        }
        throw;
    }

    // 8. The image must now take the new password; if it does not, both
    //    copies stay and recover() finds whichever password it has.
    if (!driver_->checkPassword(img, newPassword))
        throw VaultError::io("password changed but new password does not open the image");
    recordLockedTree(*this);

    // 9. One copy each again.
    VaultConfig done = both;
    done.recoveryBlobs = {newRecovery};
    if (done.touchID) done.touchID->blobs = {*newTouch};
    replaceConfigAndSave(done);
    // The old key opens the old password only, in older copies of the record.
    if (freshKey) revokeQuietly(kept.touchID->handle);
}

// ---------------------------------------------------------------- recovery

void Vault::recover(std::string_view phrase, const std::string& newPassword) {
    // 1.-3. Inputs first: nothing is locked or written before they pass.
    validate(newPassword);
    const Mnemonic mnemonic(phrase);
    const X25519PrivateKey recoveryKey = mnemonic.recoveryKey();
    const VaultConfig current = config();
    if (!publicKeyMatches(current, recoveryKey.publicKey())) throw VaultError::mnemonicNotForThisVault();

    // 4.
    if (isUnlocked()) lock(false);
    releaseForeignAttachment();

    // 5. The first copy the image takes is its current password.
    const auto img = image();
    OpenedPassword found;
    bool haveFound = false;
    for (const auto& blob : current.recoveryBlobs) {
        OpenedPassword candidate;
        try {
            candidate = OpenedPassword(Sealing::open(blob, recoveryKey));
        } catch (const std::exception&) {
            continue; // a copy that does not open with this key
        }
        if (driver_->checkPassword(img, candidate.value)) {
            found = std::move(candidate);
            haveFound = true;
            break;
        }
    }
    if (!haveFound) throw VaultError::recoveryFailed();

    // 6.-7.
    if (!samePassword(found.value, newPassword)) changePassword(found.value, newPassword);
    if (!isUnlocked()) {
        releaseForeignAttachment();
        attachPrepared(newPassword);
    }
}

bool Vault::checkMnemonic(std::string_view phrase) const {
    try {
        const Mnemonic mnemonic(phrase);
        return publicKeyMatches(config(), mnemonic.recoveryKey().publicKey());
    } catch (const std::exception&) {
        return false;
    }
}

// ---------------------------------------------------------------- record changes

// A half-done save (vault.json written, vault.json.bak not) must not leave a
// phrase or key in force that the user was never given, so a failed save puts
// the record the user knows back.
void Vault::replaceConfigAndSaveOrRestore(const VaultConfig& updated, const VaultConfig& kept) {
    replaceConfig(updated);
    try {
        ConfigStore::save(updated, configURL(), backupURL(dir_));
    } catch (...) {
        replaceConfig(kept);
        try {
            ConfigStore::save(kept, configURL(), backupURL(dir_));
        } catch (...) {
        }
        throw;
    }
}

Mnemonic Vault::regenerateMnemonic(const std::string& password) {
    confirm(password);
    Mnemonic mnemonic = Mnemonic::generate();
    const X25519PrivateKey recoveryKey = mnemonic.recoveryKey();
    const X25519PublicKey publicKey = recoveryKey.publicKey();
    // Sealed before the record changes: a failure leaves it as it was.
    const SealedSecret sealed = Sealing::seal(password, publicKey);

    const VaultConfig kept = config();
    VaultConfig updated = kept;
    updated.recoveryPublicKey.assign(publicKey.raw.begin(), publicKey.raw.end());
    updated.recoveryBlobs = {sealed}; // older copies go: the old phrase stops working now
    // The biometric key is replaced too: older copies of the record open
    // nothing with it then.
    const std::optional<QuickUnlockKey::NewKey> freshKey = freshTouchKey(kept);
    if (freshKey) {
        updated.touchID = VaultConfig::QuickUnlockConfig{
            freshKey->handle,
            VaultConfig::Bytes(freshKey->publicKey.x963.begin(), freshKey->publicKey.x963.end()),
            {Sealing::seal(password, freshKey->publicKey)},
        };
    }
    try {
        replaceConfigAndSaveOrRestore(updated, kept);
    } catch (...) {
        if (freshKey) revokeQuietly(freshKey->handle);
        throw;
    }
    if (freshKey) revokeQuietly(kept.touchID->handle);
    return mnemonic;
}

void Vault::enableTouchID(const std::string& password) {
    confirm(password);
    const QuickUnlockKey::NewKey key = QuickUnlockKey::createKey();
    const SealedSecret sealed = Sealing::seal(password, key.publicKey);

    const VaultConfig kept = config();
    VaultConfig updated = kept;
    updated.touchID = VaultConfig::QuickUnlockConfig{
        key.handle,
        VaultConfig::Bytes(key.publicKey.x963.begin(), key.publicKey.x963.end()),
        {sealed},
    };
    try {
        replaceConfigAndSaveOrRestore(updated, kept);
    } catch (...) {
        revokeQuietly(key.handle);
        throw;
    }
    // A key this replaces opens nothing any more.
    if (kept.touchID) revokeQuietly(kept.touchID->handle);
}

void Vault::disableTouchID() {
    const VaultConfig kept = config();
    // The key is revoked first: a failure changes nothing, and a record
    // that could not be saved afterwards only names a dead key (the
    // password is asked then).
    if (kept.touchID) QuickUnlockKey::revoke(kept.touchID->handle);
    VaultConfig updated = kept;
    updated.touchID.reset();
    replaceConfigAndSaveOrRestore(updated, kept);
}

void Vault::setAutoLock(const VaultConfig::AutoLock& autoLock) {
    const VaultConfig kept = config();
    VaultConfig updated = kept;
    updated.autoLock = autoLock;
    replaceConfigAndSaveOrRestore(updated, kept);
}

} // namespace vaultkit
