#pragma once

#include "vaultkit/quickunlock/QuickUnlockInterface.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vaulttest {

// A biometric key provider in software, for tests. Keys are real P-256 keys
// (OpenSSL); a handle is the key's private scalar wrapped with AES-256-GCM
// under a random secret of this provider instance (its "device"), so a handle
// made by another instance, or before forgetEnrolment(), cannot be rebuilt.
// The prompt shows nothing: its outcomes are scripted, and every prompt is
// counted. Thread-safe.
class SoftwareQuickUnlock final : public vaultkit::QuickUnlockInterface {
public:
    using Kind = AuthOutcome::Kind;

    SoftwareQuickUnlock();
    ~SoftwareQuickUnlock() override;

    // Scripting. Prompts take the scripted outcomes in order; when none is
    // left they pass.
    void scriptOutcome(Kind kind, std::string text = {});
    // The next prompt throws std::runtime_error(text) instead of answering.
    void scriptThrow(std::string text);
    void setAvailable(bool available);
    // The next createKey fails to set up the key's access rule.
    void failNextCreate(std::string text);
    // A new device secret: every handle made so far becomes unusable, as when
    // the enrolled fingerprints change.
    void forgetEnrolment();

    // Observation.
    int promptCount() const;
    std::vector<std::string> reasons() const;
    // Key agreements made with rebuilt keys.
    int agreeCount() const;

    bool isAvailable() override;
    AuthOutcome authenticate(const std::string& reason) override;
    std::optional<vaultkit::Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                                    const vaultkit::QuickUnlockContext& context) override;
    CreatedKey createKey() override;

private:
    struct Script {
        Kind kind;
        std::string text;
        bool throws = false;
    };

    mutable std::mutex mutex_;
    std::array<std::uint8_t, 32> deviceSecret_{};
    bool available_ = true;
    std::deque<Script> scripts_;
    std::optional<std::string> createFailure_;
    int prompts_ = 0;
    std::vector<std::string> reasons_;
    std::set<const void*> issued_;
    std::shared_ptr<std::atomic<int>> agreements_ = std::make_shared<std::atomic<int>>(0);
};

} // namespace vaulttest
