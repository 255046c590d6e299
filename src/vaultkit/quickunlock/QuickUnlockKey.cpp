#include "vaultkit/quickunlock/QuickUnlockKey.h"

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

std::shared_ptr<QuickUnlockInterface>& providerSlot() {
    static std::shared_ptr<QuickUnlockInterface> slot;
    return slot;
}

QuickUnlockContext contextOf(const std::function<QuickUnlockInterface::AuthOutcome(QuickUnlockInterface&)>& ask);

} // namespace

std::shared_ptr<QuickUnlockInterface> QuickUnlockKey::provider() {
    std::lock_guard lock(providerMutex());
    auto& slot = providerSlot();
    if (!slot) slot = QuickUnlockInterface::platformDefault();
    return slot;
}

void QuickUnlockKey::setProvider(std::shared_ptr<QuickUnlockInterface> provider) {
    std::lock_guard lock(providerMutex());
    providerSlot() = std::move(provider);
}

bool QuickUnlockKey::isAvailable() {
    try {
        return provider()->isAvailable();
    } catch (...) {
        return false;
    }
}

QuickUnlockContext QuickUnlockKey::authenticate(const std::string& reason) {
    return contextOf([&](QuickUnlockInterface& p) { return p.authenticate(reason); });
}

QuickUnlockContext QuickUnlockKey::authenticate(const std::string& reason, const QuickUnlockInterface::AuthScope& scope) {
    return contextOf([&](QuickUnlockInterface& p) { return p.authenticateFor(reason, scope); });
}

void QuickUnlockKey::revoke(const std::vector<std::uint8_t>& handle) {
    try {
        provider()->revokeKey(handle);
    } catch (const VaultError&) {
        throw;
    } catch (const std::exception& e) {
        throw VaultError::touchID(e.what());
    }
}

std::optional<bool> QuickUnlockKey::bootStateBinding(const std::vector<std::uint8_t>& handle) {
    try {
        return provider()->bootStateBinding(handle);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {

QuickUnlockContext contextOf(const std::function<QuickUnlockInterface::AuthOutcome(QuickUnlockInterface&)>& ask) {
    using Kind = QuickUnlockInterface::AuthOutcome::Kind;
    QuickUnlockInterface::AuthOutcome outcome;
    try {
        outcome = ask(*QuickUnlockKey::provider());
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

std::string QuickUnlockKey::open(const SealedSecret& sealed, const std::vector<std::uint8_t>& handle,
                             const std::vector<std::uint8_t>& publicKey, const QuickUnlockContext& context) {
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

QuickUnlockKey::NewKey QuickUnlockKey::createKey() {
    QuickUnlockInterface::CreatedKey key;
    try {
        key = provider()->createKey();
    } catch (const QuickUnlockInterface::AccessControlError& e) {
        const std::string text = e.what();
        throw VaultError::touchID(text.empty() ? "access control" : text);
    }
    // The public key must decode again before anything is sealed to it.
    crypto::p256Public(key.publicKey.x963);
    return NewKey{std::move(key.handle), key.publicKey};
}

} // namespace vaultkit
