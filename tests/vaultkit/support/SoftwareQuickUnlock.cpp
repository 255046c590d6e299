#include "support/SoftwareQuickUnlock.h"

#include "vaultkit/crypto/P256KeyPair.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace vaulttest {

using vaultkit::P256KeyPair;
using vaultkit::P256PublicKey;
using vaultkit::QuickUnlockContext;

namespace {

// handle = magic || nonce || wrapped scalar || tag
constexpr char kMagic[8] = {'H', 'C', 'S', 'W', 'T', 'I', 'D', '1'};
constexpr std::size_t kNonce = 12, kScalar = 32, kTag = 16;
constexpr std::size_t kHandleSize = sizeof kMagic + kNonce + kScalar + kTag;

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

void randomFill(std::uint8_t* out, std::size_t n) {
    if (RAND_bytes(out, static_cast<int>(n)) != 1) throw std::runtime_error("random source failed");
}

std::vector<std::uint8_t> wrap(const std::array<std::uint8_t, 32>& secret,
                               const P256KeyPair::Scalar& scalar) {
    std::vector<std::uint8_t> handle(kHandleSize);
    std::memcpy(handle.data(), kMagic, sizeof kMagic);
    std::uint8_t* nonce = handle.data() + sizeof kMagic;
    std::uint8_t* body = nonce + kNonce;
    std::uint8_t* tag = body + kScalar;
    randomFill(nonce, kNonce);
    CipherPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, secret.data(), nonce) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(kMagic),
                          sizeof kMagic) != 1 ||
        EVP_EncryptUpdate(ctx.get(), body, &len, scalar.data(), static_cast<int>(scalar.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), body + len, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTag), tag) != 1)
        throw std::runtime_error("wrapping the key failed");
    return handle;
}

std::optional<P256KeyPair> unwrap(const std::array<std::uint8_t, 32>& secret,
                                  const std::vector<std::uint8_t>& handle) {
    if (handle.size() != kHandleSize || std::memcmp(handle.data(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    const std::uint8_t* nonce = handle.data() + sizeof kMagic;
    const std::uint8_t* body = nonce + kNonce;
    std::array<std::uint8_t, kTag> tag{};
    std::memcpy(tag.data(), body + kScalar, kTag);
    P256KeyPair::Scalar scalar{};
    CipherPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, secret.data(), nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(kMagic),
                          sizeof kMagic) == 1 &&
        EVP_DecryptUpdate(ctx.get(), scalar.data(), &len, body, static_cast<int>(kScalar)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTag), tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), scalar.data() + len, &len) == 1;
    std::optional<P256KeyPair> pair;
    if (ok) {
        try {
            pair.emplace(P256KeyPair::fromPrivateScalar(scalar));
        } catch (const std::exception&) {
        }
    }
    OPENSSL_cleanse(scalar.data(), scalar.size());
    return pair;
}

} // namespace

SoftwareQuickUnlock::SoftwareQuickUnlock() {
    randomFill(deviceSecret_.data(), deviceSecret_.size());
}

SoftwareQuickUnlock::~SoftwareQuickUnlock() {
    OPENSSL_cleanse(deviceSecret_.data(), deviceSecret_.size());
}

void SoftwareQuickUnlock::scriptOutcome(Kind kind, std::string text) {
    std::lock_guard lock(mutex_);
    scripts_.push_back({kind, std::move(text)});
}

void SoftwareQuickUnlock::scriptThrow(std::string text) {
    std::lock_guard lock(mutex_);
    scripts_.push_back({Kind::failed, std::move(text), true});
}

void SoftwareQuickUnlock::setAvailable(bool available) {
    std::lock_guard lock(mutex_);
    available_ = available;
}

void SoftwareQuickUnlock::failNextCreate(std::string text) {
    std::lock_guard lock(mutex_);
    createFailure_ = std::move(text);
}

void SoftwareQuickUnlock::forgetEnrolment() {
    std::lock_guard lock(mutex_);
    randomFill(deviceSecret_.data(), deviceSecret_.size());
}

int SoftwareQuickUnlock::promptCount() const {
    std::lock_guard lock(mutex_);
    return prompts_;
}

std::vector<std::string> SoftwareQuickUnlock::reasons() const {
    std::lock_guard lock(mutex_);
    return reasons_;
}

int SoftwareQuickUnlock::agreeCount() const {
    return agreements_->load();
}

bool SoftwareQuickUnlock::isAvailable() {
    std::lock_guard lock(mutex_);
    return available_;
}

SoftwareQuickUnlock::AuthOutcome SoftwareQuickUnlock::authenticate(const std::string& reason) {
    std::lock_guard lock(mutex_);
    ++prompts_;
    reasons_.push_back(reason);
    if (!scripts_.empty()) {
        Script s = std::move(scripts_.front());
        scripts_.pop_front();
        if (s.throws) throw std::runtime_error(s.text);
        if (s.kind != Kind::passed) return AuthOutcome::ended(s.kind, std::move(s.text));
    }
    auto token = std::make_shared<const int>(prompts_);
    issued_.insert(token.get());
    return AuthOutcome::passed(QuickUnlockContext(token));
}

std::optional<vaultkit::Sealing::Agree>
SoftwareQuickUnlock::loadKey(const std::vector<std::uint8_t>& handle, const QuickUnlockContext& context) {
    std::lock_guard lock(mutex_);
    // Key use needs a context that passed a prompt of this provider.
    if (context.empty() || !issued_.contains(context.state().get()))
        throw std::runtime_error("authentication context not valid");
    auto pair = unwrap(deviceSecret_, handle);
    if (!pair) return std::nullopt;
    auto shared = std::make_shared<P256KeyPair>(std::move(*pair));
    auto counter = agreements_;
    return vaultkit::Sealing::Agree([shared, counter](const P256PublicKey& peer) {
        ++*counter;
        return shared->agree(peer);
    });
}

SoftwareQuickUnlock::CreatedKey SoftwareQuickUnlock::createKey() {
    std::lock_guard lock(mutex_);
    if (createFailure_) {
        std::string text = std::move(*createFailure_);
        createFailure_.reset();
        throw AccessControlError(text);
    }
    const P256KeyPair pair = P256KeyPair::generateCompactRepresentable();
    P256KeyPair::Scalar scalar = pair.exportPrivateScalar();
    std::vector<std::uint8_t> handle;
    try {
        handle = wrap(deviceSecret_, scalar);
    } catch (...) {
        OPENSSL_cleanse(scalar.data(), scalar.size());
        throw;
    }
    OPENSSL_cleanse(scalar.data(), scalar.size());
    return CreatedKey{std::move(handle), pair.publicKey()};
}

} // namespace vaulttest
