#include "vaultkit/LinuxTouchIDProvider.h"

#include "vaultkit/VaultError.h"

#include <algorithm>

namespace vaultkit {

namespace {

constexpr const char* kCancelledError = "org.freedesktop.PolicyKit1.Error.Cancelled";

// What a context holds: when the check passed.
struct PassedCheck {
    std::chrono::steady_clock::time_point at;
};

} // namespace

LinuxTouchIDProvider::LinuxTouchIDProvider()
    : LinuxTouchIDProvider(Options{}) {}

LinuxTouchIDProvider::LinuxTouchIDProvider(Options options)
    : options_(std::move(options))
    , tpm_(options_.tpmTransport)
    , authority_(options_.busAddress, options_.promptTimeout) {}

bool LinuxTouchIDProvider::isAvailable() {
    if (!tpm_.answers()) return false;
    try {
        return authority_.hasAction(actionId);
    } catch (const PolkitAuthority::Error&) {
        return false;
    }
}

TouchIDProvider::AuthOutcome LinuxTouchIDProvider::authenticate(const std::string&) {
    // The reason cannot be handed to the system's prompt (it shows the
    // action's own message); the application shows it next to the prompt.
    using Answer = PolkitAuthority::Answer;
    Answer answer;
    try {
        answer = authority_.checkAuthorization(actionId);
    } catch (const PolkitAuthority::Error& e) {
        if (e.name() == kCancelledError) return AuthOutcome::ended(AuthOutcome::Kind::systemCancel);
        return AuthOutcome::ended(AuthOutcome::Kind::failed, e.what());
    }
    switch (answer) {
    case Answer::authorized: {
        auto state = std::make_shared<const PassedCheck>(PassedCheck{std::chrono::steady_clock::now()});
        std::lock_guard lock(mutex_);
        std::erase_if(issued_, [](const auto& w) { return w.expired(); });
        issued_.push_back(state);
        return AuthOutcome::passed(TouchIDContext(state));
    }
    case Answer::dismissed:
        return AuthOutcome::ended(AuthOutcome::Kind::userCancel);
    case Answer::timedOut:
        return AuthOutcome::ended(AuthOutcome::Kind::noAnswer);
    case Answer::noAgent:
        return AuthOutcome::ended(AuthOutcome::Kind::noAgent,
                                  "no authentication agent is running to confirm that it is you");
    case Answer::notAuthorized:
        break;
    }
    return AuthOutcome::ended(AuthOutcome::Kind::failed, "the system did not confirm that it is you");
}

bool LinuxTouchIDProvider::issuedHere(const TouchIDContext& context) {
    if (context.empty()) return false;
    std::lock_guard lock(mutex_);
    return std::any_of(issued_.begin(), issued_.end(),
                       [&](const auto& w) { return w.lock() == context.state(); });
}

std::optional<Sealing::Agree> LinuxTouchIDProvider::loadKey(const std::vector<std::uint8_t>& handle,
                                                            const TouchIDContext& context) {
    // The key is used only after a check of this provider has passed.
    if (!issuedHere(context)) throw VaultError::touchID("authentication context not valid");
    try {
        return tpm_.loadKey(handle);
    } catch (const TpmDevice::Error& e) {
        throw VaultError::touchID(e.what());
    }
}

TouchIDProvider::CreatedKey LinuxTouchIDProvider::createKey() {
    // The key's access rule is the installed action: a key made without it
    // could never be used.
    bool installed = false;
    try {
        installed = authority_.hasAction(actionId);
    } catch (const PolkitAuthority::Error& e) {
        throw AccessControlError(e.what());
    }
    if (!installed)
        throw AccessControlError("the system's authorization action for Hushcoffer is not installed");
    try {
        auto key = tpm_.createKey();
        return CreatedKey{std::move(key.handle), key.publicKey};
    } catch (const TpmDevice::Error& e) {
        throw VaultError::touchID(e.what());
    }
}

#if defined(__linux__)
std::shared_ptr<TouchIDProvider> TouchIDProvider::platformDefault() {
    return std::make_shared<LinuxTouchIDProvider>();
}
#endif

} // namespace vaultkit
