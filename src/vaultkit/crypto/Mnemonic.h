#pragma once

#include "vaultkit/crypto/CryptoKeys.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// A twelve-word BIP-0039 recovery phrase, held as its 16 bytes of entropy.
class Mnemonic {
public:
    using Entropy = std::array<std::uint8_t, 16>;

    // 16 fresh bytes from the system's cryptographic random source; a failure
    // of that source ends the program with a message on standard error.
    static Mnemonic generate();
    // Parses typed text (lower-cased; words split at whitespace and commas;
    // unique prefixes of at least four letters; checksum checked). Throws
    // VaultError::badMnemonic().
    explicit Mnemonic(std::string_view phrase);
    explicit Mnemonic(const Entropy& entropy) : entropy_(entropy) {}
    Mnemonic(const Mnemonic&) = default;
    Mnemonic& operator=(const Mnemonic&) = default;
    ~Mnemonic();

    const Entropy& entropy() const { return entropy_; }
    std::vector<std::string> words() const;
    // The 12 words joined by single spaces.
    std::string phrase() const;
    // HKDF-SHA256 over the entropy -> X25519 private key; its public key is a
    // vault's recoveryPublicKey.
    X25519PrivateKey recoveryKey() const;

    friend bool operator==(const Mnemonic& a, const Mnemonic& b) { return a.entropy_ == b.entropy_; }

private:
    Entropy entropy_;
};

} // namespace vaultkit
