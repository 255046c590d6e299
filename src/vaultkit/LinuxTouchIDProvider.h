#pragma once

#include "vaultkit/PolkitAuthority.h"
#include "vaultkit/TouchIDProvider.h"
#include "vaultkit/TpmDevice.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vaultkit {

// The Linux provider: the biometric key is a P-256 key of the computer's
// TPM 2.0 (TpmDevice), and presence is proven through the system's own
// authentication prompt (polkit's check of the Hushcoffer unlock action, so
// the desktop's agent asks, with the fingerprint where the system offers it).
//
// The key is bound to this TPM and its owner seed: the handle stops loading
// when the TPM is cleared or the vault moves to another computer. Changing
// enrolled fingerprints does not affect it.
class LinuxTouchIDProvider final : public TouchIDProvider {
public:
    // The polkit action whose check is the prompt; installed with the package.
    static constexpr const char* actionId = "app.hushcoffer.Hushcoffer.unlock";

    struct Options {
        // Where the TPM is (TpmDevice transport).
        std::string tpmTransport = TpmDevice::defaultTransport;
        // The bus of the authorization service: the system bus socket itself.
        std::string busAddress = PolkitAuthority::systemBusAddress;
        // How long a prompt may stay unanswered before it is withdrawn.
        std::chrono::milliseconds promptTimeout = std::chrono::minutes(5);
    };

    LinuxTouchIDProvider();
    explicit LinuxTouchIDProvider(Options options);

    // A TPM 2.0 that answers, the authorization service on its bus, and the
    // action installed there.
    bool isAvailable() override;
    AuthOutcome authenticate(const std::string& reason) override;
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                          const TouchIDContext& context) override;
    CreatedKey createKey() override;

private:
    bool issuedHere(const TouchIDContext& context);

    Options options_;
    TpmDevice tpm_;
    PolkitAuthority authority_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<const void>> issued_;
};

} // namespace vaultkit
