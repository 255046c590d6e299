#pragma once

// Internal helpers of the vault library around OpenSSL 3: owning pointers,
// secret buffers that wipe themselves, and the few primitives the recovery
// phrase, sealing and the biometric key share. Not part of the library's
// public interface; every failure is thrown as CryptoError.

#include "vaultkit/crypto/CryptoKeys.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit::crypto {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

using Bytes = std::span<const std::uint8_t>;

// A byte buffer for key material; its contents are wiped when it is destroyed
// or overwritten. It never grows after construction, so no stray copies of its
// contents are left behind in freed memory.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size)
        : bytes_(size) {}
    explicit SecretBytes(Bytes bytes)
        : bytes_(bytes.begin(), bytes.end()) {}
    SecretBytes(const SecretBytes& other) = default;
    SecretBytes(SecretBytes&& other) noexcept = default;
    SecretBytes& operator=(const SecretBytes& other);
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes() { wipe(); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    Bytes bytes() const { return {bytes_.data(), bytes_.size()}; }
    // Overwrites the contents with zeros (the size stays).
    void wipe();

private:
    std::vector<std::uint8_t> bytes_;
};

// Throws CryptoError with `what` and the first entry of OpenSSL's error queue
// (which is cleared). OpenSSL's texts never contain key or plaintext bytes.
[[noreturn]] void fail(std::string_view what);

// Fills `out` from OpenSSL's random generator (seeded by the kernel).
void randomBytes(std::span<std::uint8_t> out);

// HKDF with SHA-256 (RFC 5869): extract with `salt`, expand with `info`.
SecretBytes hkdfSha256(Bytes ikm, Bytes salt, Bytes info, std::size_t length);

// Key agreement (X25519 or ECDH) of a private key with a peer public key; the
// peer is validated first. Returns the raw shared secret.
SecretBytes derive(EVP_PKEY* privateKey, EVP_PKEY* peer);

// X25519 keys from their raw 32-byte forms (a wrong length throws).
PkeyPtr x25519Public(Bytes raw);
PkeyPtr x25519Private(Bytes raw);
// The raw 32-byte public key of an X25519 key.
X25519PublicKey x25519RawPublic(EVP_PKEY* key);

// A P-256 public key from its X9.63 uncompressed form (0x04 || X || Y). Throws
// unless it is exactly 65 bytes, starts with 0x04 and is a point on the curve.
PkeyPtr p256Public(Bytes x963);
// The X9.63 uncompressed public key of a P-256 key.
P256PublicKey p256X963(EVP_PKEY* key);

// ChaCha20-Poly1305 (RFC 8439) with a fresh random 12-byte nonce and no
// additional data; returns the combined form nonce || ciphertext || tag.
std::vector<std::uint8_t> chachaSeal(Bytes key, Bytes plaintext);
// Opens a combined box; throws when it is shorter than 28 bytes or fails to
// authenticate. Nothing of the plaintext escapes a failed open.
SecretBytes chachaOpen(Bytes key, Bytes box);

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// UTF-8 bytes to text, each ill-formed sequence replaced by U+FFFD (maximal
// subparts, as the Unicode standard recommends).
std::string decodeUtf8Lossy(Bytes bytes);

} // namespace vaultkit::crypto
