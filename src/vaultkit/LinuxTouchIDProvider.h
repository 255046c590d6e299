#pragma once

#include "vaultkit/TouchIDProvider.h"

namespace vaultkit {

// The Linux provider. Biometric keys on Linux are to be held in the
// computer's TPM behind the system's authentication prompt; until that is
// built, this provider reports that biometric unlocking is not available and
// refuses every operation. It never pretends to hold a key.
class LinuxTouchIDProvider final : public TouchIDProvider {
public:
    // The text of every refusal.
    static constexpr const char* unavailableText = "biometric unlocking is not available on this computer";

    bool isAvailable() override { return false; }
    AuthOutcome authenticate(const std::string& reason) override;
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                          const TouchIDContext& context) override;
    CreatedKey createKey() override;
};

} // namespace vaultkit
