#pragma once

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/crypto/SealedSecret.h"
#include "vaultkit/quickunlock/QuickUnlockInterface.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vaultkit {

// The biometric key of a vault: a P-256 key-agreement key whose private half
// never leaves the provider (secure hardware behind a user-presence check).
// A vault keeps only the key's opaque handle and its public key
// (VaultConfig::QuickUnlockConfig) and a copy of its password sealed to that
// public key.
//
// Every provider's reports are mapped here, the same way for all:
//  - prompt dismissed by the user, the system or the application, password
//    fallback chosen, or no answer at all -> touchIDCancelled
//  - any other failure of the prompt -> touchID(text); a prompt that throws a
//    VaultError passes it on, any other exception becomes touchID(its text)
//  - a key that cannot be rebuilt from its handle -> touchIDInvalidated
//  - the key's access rule cannot be set up -> touchID(text or "access control")
// Cryptographic failures (bad public key, failed agreement, a box that does
// not authenticate) pass through as CryptoError.
class QuickUnlockKey {
public:
    QuickUnlockKey() = delete;

    // A new key as enableTouchID stores it.
    struct NewKey {
        std::vector<std::uint8_t> handle;
        P256PublicKey publicKey;
    };

    // Whether the current provider can make keys and run the check; false as
    // well when asking it fails.
    static bool isAvailable();

    // Shows the prompt with `reason` and returns the context once the check
    // has passed.
    static QuickUnlockContext authenticate(const std::string& reason);
    // The same for one unlock (QuickUnlockInterface::authenticateFor).
    static QuickUnlockContext authenticate(const std::string& reason, const QuickUnlockInterface::AuthScope& scope);

    // Revokes the key `handle` stands for (QuickUnlockInterface::revokeKey);
    // failures become touchID(text).
    static void revoke(const std::vector<std::uint8_t>& handle);

    // Whether the key is bound to the boot state
    // (QuickUnlockInterface::bootStateBinding); nothing when unknown.
    static std::optional<bool> bootStateBinding(const std::vector<std::uint8_t>& handle);

    // Opens one copy sealed to the biometric key (P-256 variant of Sealing)
    // with the key rebuilt from `handle`, bound to `context`. `publicKey` is
    // the key's X9.63 public key as stored with the handle.
    static std::string open(const SealedSecret& sealed, const std::vector<std::uint8_t>& handle,
                            const std::vector<std::uint8_t>& publicKey, const QuickUnlockContext& context);

    // Makes a new key (no prompt).
    static NewKey createKey();

    // The provider in use: the one installed by setProvider, else the
    // platform's. setProvider(nullptr) restores the platform's.
    static std::shared_ptr<QuickUnlockInterface> provider();
    static void setProvider(std::shared_ptr<QuickUnlockInterface> provider);
};

} // namespace vaultkit
