#pragma once

#include <cstdint>
#include <vector>

namespace vaultkit {

// A password sealed to a public key (see Sealing): the sender's ephemeral
// public key and the combined ChaCha20-Poly1305 box (nonce, ciphertext, tag).
struct SealedSecret {
    std::vector<std::uint8_t> ephemeralPublicKey;
    std::vector<std::uint8_t> box;
    friend bool operator==(const SealedSecret&, const SealedSecret&) = default;
};

} // namespace vaultkit
