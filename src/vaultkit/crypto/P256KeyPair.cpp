#include "vaultkit/crypto/P256KeyPair.h"

#include "vaultkit/crypto/CryptoSupport.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

namespace vaultkit {

namespace {

struct BnClearFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnClearFree>;
struct GroupFree {
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};

// The field prime of P-256.
constexpr std::uint8_t kFieldPrime[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

// Generation is retried until the key is compact-representable; each try
// succeeds with probability one half, so this bound is never reached unless
// the generator is broken.
constexpr int kMaxCompactTries = 128;

} // namespace

void P256KeyPair::Free::operator()(EVP_PKEY* p) const {
    EVP_PKEY_free(p);
}

P256KeyPair::P256KeyPair(EVP_PKEY* key)
    : key_(key)
    , publicKey_(crypto::p256X963(key)) {}
P256KeyPair::P256KeyPair(P256KeyPair&&) noexcept = default;
P256KeyPair& P256KeyPair::operator=(P256KeyPair&&) noexcept = default;
P256KeyPair::~P256KeyPair() = default;

P256KeyPair P256KeyPair::generate() {
    char curve[] = "P-256";
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    if (key == nullptr) crypto::fail("P-256 key generation failed");
    std::unique_ptr<EVP_PKEY, Free> owned(key);
    P256KeyPair pair(owned.release());
    return pair;
}

P256KeyPair P256KeyPair::generateCompactRepresentable() {
    for (int i = 0; i < kMaxCompactTries; ++i) {
        P256KeyPair pair = generate();
        if (isCompactRepresentable(pair.publicKey())) return pair;
    }
    crypto::fail("could not generate a compact-representable P-256 key");
}

bool P256KeyPair::isCompactRepresentable(const P256PublicKey& key) {
    BnPtr p(BN_bin2bn(kFieldPrime, sizeof kFieldPrime, nullptr));
    BnPtr y(BN_bin2bn(key.x963.data() + 33, 32, nullptr));
    BnPtr negY(BN_new());
    if (!p || !y || !negY || BN_sub(negY.get(), p.get(), y.get()) != 1) crypto::fail("big number arithmetic");
    return BN_cmp(y.get(), negY.get()) < 0;
}

P256KeyPair P256KeyPair::fromPrivateScalar(const Scalar& scalar) {
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    std::unique_ptr<BN_CTX, BnCtxFree> bnCtx(BN_CTX_secure_new());
    BnPtr d(BN_secure_new());
    if (!group || !bnCtx || !d) crypto::fail("P-256 group");
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), d.get()) == nullptr)
        crypto::fail("P-256 private scalar");
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0)
        crypto::fail("P-256 private scalar out of range");

    std::unique_ptr<EC_POINT, PointFree> point(EC_POINT_new(group.get()));
    if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnCtx.get()) != 1)
        crypto::fail("P-256 public key computation");
    P256PublicKey pub;
    if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, pub.x963.data(),
                           pub.x963.size(), bnCtx.get()) != pub.x963.size())
        crypto::fail("P-256 public key encoding");

    // OSSL_PARAM integers are in native byte order.
    Scalar native{};
    if (BN_bn2nativepad(d.get(), native.data(), static_cast<int>(native.size())) < 0)
        crypto::fail("P-256 private scalar");
    char groupName[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native.data(), native.size()),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.x963.data(), pub.x963.size()),
        OSSL_PARAM_construct_end(),
    };
    crypto::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    const bool ok = ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
                    EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params) == 1 && raw != nullptr;
    OPENSSL_cleanse(native.data(), native.size());
    if (!ok) crypto::fail("P-256 private key import");
    return P256KeyPair(raw);
}

std::vector<std::uint8_t> P256KeyPair::agree(const P256PublicKey& peer) const {
    auto peerKey = crypto::p256Public(peer.x963);
    crypto::SecretBytes secret = crypto::derive(key_.get(), peerKey.get());
    if (secret.size() != 32) crypto::fail("P-256 shared secret has an unexpected length");
    return std::vector<std::uint8_t>(secret.data(), secret.data() + secret.size());
}

P256KeyPair::Scalar P256KeyPair::exportPrivateScalar() const {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1 || raw == nullptr)
        crypto::fail("P-256 private key export");
    BnPtr d(raw);
    Scalar out{};
    if (BN_bn2binpad(d.get(), out.data(), static_cast<int>(out.size())) < 0)
        crypto::fail("P-256 private key export");
    return out;
}

} // namespace vaultkit
