#include "vaultkit/quickunlock/TouchIDKey.h"

#include "vaultkit/crypto/CryptoSupport.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"

#include <functional>
#include <mutex>

namespace vaultkit {

namespace {

std::mutex& providerMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<TouchIDProvider>& providerSlot() {
    static std::shared_ptr<TouchIDProvider> slot;
    return slot;
}

TouchIDContext contextOf(const std::function<TouchIDProvider::AuthOutcome(TouchIDProvider&)>& ask);

} // namespace

std::shared_ptr<TouchIDProvider> TouchIDKey::provider() {
    std::lock_guard lock(providerMutex());
    auto& slot = providerSlot();
    if (!slot) slot = TouchIDProvider::platformDefault();
    return slot;
}

void TouchIDKey::setProvider(std::shared_ptr<TouchIDProvider> provider) {
    std::lock_guard lock(providerMutex());
    providerSlot() = std::move(provider);
}

bool TouchIDKey::isAvailable() {
    try {
        return provider()->isAvailable();
    } catch (...) {
        return false;
    }
}

TouchIDContext TouchIDKey::authenticate(const std::string& reason) {
    return contextOf([&](TouchIDProvider& p) { return p.authenticate(reason); });
}

TouchIDContext TouchIDKey::authenticate(const std::string& reason, const TouchIDProvider::AuthScope& scope) {
    return contextOf([&](TouchIDProvider& p) { return p.authenticateFor(reason, scope); });
}

void TouchIDKey::revoke(const std::vector<std::uint8_t>& handle) {
    try {
        provider()->revokeKey(handle);
    } catch (const VaultError&) {
        throw;
    } catch (const std::exception& e) {
        throw VaultError::touchID(e.what());
    }
}

std::optional<bool> TouchIDKey::bootStateBinding(const std::vector<std::uint8_t>& handle) {
    try {
        return provider()->bootStateBinding(handle);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {

TouchIDContext contextOf(const std::function<TouchIDProvider::AuthOutcome(TouchIDProvider&)>& ask) {
    using Kind = TouchIDProvider::AuthOutcome::Kind;
    TouchIDProvider::AuthOutcome outcome;
    try {
        outcome = ask(*TouchIDKey::provider());
    } catch (const VaultError&) {
        throw;
    } catch (const std::exception& e) {
        throw VaultError::touchID(e.what());
    }
    switch (outcome.kind) {
    case Kind::passed:
        // A provider that reports success without a context has not given
        // anything a key could be used with.
        if (outcome.context.empty()) throw VaultError::touchID("no authentication context");
        return outcome.context;
    case Kind::userCancel:
    case Kind::userFallback:
    case Kind::systemCancel:
    case Kind::appCancel:
    case Kind::noAnswer:
        throw VaultError::touchIDCancelled();
    case Kind::noAgent:
        throw VaultError::touchID(outcome.text.empty() ? "no authentication agent" : outcome.text);
    case Kind::failed:
        throw VaultError::touchID(outcome.text.empty() ? "authentication failed" : outcome.text);
    }
    throw VaultError::touchID("authentication failed");
}

} // namespace

std::string TouchIDKey::open(const SealedSecret& sealed, const std::vector<std::uint8_t>& handle,
                             const std::vector<std::uint8_t>& publicKey, const TouchIDContext& context) {
    // 1. The private key, rebuilt from its handle and bound to the context.
    auto agree = provider()->loadKey(handle, context);
    if (!agree || !*agree) throw VaultError::touchIDInvalidated();

    // 2. The recipient public key; a bad encoding throws CryptoError.
    crypto::p256Public(publicKey);
    P256PublicKey recipient;
    std::copy(publicKey.begin(), publicKey.end(), recipient.x963.begin());

    // 3. Key agreement inside the provider, then the box.
    return Sealing::open(sealed, *agree, recipient);
}

TouchIDKey::NewKey TouchIDKey::createKey() {
    TouchIDProvider::CreatedKey key;
    try {
        key = provider()->createKey();
    } catch (const TouchIDProvider::AccessControlError& e) {
        const std::string text = e.what();
        throw VaultError::touchID(text.empty() ? "access control" : text);
    }
    // The public key must decode again before anything is sealed to it.
    crypto::p256Public(key.publicKey.x963);
    return NewKey{std::move(key.handle), key.publicKey};
}

} // namespace vaultkit
