#pragma once

#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/QuickUnlockInterface.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vaultkit {

// The Linux provider: the biometric key is a P-256 key of the computer's
// TPM 2.0, held for every user by the system's key service (hushcoffer-keyd,
// KeyService) on the system bus; this process never opens the TPM. Presence
// is proven through the system's own authentication prompt: the service asks
// polkit whether this process's bus connection may perform the Hushcoffer
// unlock action, so the desktop's agent asks, with the fingerprint where the
// system offers it; the prompt names the vault and this program. A passed
// check gives a context (the connection and the service's token) that covers
// the key agreements of one unlock with one key, and nothing more.
//
// The key is bound to this TPM and its owner seed, to the service's secret
// and to this user: the handle stops working when the TPM is cleared, the
// vault moves to another computer or the service's secret is removed.
class TpmPolkitQuickUnlock final : public QuickUnlockInterface {
public:
    // The polkit action whose check is the prompt; installed with the package.
    static constexpr const char* actionId = KeyServiceProtocol::actionId;

    struct Options {
        // The bus of the key service: the system bus socket itself.
        std::string busAddress = KeyServiceProtocol::systemBusAddress;
        // How long a prompt may stay unanswered before it is withdrawn.
        std::chrono::milliseconds promptTimeout = std::chrono::minutes(5);
    };

    TpmPolkitQuickUnlock();
    explicit TpmPolkitQuickUnlock(Options options);

    // The key service can be started, a TPM 2.0 answers it and the action is
    // installed. Never prompts.
    bool isAvailable() override;
    // The service's check is always for one key: without a scope there is
    // nothing to ask for.
    AuthOutcome authenticate(const std::string& reason) override;
    AuthOutcome authenticateFor(const std::string& reason, const AuthScope& scope) override;
    void revokeKey(const std::vector<std::uint8_t>& handle) override;
    // From the key's policy in the handle (TpmKeyPolicy::boundToBootState).
    std::optional<bool> bootStateBinding(const std::vector<std::uint8_t>& handle) override;
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                          const QuickUnlockContext& context) override;
    CreatedKey createKey() override;

private:
    bool issuedHere(const QuickUnlockContext& context);

    Options options_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<const void>> issued_;
};

} // namespace vaultkit
