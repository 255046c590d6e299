#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vaultkit {

// A failure of the cryptographic library (bad key encoding, failed key
// agreement, short box, failed authentication). Never carries secret bytes.
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// X25519 public key, raw 32 bytes.
struct X25519PublicKey {
    std::array<std::uint8_t, 32> raw{};
    friend bool operator==(const X25519PublicKey&, const X25519PublicKey&) = default;
};

// P-256 key-agreement public key, X9.63 uncompressed (0x04 || X || Y), 65 bytes.
struct P256PublicKey {
    std::array<std::uint8_t, 65> x963{};
    friend bool operator==(const P256PublicKey&, const P256PublicKey&) = default;
};

// X25519 private key, raw 32 bytes; wiped when destroyed.
class X25519PrivateKey {
public:
    explicit X25519PrivateKey(const std::array<std::uint8_t, 32>& raw) : raw_(raw) {}
    X25519PrivateKey(const X25519PrivateKey&) = default;
    X25519PrivateKey& operator=(const X25519PrivateKey&) = default;
    ~X25519PrivateKey();

    const std::array<std::uint8_t, 32>& raw() const { return raw_; }
    // The matching public key (throws CryptoError).
    X25519PublicKey publicKey() const;

private:
    std::array<std::uint8_t, 32> raw_;
};

} // namespace vaultkit
