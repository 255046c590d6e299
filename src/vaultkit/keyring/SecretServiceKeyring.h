#pragma once

#include "vaultkit/keyring/Keyring.h"

#include <memory>
#include <mutex>
#include <string_view>

namespace vaultkit {

// The keyring of the desktop session: the Secret Service
// (org.freedesktop.secrets on the session bus: GNOME Keyring, KWallet,
// KeePassXC and others), through libsecret.
//
// Items carry the schema `schemaName` and two attributes: "application" =
// `application` and "vault" = the vault's id; their label is the vault's
// name; they are found by the two attributes alone, in any collection, and
// storing replaces every one of them. New items go to the default collection
// (the login keyring). Each call
// opens its own connection to the service, so a service started or stopped
// after this object was made is seen; calls are serialised. The library is
// loaded by the first call (LibsecretApi): making the object costs nothing,
// and a system without it reports noService.
class SecretServiceKeyring : public Keyring {
public:
    static constexpr std::string_view schemaName = "app.hushcoffer.VaultPassword";
    static constexpr std::string_view application = "hushcoffer";

    SecretServiceKeyring();

    void open() override;
    std::optional<std::string> password(const std::string& vaultId) override;
    void store(const std::string& vaultId, const std::string& label, const std::string& password) override;
    bool remove(const std::string& vaultId) override;
    void cancel() override;

private:
    // The GCancellable given to every call, made by the first (opaque here:
    // no GLib in this header). Throws KeyringError(noService) when the
    // library cannot be loaded.
    void* cancellable();

    std::mutex mutex_; // serialises the calls
    std::mutex cancelMutex_;
    bool cancelled_ = false;
    std::shared_ptr<void> cancellable_;
};

} // namespace vaultkit
