#include "vaultkit/crypto/CryptoKeys.h"

#include "vaultkit/crypto/CryptoSupport.h"

#include <openssl/crypto.h>

namespace vaultkit {

X25519PrivateKey::~X25519PrivateKey() {
    OPENSSL_cleanse(raw_.data(), raw_.size());
}

X25519PublicKey X25519PrivateKey::publicKey() const {
    auto key = crypto::x25519Private(raw_);
    return crypto::x25519RawPublic(key.get());
}

} // namespace vaultkit
