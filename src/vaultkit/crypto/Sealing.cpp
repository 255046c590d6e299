#include "vaultkit/crypto/Sealing.h"

#include "vaultkit/crypto/CryptoSupport.h"
#include "vaultkit/crypto/P256KeyPair.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>

namespace vaultkit::Sealing {

namespace {

// HKDF info labels: a box sealed for one kind of recipient never opens as the
// other.
constexpr std::string_view kX25519Label = "Hushcoffer.recovery.seal.v1";
constexpr std::string_view kP256Label = "Hushcoffer.touchid.seal.v1";
constexpr std::size_t kKeySize = 32;

crypto::Bytes asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// salt = ephemeral public key || recipient public key, both in the variant's
// encoding; key = HKDF-SHA256(shared secret, salt, label), 32 bytes.
crypto::SecretBytes sealingKey(const crypto::SecretBytes& shared, crypto::Bytes ephemeral,
                               crypto::Bytes recipient, std::string_view label) {
    std::vector<std::uint8_t> salt(ephemeral.begin(), ephemeral.end());
    salt.insert(salt.end(), recipient.begin(), recipient.end());
    return crypto::hkdfSha256(shared.bytes(), salt, asBytes(label), kKeySize);
}

// A box too short to hold a nonce and a tag is refused before any key
// agreement, so a garbled record never triggers a biometric prompt.
void checkBoxLength(const SealedSecret& sealed) {
    if (sealed.box.size() < crypto::kNonceSize + crypto::kTagSize)
        crypto::fail("sealed box shorter than 28 bytes");
}

std::string openWithKey(const crypto::SecretBytes& key, const SealedSecret& sealed) {
    crypto::SecretBytes plain = crypto::chachaOpen(key.bytes(), sealed.box);
    return crypto::decodeUtf8Lossy(plain.bytes());
}

} // namespace

SealedSecret seal(std::string_view secret, const X25519PublicKey& recipient) {
    auto recipientKey = crypto::x25519Public(recipient.raw);
    crypto::PkeyPtr ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    if (!ephemeral) crypto::fail("X25519 key generation failed");
    const X25519PublicKey ephemeralPublic = crypto::x25519RawPublic(ephemeral.get());

    crypto::SecretBytes shared = crypto::derive(ephemeral.get(), recipientKey.get());
    crypto::SecretBytes key = sealingKey(shared, ephemeralPublic.raw, recipient.raw, kX25519Label);
    shared.wipe();

    SealedSecret out;
    out.ephemeralPublicKey.assign(ephemeralPublic.raw.begin(), ephemeralPublic.raw.end());
    out.box = crypto::chachaSeal(key.bytes(), asBytes(secret));
    return out;
}

SealedSecret seal(std::string_view secret, const P256PublicKey& recipient) {
    auto recipientKey = crypto::p256Public(recipient.x963);
    const P256KeyPair ephemeral = P256KeyPair::generateCompactRepresentable();

    std::vector<std::uint8_t> agreed = ephemeral.agree(recipient);
    crypto::SecretBytes shared(agreed);
    OPENSSL_cleanse(agreed.data(), agreed.size());
    crypto::SecretBytes key = sealingKey(shared, ephemeral.publicKey().x963, recipient.x963, kP256Label);
    shared.wipe();

    SealedSecret out;
    out.ephemeralPublicKey.assign(ephemeral.publicKey().x963.begin(), ephemeral.publicKey().x963.end());
    out.box = crypto::chachaSeal(key.bytes(), asBytes(secret));
    return out;
}

std::string open(const SealedSecret& sealed, const X25519PrivateKey& privateKey) {
    checkBoxLength(sealed);
    auto ephemeral = crypto::x25519Public(sealed.ephemeralPublicKey);
    auto own = crypto::x25519Private(privateKey.raw());
    const X25519PublicKey ownPublic = crypto::x25519RawPublic(own.get());

    crypto::SecretBytes shared = crypto::derive(own.get(), ephemeral.get());
    crypto::SecretBytes key = sealingKey(shared, sealed.ephemeralPublicKey, ownPublic.raw, kX25519Label);
    shared.wipe();
    return openWithKey(key, sealed);
}

std::string open(const SealedSecret& sealed, const Agree& agree, const P256PublicKey& recipient) {
    checkBoxLength(sealed);
    // Decoding validates the point before it is handed to `agree`.
    crypto::p256Public(sealed.ephemeralPublicKey);
    P256PublicKey ephemeral;
    std::copy(sealed.ephemeralPublicKey.begin(), sealed.ephemeralPublicKey.end(), ephemeral.x963.begin());

    std::vector<std::uint8_t> agreed = agree(ephemeral);
    crypto::SecretBytes shared(agreed);
    OPENSSL_cleanse(agreed.data(), agreed.size());
    if (shared.size() != 32) crypto::fail("P-256 shared secret must be 32 bytes");
    crypto::SecretBytes key = sealingKey(shared, sealed.ephemeralPublicKey, recipient.x963, kP256Label);
    shared.wipe();
    return openWithKey(key, sealed);
}

} // namespace vaultkit::Sealing
