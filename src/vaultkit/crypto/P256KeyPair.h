#pragma once

#include "vaultkit/crypto/CryptoKeys.h"

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vaultkit {

// A P-256 key-agreement key pair held in software (OpenSSL). Used for the
// ephemeral keys of sealing and by the software biometric key provider, whose
// private scalar is kept outside the library. Move-only; OpenSSL clears the
// private key when the pair is destroyed.
class P256KeyPair {
public:
    using Scalar = std::array<std::uint8_t, 32>;

    // A fresh key pair from the system random source (throws CryptoError).
    static P256KeyPair generate();
    // A fresh key pair whose public key is compact-representable: its Y
    // coordinate is the smaller of the two roots y and p - y, so the point is
    // fully given by X alone. Generation is repeated until that holds (half of
    // all keys qualify).
    static P256KeyPair generateCompactRepresentable();
    // The key pair of a private scalar (32 bytes big-endian, 1 <= d < n);
    // throws CryptoError for a scalar outside that range.
    static P256KeyPair fromPrivateScalar(const Scalar& scalar);

    P256KeyPair(P256KeyPair&&) noexcept;
    P256KeyPair& operator=(P256KeyPair&&) noexcept;
    ~P256KeyPair();

    // X9.63 uncompressed (0x04 || X || Y).
    const P256PublicKey& publicKey() const { return publicKey_; }
    // True when Y < p - Y (see generateCompactRepresentable).
    static bool isCompactRepresentable(const P256PublicKey& key);

    // ECDH with a peer public key: the 32-byte X coordinate of the shared
    // point. Throws CryptoError for a peer that is not a valid curve point.
    // The caller wipes the result after use.
    std::vector<std::uint8_t> agree(const P256PublicKey& peer) const;

    // The private scalar, 32 bytes big-endian. The caller wipes it
    // (OPENSSL_cleanse) after use.
    Scalar exportPrivateScalar() const;

private:
    struct Free {
        void operator()(EVP_PKEY* p) const;
    };
    explicit P256KeyPair(EVP_PKEY* key);
    std::unique_ptr<EVP_PKEY, Free> key_;
    P256PublicKey publicKey_;
};

} // namespace vaultkit
