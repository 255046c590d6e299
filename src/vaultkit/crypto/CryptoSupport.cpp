#include "vaultkit/crypto/CryptoSupport.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

namespace vaultkit::crypto {

namespace {

struct KdfFree {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct CipherFree {
    void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};

// OpenSSL's parameter interface takes non-const pointers to input buffers it
// only reads.
void* mutableData(Bytes b) {
    return const_cast<std::uint8_t*>(b.data());
}

int checkedInt(std::size_t n, std::string_view what) {
    if (n > static_cast<std::size_t>(INT_MAX)) fail(what);
    return static_cast<int>(n);
}

} // namespace

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
    if (this != &other) {
        wipe();
        bytes_ = other.bytes_;
    }
    return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void SecretBytes::wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void fail(std::string_view what) {
    std::string message(what);
    unsigned long code = ERR_get_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        message += " (";
        message += text;
        message += ")";
    }
    ERR_clear_error();
    throw CryptoError(message);
}

void randomBytes(std::span<std::uint8_t> out) {
    if (out.empty()) return;
    if (RAND_bytes(out.data(), checkedInt(out.size(), "random request too large")) != 1)
        fail("random source failed");
}

SecretBytes hkdfSha256(Bytes ikm, Bytes salt, Bytes info, std::size_t length) {
    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) fail("HKDF unavailable");
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) fail("HKDF context");
    char digest[] = "SHA256";
    int mode = EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableData(ikm), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size()),
        OSSL_PARAM_construct_end(),
    };
    SecretBytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail("HKDF failed");
    return out;
}

SecretBytes derive(EVP_PKEY* privateKey, EVP_PKEY* peer) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey, nullptr));
    if (!ctx) fail("key agreement context");
    if (EVP_PKEY_derive_init(ctx.get()) != 1) fail("key agreement init");
    if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer, 1) != 1) fail("invalid peer public key");
    std::size_t length = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length == 0) fail("key agreement failed");
    SecretBytes secret(length);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) fail("key agreement failed");
    if (length != secret.size()) fail("key agreement gave an unexpected length");
    return secret;
}

PkeyPtr x25519Public(Bytes raw) {
    if (raw.size() != 32) fail("X25519 public key must be 32 bytes");
    PkeyPtr key(EVP_PKEY_new_raw_public_key_ex(nullptr, "X25519", nullptr, raw.data(), raw.size()));
    if (!key) fail("invalid X25519 public key");
    return key;
}

PkeyPtr x25519Private(Bytes raw) {
    if (raw.size() != 32) fail("X25519 private key must be 32 bytes");
    PkeyPtr key(EVP_PKEY_new_raw_private_key_ex(nullptr, "X25519", nullptr, raw.data(), raw.size()));
    if (!key) fail("invalid X25519 private key");
    return key;
}

X25519PublicKey x25519RawPublic(EVP_PKEY* key) {
    X25519PublicKey out;
    std::size_t length = out.raw.size();
    if (EVP_PKEY_get_raw_public_key(key, out.raw.data(), &length) != 1 || length != out.raw.size())
        fail("cannot read X25519 public key");
    return out;
}

PkeyPtr p256Public(Bytes x963) {
    if (x963.size() != 65 || x963[0] != 0x04) fail("P-256 public key must be 65 bytes X9.63 uncompressed");
    char group[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, mutableData(x963), x963.size()),
        OSSL_PARAM_construct_end(),
    };
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) fail("P-256 key context");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1 || raw == nullptr)
        fail("invalid P-256 public key");
    PkeyPtr key(raw);
    // The import already rejects points off the curve; the full public check
    // also covers the point at infinity and the subgroup.
    PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) fail("invalid P-256 public key");
    return key;
}

P256PublicKey p256X963(EVP_PKEY* key) {
    P256PublicKey out;
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.x963.data(), out.x963.size(),
                                        &length) != 1 ||
        length != out.x963.size() || out.x963[0] != 0x04)
        fail("cannot read P-256 public key");
    return out;
}

namespace {

std::unique_ptr<EVP_CIPHER, CipherFree> chacha() {
    std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
    if (!cipher) fail("ChaCha20-Poly1305 unavailable");
    return cipher;
}

} // namespace

std::vector<std::uint8_t> chachaSeal(Bytes key, Bytes plaintext) {
    if (key.size() != 32) fail("ChaCha20-Poly1305 key must be 32 bytes");
    int plainLength = checkedInt(plaintext.size(), "secret too long");
    if (plaintext.size() > static_cast<std::size_t>(INT_MAX) - kNonceSize - kTagSize) fail("secret too long");
    auto cipher = chacha();
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) fail("cipher context");

    std::vector<std::uint8_t> box(kNonceSize + plaintext.size() + kTagSize);
    randomBytes({box.data(), kNonceSize});
    if (EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key.data(), box.data(), nullptr) != 1)
        fail("cipher init");
    int written = 0;
    if (plainLength > 0 &&
        EVP_EncryptUpdate(ctx.get(), box.data() + kNonceSize, &written, plaintext.data(), plainLength) != 1)
        fail("encryption failed");
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), box.data() + kNonceSize + written, &finalLength) != 1 ||
        static_cast<std::size_t>(written) + static_cast<std::size_t>(finalLength) != plaintext.size())
        fail("encryption failed");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize),
                            box.data() + kNonceSize + plaintext.size()) != 1)
        fail("cannot read authentication tag");
    return box;
}

SecretBytes chachaOpen(Bytes key, Bytes box) {
    if (key.size() != 32) fail("ChaCha20-Poly1305 key must be 32 bytes");
    if (box.size() < kNonceSize + kTagSize) fail("sealed box shorter than 28 bytes");
    const std::size_t cipherLength = box.size() - kNonceSize - kTagSize;
    int cipherInt = checkedInt(cipherLength, "sealed box too long");
    auto cipher = chacha();
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) fail("cipher context");
    if (EVP_DecryptInit_ex2(ctx.get(), cipher.get(), key.data(), box.data(), nullptr) != 1)
        fail("cipher init");

    SecretBytes plain(cipherLength);
    int written = 0;
    if (cipherInt > 0 &&
        EVP_DecryptUpdate(ctx.get(), plain.data(), &written, box.data() + kNonceSize, cipherInt) != 1)
        fail("decryption failed");
    std::uint8_t tag[kTagSize];
    std::copy_n(box.data() + kNonceSize + cipherLength, kTagSize, tag);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize), tag) != 1)
        fail("cannot set authentication tag");
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), plain.data() + written, &finalLength) != 1) {
        plain.wipe();
        fail("authentication failed");
    }
    if (static_cast<std::size_t>(written) + static_cast<std::size_t>(finalLength) != cipherLength) {
        plain.wipe();
        fail("decryption gave an unexpected length");
    }
    return plain;
}

std::string decodeUtf8Lossy(Bytes bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size() * 3); // worst case: every byte replaced; no reallocation copies
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t b0 = bytes[i];
        if (b0 < 0x80) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        std::size_t need = 0;
        std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        std::size_t j = 1;
        for (; j <= need && i + j < n; ++j) {
            const std::uint8_t b = bytes[i + j];
            const std::uint8_t l = j == 1 ? lo : 0x80;
            const std::uint8_t h = j == 1 ? hi : 0xBF;
            if (b < l || b > h) break;
        }
        if (j == need + 1) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), need + 1);
            i += need + 1;
        } else {
            // The lead byte and the continuation bytes that were valid so far
            // form one maximal subpart: one replacement character.
            out += kReplacement;
            i += j;
        }
    }
    return out;
}

} // namespace vaultkit::crypto
