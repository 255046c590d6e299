#pragma once

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/crypto/SealedSecret.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// Seals a secret (a password) to a public key: ephemeral key agreement,
// HKDF-SHA256 with the variant's label, ChaCha20-Poly1305 combined box.
// Every failure of the cryptographic library is a CryptoError; a failed open
// never yields wrong plaintext.
namespace Sealing {

SealedSecret seal(std::string_view secret, const X25519PublicKey& recipient);
SealedSecret seal(std::string_view secret, const P256PublicKey& recipient);

std::string open(const SealedSecret& sealed, const X25519PrivateKey& privateKey);

// Given the ephemeral public key (X9.63, 65 bytes), returns the ECDH shared
// secret (32 bytes), or throws. Lets the private key stay in other hardware.
using Agree = std::function<std::vector<std::uint8_t>(const P256PublicKey& ephemeral)>;
std::string open(const SealedSecret& sealed, const Agree& agree, const P256PublicKey& recipient);

} // namespace Sealing

} // namespace vaultkit
