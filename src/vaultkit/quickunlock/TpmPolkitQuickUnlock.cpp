#include "vaultkit/quickunlock/TpmPolkitQuickUnlock.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/quickunlock/KeyServiceClient.h"
#include "vaultkit/quickunlock/TpmKeyPolicy.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace vaultkit {

namespace {

using Protocol = KeyServiceProtocol;

// What a context holds: the connection the service's check passed for, and
// the token it gave that connection.
// The vault's name as the service takes it for the prompt: control
// characters replaced, at most its limit of bytes, cut between characters.
std::string promptName(const std::string& name) {
    std::string out;
    for (char c : name)
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    if (out.size() > Protocol::maxVaultNameSize) {
        std::size_t cut = Protocol::maxVaultNameSize;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out.empty() ? "?" : out;
}

struct PassedCheck {
    std::shared_ptr<KeyServiceClient> client;
    std::vector<std::uint8_t> token;
    ~PassedCheck() { OPENSSL_cleanse(token.data(), token.size()); }
};

} // namespace

TpmPolkitQuickUnlock::TpmPolkitQuickUnlock()
    : TpmPolkitQuickUnlock(Options{}) {}

TpmPolkitQuickUnlock::TpmPolkitQuickUnlock(Options options)
    : options_(std::move(options)) {}

bool TpmPolkitQuickUnlock::isAvailable() {
    try {
        return KeyServiceClient(options_.busAddress).isAvailable();
    } catch (const KeyServiceClient::Error&) {
        return false;
    }
}

QuickUnlockInterface::AuthOutcome TpmPolkitQuickUnlock::authenticate(const std::string&) {
    return AuthOutcome::ended(AuthOutcome::Kind::failed, "the prompt does not name the key it is for");
}

QuickUnlockInterface::AuthOutcome TpmPolkitQuickUnlock::authenticateFor(const std::string&,
                                                                   const AuthScope& scope) {
    // The reason is the application's own text; the system's prompt shows
    // the service's message with the vault's name and this program.
    using Kind = AuthOutcome::Kind;
    auto state = std::make_shared<PassedCheck>();
    try {
        state->client = std::make_shared<KeyServiceClient>(options_.busAddress);
        state->token = state->client->authorize(scope.handle, promptName(scope.vaultName), scope.agreements,
                                                options_.promptTimeout);
    } catch (const KeyServiceClient::Error& e) {
        const std::string& name = e.name();
        if (name == Protocol::errorDismissed) return AuthOutcome::ended(Kind::userCancel);
        if (name == Protocol::errorTimedOut) return AuthOutcome::ended(Kind::noAnswer);
        if (name == Protocol::errorCancelled) return AuthOutcome::ended(Kind::systemCancel);
        if (name == Protocol::errorNoAgent)
            return AuthOutcome::ended(Kind::noAgent,
                                      "no authentication agent is running to confirm that it is you");
        if (name == Protocol::errorNotAuthorized)
            return AuthOutcome::ended(Kind::failed, "the system did not confirm that it is you");
        // A revoked or unusable key is refused before any prompt.
        if (name == Protocol::errorInvalidated) throw VaultError::touchIDInvalidated();
        return AuthOutcome::ended(Kind::failed, e.what());
    }
    if (state->token.size() != Protocol::tokenSize)
        return AuthOutcome::ended(Kind::failed, "the key service's answer is malformed");
    std::shared_ptr<const void> issued = state;
    std::lock_guard lock(mutex_);
    std::erase_if(issued_, [](const auto& w) { return w.expired(); });
    issued_.push_back(issued);
    return AuthOutcome::passed(QuickUnlockContext(issued));
}

bool TpmPolkitQuickUnlock::issuedHere(const QuickUnlockContext& context) {
    if (context.empty()) return false;
    std::lock_guard lock(mutex_);
    return std::any_of(issued_.begin(), issued_.end(),
                       [&](const auto& w) { return w.lock() == context.state(); });
}

std::optional<Sealing::Agree> TpmPolkitQuickUnlock::loadKey(const std::vector<std::uint8_t>& handle,
                                                            const QuickUnlockContext& context) {
    // The key is used only after a check of this provider has passed.
    if (!issuedHere(context)) throw VaultError::touchID("authentication context not valid");
    // Not a handle of the service (damaged, or made before the service held
    // the keys): nothing to ask.
    if (!Protocol::decodeHandle(handle)) return std::nullopt;
    auto state = std::static_pointer_cast<const PassedCheck>(context.state());
    return Sealing::Agree([state, handle](const P256PublicKey& peer) {
        const std::vector<std::uint8_t> point(peer.x963.begin(), peer.x963.end());
        try {
            auto shared = state->client->agree(state->token, handle, point);
            if (shared.size() != 32) {
                OPENSSL_cleanse(shared.data(), shared.size());
                throw VaultError::touchID("the key service's answer is malformed");
            }
            return shared;
        } catch (const KeyServiceClient::Error& e) {
            if (e.name() == Protocol::errorInvalidated) throw VaultError::touchIDInvalidated();
            if (e.name() == Protocol::errorPointRefused) throw CryptoError(e.what());
            throw VaultError::touchID(e.what());
        }
    });
}

void TpmPolkitQuickUnlock::revokeKey(const std::vector<std::uint8_t>& handle) {
    // Not a handle of the service: nothing it could revoke.
    if (!Protocol::decodeHandle(handle)) return;
    try {
        KeyServiceClient(options_.busAddress).revoke(handle);
    } catch (const KeyServiceClient::Error& e) {
        throw VaultError::touchID(e.what());
    }
}

std::optional<bool> TpmPolkitQuickUnlock::bootStateBinding(const std::vector<std::uint8_t>& handle) {
    const auto decoded = Protocol::decodeHandle(handle);
    if (!decoded) return std::nullopt;
    return TpmKeyPolicy::boundToBootState(decoded->tpmBlobs);
}

QuickUnlockInterface::CreatedKey TpmPolkitQuickUnlock::createKey() {
    std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> made;
    try {
        made = KeyServiceClient(options_.busAddress).createKey();
    } catch (const KeyServiceClient::Error& e) {
        // The key's access rule is the installed action: a key made without
        // it could never be used.
        if (e.name() == Protocol::errorNotInstalled) throw AccessControlError(e.what());
        throw VaultError::touchID(e.what());
    }
    CreatedKey key;
    if (made.second.size() != key.publicKey.x963.size() || !Protocol::decodeHandle(made.first))
        throw VaultError::touchID("the key service's answer is malformed");
    key.handle = std::move(made.first);
    std::copy(made.second.begin(), made.second.end(), key.publicKey.x963.begin());
    return key;
}

#if defined(__linux__)
std::shared_ptr<QuickUnlockInterface> QuickUnlockInterface::platformDefault() {
    return std::make_shared<TpmPolkitQuickUnlock>();
}
#endif

} // namespace vaultkit
