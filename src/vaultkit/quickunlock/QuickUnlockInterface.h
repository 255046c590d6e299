#pragma once

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/crypto/Sealing.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vaultkit {

// The proof that the user has just passed the biometric (or system) check.
// What it holds is the provider's own business; a provider accepts only the
// contexts it issued itself. One context authorises every key operation made
// with it, so one prompt covers several openings.
class QuickUnlockContext {
public:
    QuickUnlockContext() = default;
    explicit QuickUnlockContext(std::shared_ptr<const void> state)
        : state_(std::move(state)) {}

    const std::shared_ptr<const void>& state() const { return state_; }
    bool empty() const { return !state_; }

private:
    std::shared_ptr<const void> state_;
};

// What holds the biometric key and asks the user to prove presence: the
// secure hardware and the system prompt of one platform. Providers only
// report what happened; QuickUnlockKey turns those reports into VaultError, so
// every provider is seen the same way by the rest of the library.
//
// One implementation per platform, in its own file, chosen at build time
// (QuickUnlockInterface::platformDefault); tests install others through
// QuickUnlockKey::setProvider.
class QuickUnlockInterface {
public:
    // How one prompt ended.
    struct AuthOutcome {
        enum class Kind {
            passed,       // the check passed; `context` authorises key use
            userCancel,   // the user dismissed the prompt
            userFallback, // the user chose to type the password instead
            systemCancel, // the system dismissed the prompt (another prompt, screen lock)
            appCancel,    // this application withdrew the prompt
            noAnswer,     // the prompt ended with neither success nor an error
            noAgent,      // nothing can show the prompt (no authentication agent)
            failed,       // any other failure; `text` describes it
        };
        Kind kind = Kind::noAnswer;
        std::string text;
        QuickUnlockContext context;

        static AuthOutcome passed(QuickUnlockContext context) { return {Kind::passed, {}, std::move(context)}; }
        static AuthOutcome ended(Kind kind, std::string text = {}) { return {kind, std::move(text), {}}; }
    };

    // A new key: the opaque handle from which this provider (on this
    // computer only) rebuilds the private key, and its public key.
    struct CreatedKey {
        std::vector<std::uint8_t> handle;
        P256PublicKey publicKey;
    };

    // Thrown by createKey when the key's access rule cannot be set up; the
    // text may be empty ("access control" is shown then).
    class AccessControlError : public std::runtime_error {
    public:
        explicit AccessControlError(const std::string& text)
            : std::runtime_error(text) {}
    };

    virtual ~QuickUnlockInterface() = default;

    // Whether keys can be made and the check can be run at all. The reason
    // for a "no" is not reported.
    virtual bool isAvailable() = 0;

    // Shows the prompt with `reason` and waits for the answer. Throwing is
    // allowed: a VaultError passes unchanged, anything else becomes
    // touchID(its text).
    virtual AuthOutcome authenticate(const std::string& reason) = 0;

    // What one prompt is for: the key the unlock uses, the vault's name as
    // the prompt shows it, and how many key agreements the unlock needs (one
    // per sealed copy of the password).
    struct AuthScope {
        std::vector<std::uint8_t> handle;
        std::string vaultName;
        unsigned agreements = 1;
    };

    // The prompt for one unlock: a provider that can bind the passed check
    // to the key and the number of agreements does so (the context then
    // opens nothing else); others show the plain prompt.
    virtual AuthOutcome authenticateFor(const std::string& reason, const AuthScope& scope) {
        (void)scope;
        return authenticate(reason);
    }

    // Makes the key `handle` stands for unusable for good (quick unlock
    // turned off, a new password or phrase): copies of the handle kept
    // elsewhere open nothing then. A provider without such a record does
    // nothing. Throws on failure.
    virtual void revokeKey(const std::vector<std::uint8_t>& handle) { (void)handle; }

    // Whether the key `handle` stands for opens only in the boot state it
    // was made in (a computer booted otherwise asks for the password);
    // nothing when this provider does not tell. Reads the handle only.
    virtual std::optional<bool> bootStateBinding(const std::vector<std::uint8_t>& handle) {
        (void)handle;
        return std::nullopt;
    }

    // The key agreement of the private key that `handle` stands for, bound to
    // `context`; nothing when the key cannot be rebuilt from the handle (key
    // gone, another computer, enrolment changed). The returned operation
    // throws on its own failures, which pass through unchanged.
    virtual std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                                  const QuickUnlockContext& context) = 0;

    // Makes a new key; needs no prompt. Throws AccessControlError when the
    // access rule cannot be made; other errors pass through.
    virtual CreatedKey createKey() = 0;

    // The provider of the platform this library was built for.
    static std::shared_ptr<QuickUnlockInterface> platformDefault();
};

} // namespace vaultkit
