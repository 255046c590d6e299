#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using vaultkit::CryptoError;
using vaultkit::P256KeyPair;
using vaultkit::P256PublicKey;
using vaultkit::SealedSecret;
using vaultkit::X25519PrivateKey;
using vaultkit::X25519PublicKey;
namespace Sealing = vaultkit::Sealing;

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// An independent implementation of the sealing construction, written here
// from its description with OpenSSL's primitives and nothing of the library:
// HKDF is computed by hand from HMAC-SHA256 (RFC 5869), ChaCha20-Poly1305
// through the legacy EVP cipher getter, P-256 keys through EVP key generation.
// ---------------------------------------------------------------------------
namespace ref {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("reference: ") + what);
}

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
    Bytes out(32);
    unsigned int length = 0;
    check(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(),
               &length) != nullptr &&
              length == 32,
          "HMAC");
    return out;
}

Bytes hkdf(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t length) {
    const Bytes prk = hmacSha256(salt, ikm);
    Bytes okm, t;
    for (std::uint8_t counter = 1; okm.size() < length; ++counter) {
        Bytes block = t;
        block.insert(block.end(), info.begin(), info.end());
        block.push_back(counter);
        t = hmacSha256(prk, block);
        okm.insert(okm.end(), t.begin(), t.end());
    }
    okm.resize(length);
    return okm;
}

Bytes label(const char* text) {
    return Bytes(text, text + std::char_traits<char>::length(text));
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes derive(EVP_PKEY* own, EVP_PKEY* peer) {
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(own, nullptr));
    check(ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peer) == 1,
          "derive init");
    std::size_t length = 0;
    check(EVP_PKEY_derive(ctx.get(), nullptr, &length) == 1, "derive length");
    Bytes out(length);
    check(EVP_PKEY_derive(ctx.get(), out.data(), &length) == 1, "derive");
    out.resize(length);
    return out;
}

Bytes chachaSeal(const Bytes& key, const Bytes& plain) {
    Bytes nonce(12);
    check(RAND_bytes(nonce.data(), 12) == 1, "nonce");
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    check(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data()) == 1,
          "init");
    Bytes out(plain.size() + 16);
    int n = 0, f = 0;
    check(EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(), static_cast<int>(plain.size())) == 1,
          "enc");
    check(EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &f) == 1, "final");
    check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plain.size()) == 1, "tag");
    return concat(nonce, out);
}

Bytes chachaOpen(const Bytes& key, const Bytes& box) {
    check(box.size() >= 28, "short box");
    const std::size_t n = box.size() - 28;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    check(EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), box.data()) == 1,
          "init");
    Bytes out(n + 1);
    int w = 0, f = 0;
    check(EVP_DecryptUpdate(ctx.get(), out.data(), &w, box.data() + 12, static_cast<int>(n)) == 1, "dec");
    Bytes tag(box.end() - 16, box.end());
    check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag.data()) == 1, "set tag");
    check(EVP_DecryptFinal_ex(ctx.get(), out.data() + w, &f) == 1, "authentication");
    out.resize(n);
    return out;
}

// --- X25519 ---
Pkey x25519Public(const Bytes& raw) {
    Pkey k(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
    check(k != nullptr, "x25519 public");
    return k;
}
Bytes x25519RawPublic(EVP_PKEY* k) {
    Bytes out(32);
    std::size_t n = 32;
    check(EVP_PKEY_get_raw_public_key(k, out.data(), &n) == 1, "raw public");
    return out;
}

SealedSecret sealX25519(const Bytes& plain, const Bytes& recipient) {
    Pkey eph(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    const Bytes ephPub = x25519RawPublic(eph.get());
    const Bytes shared = derive(eph.get(), x25519Public(recipient).get());
    const Bytes key = hkdf(shared, concat(ephPub, recipient), label("Hushcoffer.recovery.seal.v1"), 32);
    return {ephPub, chachaSeal(key, plain)};
}

Bytes openX25519(const SealedSecret& s, const Bytes& privateRaw) {
    Pkey own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateRaw.data(), privateRaw.size()));
    const Bytes ownPub = x25519RawPublic(own.get());
    const Bytes shared = derive(own.get(), x25519Public(s.ephemeralPublicKey).get());
    const Bytes key =
        hkdf(shared, concat(s.ephemeralPublicKey, ownPub), label("Hushcoffer.recovery.seal.v1"), 32);
    return chachaOpen(key, s.box);
}

// --- P-256 ---
Bytes p256Encoded(EVP_PKEY* k) {
    Bytes out(65);
    std::size_t n = 0;
    check(EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, out.data(), out.size(),
                                          &n) == 1 &&
              n == 65,
          "encoded public");
    return out;
}

Pkey p256Public(const Bytes& x963) {
    Pkey k(EVP_PKEY_new());
    check(k && EVP_PKEY_copy_parameters(k.get(),
                                        Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")).get()) == 1,
          "params");
    check(EVP_PKEY_set1_encoded_public_key(k.get(), x963.data(), x963.size()) == 1, "set public");
    return k;
}

// y < p - y: the key is compact-representable.
bool compact(const Bytes& x963) {
    static const std::uint8_t prime[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    1,    0,    0,    0,
                                           0,    0,    0,    0,    0,    0,    0,    0,    0,    0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    BIGNUM* p = BN_bin2bn(prime, 32, nullptr);
    BIGNUM* y = BN_bin2bn(x963.data() + 33, 32, nullptr);
    BIGNUM* other = BN_new();
    BN_sub(other, p, y);
    const bool result = BN_cmp(y, other) < 0;
    BN_free(p);
    BN_free(y);
    BN_free(other);
    return result;
}

SealedSecret sealP256(const Bytes& plain, const Bytes& recipient) {
    Pkey eph(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Bytes ephPub = p256Encoded(eph.get());
    const Bytes shared = derive(eph.get(), p256Public(recipient).get());
    const Bytes key = hkdf(shared, concat(ephPub, recipient), label("Hushcoffer.touchid.seal.v1"), 32);
    return {ephPub, chachaSeal(key, plain)};
}

Bytes openP256(const SealedSecret& s, EVP_PKEY* own) {
    const Bytes shared = derive(own, p256Public(s.ephemeralPublicKey).get());
    const Bytes key =
        hkdf(shared, concat(s.ephemeralPublicKey, p256Encoded(own)), label("Hushcoffer.touchid.seal.v1"), 32);
    return chachaOpen(key, s.box);
}

} // namespace ref

Bytes toBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

X25519PrivateKey randomX25519() {
    std::array<std::uint8_t, 32> raw{};
    EXPECT_EQ(RAND_bytes(raw.data(), 32), 1);
    return X25519PrivateKey(raw);
}

P256PublicKey toP256(const Bytes& b) {
    P256PublicKey k;
    std::copy(b.begin(), b.end(), k.x963.begin());
    return k;
}

// A P-256 recipient held by the test itself: agree() is plain EVP ECDH, so
// the library's own key pair class plays no part on the opening side.
struct RefP256Recipient {
    ref::Pkey key{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")};
    P256PublicKey publicKey = toP256(ref::p256Encoded(key.get()));
    int agreeCalls = 0;
    Sealing::Agree agree() {
        return [this](const P256PublicKey& eph) {
            ++agreeCalls;
            return ref::derive(key.get(), ref::p256Public(Bytes(eph.x963.begin(), eph.x963.end())).get());
        };
    }
};

const std::vector<std::string> kSecrets = {
    "",
    "correct horse battery staple",
    "Grüße, пароль, パスワード 🔐",
    std::string(10000, 'x'),
    std::string("nul\0inside", 10),
};

} // namespace

TEST(SealingReference, HkdfMatchesRfc5869TestCase1) {
    const Bytes ikm(22, 0x0b);
    const Bytes salt = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Bytes info = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9};
    const Bytes okm = ref::hkdf(ikm, salt, info, 42);
    const Bytes expected = {0x3c, 0xb2, 0x5f, 0x25, 0xfa, 0xac, 0xd5, 0x7a, 0x90, 0x43, 0x4f,
                            0x64, 0xd0, 0x36, 0x2f, 0x2a, 0x2d, 0x2d, 0x0a, 0x90, 0xcf, 0x1a,
                            0x5a, 0x4c, 0x5d, 0xb0, 0x2d, 0x56, 0xec, 0xc4, 0xc5, 0xbf, 0x34,
                            0x00, 0x72, 0x08, 0xd5, 0xb8, 0x87, 0x18, 0x58, 0x65};
    EXPECT_EQ(okm, expected);
}

TEST(SealingX25519, RoundTripAndInteroperability) {
    const X25519PrivateKey recipient = randomX25519();
    const X25519PublicKey pub = recipient.publicKey();
    const Bytes privRaw(recipient.raw().begin(), recipient.raw().end());
    for (const auto& secret : kSecrets) {
        SCOPED_TRACE(secret.substr(0, 30));
        const SealedSecret sealed = Sealing::seal(secret, pub);
        EXPECT_EQ(sealed.ephemeralPublicKey.size(), 32u);
        EXPECT_EQ(sealed.box.size(), secret.size() + 28);
        EXPECT_EQ(Sealing::open(sealed, recipient), secret);
        // Library seals, reference opens; reference seals, library opens.
        EXPECT_EQ(ref::openX25519(sealed, privRaw), toBytes(secret));
        const SealedSecret foreign = ref::sealX25519(toBytes(secret), Bytes(pub.raw.begin(), pub.raw.end()));
        EXPECT_EQ(Sealing::open(foreign, recipient), secret);
    }
}

TEST(SealingP256, RoundTripAndInteroperability) {
    RefP256Recipient recipient;
    for (const auto& secret : kSecrets) {
        SCOPED_TRACE(secret.substr(0, 30));
        const SealedSecret sealed = Sealing::seal(secret, recipient.publicKey);
        ASSERT_EQ(sealed.ephemeralPublicKey.size(), 65u);
        EXPECT_EQ(sealed.ephemeralPublicKey[0], 0x04);
        EXPECT_TRUE(ref::compact(sealed.ephemeralPublicKey)) << "ephemeral key must be compact-representable";
        EXPECT_EQ(sealed.box.size(), secret.size() + 28);
        EXPECT_EQ(Sealing::open(sealed, recipient.agree(), recipient.publicKey), secret);
        EXPECT_EQ(ref::openP256(sealed, recipient.key.get()), toBytes(secret));
        const SealedSecret foreign = ref::sealP256(
            toBytes(secret), Bytes(recipient.publicKey.x963.begin(), recipient.publicKey.x963.end()));
        EXPECT_EQ(Sealing::open(foreign, recipient.agree(), recipient.publicKey), secret);
    }
    // The library's own key pair works as the recipient as well.
    const P256KeyPair own = P256KeyPair::generate();
    const SealedSecret sealed = Sealing::seal("pw", own.publicKey());
    EXPECT_EQ(Sealing::open(
                  sealed, [&](const P256PublicKey& eph) { return own.agree(eph); }, own.publicKey()),
              "pw");
}

TEST(SealingP256, EphemeralKeysAreAlwaysCompactRepresentable) {
    RefP256Recipient recipient;
    for (int i = 0; i < 64; ++i)
        EXPECT_TRUE(ref::compact(Sealing::seal("x", recipient.publicKey).ephemeralPublicKey));
}

TEST(Sealing, SameTextTwiceGivesDifferentRecords) {
    const X25519PrivateKey x = randomX25519();
    const SealedSecret a = Sealing::seal("pw", x.publicKey()), b = Sealing::seal("pw", x.publicKey());
    EXPECT_NE(a.ephemeralPublicKey, b.ephemeralPublicKey);
    EXPECT_NE(Bytes(a.box.begin(), a.box.begin() + 12), Bytes(b.box.begin(), b.box.begin() + 12));
    EXPECT_EQ(Sealing::open(a, x), "pw");
    EXPECT_EQ(Sealing::open(b, x), "pw");

    RefP256Recipient r;
    const SealedSecret c = Sealing::seal("pw", r.publicKey), d = Sealing::seal("pw", r.publicKey);
    EXPECT_NE(c, d);
    EXPECT_EQ(Sealing::open(c, r.agree(), r.publicKey), "pw");
    EXPECT_EQ(Sealing::open(d, r.agree(), r.publicKey), "pw");
}

TEST(Sealing, WrongKeyFailsAuthentication) {
    const X25519PrivateKey x = randomX25519();
    const SealedSecret sealed = Sealing::seal("secret", x.publicKey());
    EXPECT_THROW(Sealing::open(sealed, randomX25519()), CryptoError);

    RefP256Recipient r, other;
    const SealedSecret p = Sealing::seal("secret", r.publicKey);
    EXPECT_THROW(Sealing::open(p, other.agree(), r.publicKey), CryptoError);
    // Right private key, but the wrong recipient in the salt.
    EXPECT_THROW(Sealing::open(p, r.agree(), other.publicKey), CryptoError);
}

TEST(Sealing, TamperingWithAnyByteFails) {
    const X25519PrivateKey x = randomX25519();
    const SealedSecret sx = Sealing::seal("tamper me", x.publicKey());
    RefP256Recipient r;
    const SealedSecret sp = Sealing::seal("tamper me", r.publicKey);

    for (std::size_t i = 0; i < sx.box.size(); ++i) {
        SealedSecret t = sx;
        t.box[i] ^= 0x01;
        EXPECT_THROW(Sealing::open(t, x), CryptoError) << "box byte " << i;
    }
    for (std::size_t i = 0; i < sx.ephemeralPublicKey.size(); ++i) {
        SealedSecret t = sx;
        t.ephemeralPublicKey[i] ^= 0x40;
        EXPECT_THROW(Sealing::open(t, x), CryptoError) << "ephemeral byte " << i;
    }
    for (std::size_t i = 0; i < sp.box.size(); ++i) {
        SealedSecret t = sp;
        t.box[i] ^= 0x80;
        EXPECT_THROW(Sealing::open(t, r.agree(), r.publicKey), CryptoError) << "box byte " << i;
    }
    for (std::size_t i = 0; i < sp.ephemeralPublicKey.size(); ++i) {
        SealedSecret t = sp;
        t.ephemeralPublicKey[i] ^= 0x01;
        EXPECT_THROW(Sealing::open(t, r.agree(), r.publicKey), CryptoError) << "ephemeral byte " << i;
    }
}

TEST(Sealing, ShortBoxFailsBeforeAnyAgreement) {
    const X25519PrivateKey x = randomX25519();
    RefP256Recipient r;
    SealedSecret sx = Sealing::seal("", x.publicKey());
    SealedSecret sp = Sealing::seal("", r.publicKey);
    ASSERT_EQ(sx.box.size(), 28u);
    EXPECT_EQ(Sealing::open(sx, x), "");
    for (std::size_t len = 0; len < 28; ++len) {
        sx.box.resize(len);
        sp.box.resize(len);
        EXPECT_THROW(Sealing::open(sx, x), CryptoError) << len;
        EXPECT_THROW(Sealing::open(sp, r.agree(), r.publicKey), CryptoError) << len;
    }
    EXPECT_EQ(r.agreeCalls, 0);
}

TEST(Sealing, GarbledEphemeralKeysAreRejected) {
    const X25519PrivateKey x = randomX25519();
    RefP256Recipient r;
    const SealedSecret good = Sealing::seal("pw", r.publicKey);

    Bytes offCurve = good.ephemeralPublicKey;
    offCurve[64] ^= 0x01; // same X, a Y that is not on the curve
    Bytes compressed(good.ephemeralPublicKey.begin(), good.ephemeralPublicKey.begin() + 33);
    compressed[0] = 0x02;
    Bytes wrongPrefix = good.ephemeralPublicKey;
    wrongPrefix[0] = 0x06; // hybrid form
    const std::vector<Bytes> p256Keys = {
        {},       Bytes(64, 4), Bytes(66, 4), Bytes(65, 0), {0x00},
        offCurve, compressed,   wrongPrefix,  Bytes(32, 9), // an X25519-sized key
    };
    for (const auto& k : p256Keys) {
        SealedSecret t = good;
        t.ephemeralPublicKey = k;
        EXPECT_THROW(Sealing::open(t, r.agree(), r.publicKey), CryptoError) << k.size();
    }
    EXPECT_EQ(r.agreeCalls, 0) << "invalid points must never reach agree";

    // X25519: wrong lengths, and low-order points whose shared secret is zero.
    Bytes one(32, 0);
    one[0] = 1;
    const std::vector<Bytes> x25519Keys = {{}, Bytes(31, 7), Bytes(33, 7), Bytes(65, 4), Bytes(32, 0), one};
    const SealedSecret gx = Sealing::seal("pw", x.publicKey());
    for (const auto& k : x25519Keys) {
        SealedSecret t = gx;
        t.ephemeralPublicKey = k;
        EXPECT_THROW(Sealing::open(t, x), CryptoError) << k.size();
    }
}

TEST(Sealing, GarbledRecipientsAreRejected) {
    P256PublicKey offCurve = P256KeyPair::generate().publicKey();
    offCurve.x963[40] ^= 0x10;
    EXPECT_THROW(Sealing::seal("pw", offCurve), CryptoError);
    EXPECT_THROW(Sealing::seal("pw", P256PublicKey{}), CryptoError);
    EXPECT_THROW(Sealing::seal("pw", X25519PublicKey{}), CryptoError); // low order: zero shared secret
}

TEST(Sealing, VariantsDoNotOpenEachOther) {
    const X25519PrivateKey x = randomX25519();
    RefP256Recipient r;
    EXPECT_THROW(Sealing::open(Sealing::seal("pw", x.publicKey()), r.agree(), r.publicKey), CryptoError);
    EXPECT_THROW(Sealing::open(Sealing::seal("pw", r.publicKey), x), CryptoError);
    EXPECT_EQ(r.agreeCalls, 0);
}

TEST(Sealing, AgreeFailuresPassThroughUnchanged) {
    RefP256Recipient r;
    const SealedSecret sealed = Sealing::seal("pw", r.publicKey);
    const Sealing::Agree cancelled = [](const P256PublicKey&) -> Bytes {
        throw vaultkit::VaultError::touchIDCancelled();
    };
    try {
        Sealing::open(sealed, cancelled, r.publicKey);
        FAIL() << "expected the agree error";
    } catch (const vaultkit::VaultError& e) {
        EXPECT_EQ(e, vaultkit::VaultError::touchIDCancelled());
    }
    for (std::size_t len : {0u, 31u, 33u, 65u}) {
        const Sealing::Agree wrongLength = [len](const P256PublicKey&) { return Bytes(len, 1); };
        EXPECT_THROW(Sealing::open(sealed, wrongLength, r.publicKey), CryptoError) << len;
    }
}

TEST(Sealing, InvalidUtf8PlaintextIsReplacedNotRejected) {
    const X25519PrivateKey x = randomX25519();
    const X25519PublicKey pub = x.publicKey();
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{'a', 0xFF, 'b'}, "a\uFFFDb"},
        {{'a', 0xE2, 0x82}, "a\uFFFD"},                         // truncated sequence: one replacement
        {{0xC0, 0xAF}, "\uFFFD\uFFFD"},                         // overlong: each byte replaced
        {{0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},             // surrogate
        {{0xF0, 0x9F, 0x94, 0x90}, "\U0001F510"},               // valid four-byte sequence kept
        {{0xF4, 0x90, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD\uFFFD"}, // beyond U+10FFFF
    };
    for (const auto& [plain, text] : cases) {
        const SealedSecret s = ref::sealX25519(plain, Bytes(pub.raw.begin(), pub.raw.end()));
        EXPECT_EQ(Sealing::open(s, x), text);
    }
}

TEST(X25519PrivateKey, PublicKeyMatchesRfc7748) {
    const X25519PrivateKey alice({0x77, 0x07, 0x6d, 0x0a, 0x73, 0x18, 0xa5, 0x7d, 0x3c, 0x16, 0xc1,
                                  0x72, 0x51, 0xb2, 0x66, 0x45, 0xdf, 0x4c, 0x2f, 0x87, 0xeb, 0xc0,
                                  0x99, 0x2a, 0xb1, 0x77, 0xfb, 0xa5, 0x1d, 0xb9, 0x2c, 0x2a});
    const X25519PublicKey expected{{0x85, 0x20, 0xf0, 0x09, 0x89, 0x30, 0xa7, 0x54, 0x74, 0x8b, 0x7d,
                                    0xdc, 0xb4, 0x3e, 0xf7, 0x5a, 0x0d, 0xbf, 0x3a, 0x0d, 0x26, 0x38,
                                    0x1a, 0xf4, 0xeb, 0xa4, 0xa9, 0x8e, 0xaa, 0x9b, 0x4e, 0x6a}};
    EXPECT_EQ(alice.publicKey(), expected);
}

TEST(P256KeyPair, ScalarExportImportAndAgreement) {
    const P256KeyPair a = P256KeyPair::generate();
    P256KeyPair::Scalar scalar = a.exportPrivateScalar();
    const P256KeyPair b = P256KeyPair::fromPrivateScalar(scalar);
    EXPECT_EQ(a.publicKey(), b.publicKey());

    RefP256Recipient peer;
    const Bytes expected = ref::derive(
        peer.key.get(), ref::p256Public(Bytes(a.publicKey().x963.begin(), a.publicKey().x963.end())).get());
    EXPECT_EQ(a.agree(peer.publicKey), expected);
    EXPECT_EQ(b.agree(peer.publicKey), expected);
    EXPECT_EQ(expected.size(), 32u);

    P256PublicKey bad = peer.publicKey;
    bad.x963[64] ^= 1;
    EXPECT_THROW(a.agree(bad), CryptoError);

    // Scalars outside 1..n-1 are refused: zero, the group order n, all ones.
    const P256KeyPair::Scalar order = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17,
                                       0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
    P256KeyPair::Scalar ones{};
    ones.fill(0xFF);
    EXPECT_THROW(P256KeyPair::fromPrivateScalar(P256KeyPair::Scalar{}), CryptoError);
    EXPECT_THROW(P256KeyPair::fromPrivateScalar(order), CryptoError);
    EXPECT_THROW(P256KeyPair::fromPrivateScalar(ones), CryptoError);
    P256KeyPair::Scalar nMinusOne = order;
    nMinusOne[31] -= 1;
    EXPECT_NO_THROW(P256KeyPair::fromPrivateScalar(nMinusOne));
}
