#include "vaultkit/crypto/CryptoKeys.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace vaultkit {

X25519PrivateKey::~X25519PrivateKey() {
    OPENSSL_cleanse(raw_.data(), raw_.size());
}

X25519PublicKey X25519PrivateKey::publicKey() const {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key_ex(nullptr, "X25519", nullptr, raw_.data(), raw_.size()), &EVP_PKEY_free);
    X25519PublicKey out;
    std::size_t length = out.raw.size();
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), out.raw.data(), &length) != 1 || length != out.raw.size()) {
        ERR_clear_error();
        throw CryptoError("cannot derive the X25519 public key");
    }
    return out;
}

} // namespace vaultkit
